#include "MainWindow.h"

#include "PsdView.h"
#include "TraceView.h"

#include <ondira/session/StatusLog.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QFileDialog>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace ondira {
namespace view {

namespace {

constexpr std::size_t TRACE_CAPACITY = 24 * OndiraData::SAMPLE_RATE_HZ; // the widest window and a spectrum's worth
constexpr int EVENT_LINES = 5000;
constexpr int MAX_BATCHES_PER_FRAME = 4; // of 4096 samples: 16 s of the stream per frame

QString chipStyle(Calibration state)
{
    const char* background = "#d0d0d0";
    const char* text = "#303030";
    switch (state) {
    case Calibration::Unknown:
        break;
    case Calibration::Off:
        background = "#eeeeee";
        text = "#707070";
        break;
    case Calibration::Calibrating:
        background = "#ffd27a";
        break;
    case Calibration::Calibrated:
        background = "#8fd694";
        break;
    case Calibration::Slow:
        background = "#f28b82";
        text = "#000000";
        break;
    }
    return QStringLiteral("QLabel { background: %1; color: %2; border-radius: 9px; padding: 2px 10px; }")
        .arg(QLatin1String(background), QLatin1String(text));
}

QString versionText(const std::string& firmware, int channel)
{
    return QStringLiteral("firmware %1, radio channel %2")
        .arg(firmware.empty() ? QStringLiteral("unknown") : QString::fromStdString(firmware),
             channel < 0 ? QStringLiteral("unknown") : QString::number(channel));
}

QString clockText(double seconds)
{
    const int whole = static_cast<int>(seconds);
    return QStringLiteral("%1:%2.%3")
        .arg(whole / 60)
        .arg(whole % 60, 2, 10, QLatin1Char('0'))
        .arg(static_cast<int>((seconds - whole) * 10));
}

/// A label or a button.
template <typename Widget> void setTextIfChanged(Widget* widget, const QString& text)
{
    if (widget->text() != text)
        widget->setText(text);
}

} // namespace

MainWindow::MainWindow(const ViewerSettings& viewerSettings, const AcquisitionOptions& options, QWidget* parent)
    : QMainWindow(parent)
    , settings(viewerSettings)
    , acquisitionLink(std::make_unique<Acquisition>(options))
    , buffer(TRACE_CAPACITY)
    , incoming(4096)
    , welch(OndiraData::SAMPLE_RATE_HZ, OndiraData::SAMPLE_RATE_HZ)
{
    setWindowTitle(QStringLiteral("ondira-view"));
    buffer.setFilters(settings.filters);
    buildControls();
    buildPanels();
    resize(1400, 860);

    frameTimer.setTimerType(Qt::PreciseTimer);
    frameTimer.setInterval(FRAME_MS);
    connect(&frameTimer, &QTimer::timeout, this, &MainWindow::tick);
    frameTimer.start();
    sinceSpectrum.start();
    sinceTexts.start();
    if (settings.startAtOnce)
        QTimer::singleShot(0, this, [this] {
            buffer.clear();
            acquisitionLink->connect(static_cast<Source>(sourceBox->currentData().toInt()), true);
        });
}

MainWindow::~MainWindow()
{
    frameTimer.stop();
    // Ends a recording, closes the headset and joins the threads.
    acquisitionLink.reset();
}

void MainWindow::buildControls()
{
    QToolBar* headset = addToolBar(QStringLiteral("Headset"));
    headset->setObjectName(QStringLiteral("headsetBar"));
    headset->setMovable(false);
    sourceBox = new QComboBox;
    sourceBox->setObjectName(QStringLiteral("sourceBox"));
    sourceBox->addItem(QStringLiteral("Headset"), static_cast<int>(Source::Headset));
    sourceBox->addItem(QStringLiteral("Virtual headset"), static_cast<int>(Source::VirtualHeadset));
    if (!settings.virtualHeadsetAvailable)
        sourceBox->setItemData(1, 0, Qt::UserRole - 1); // disabled: not found beside the program
    sourceBox->setCurrentIndex(settings.source == Source::VirtualHeadset ? 1 : 0);
    headset->addWidget(sourceBox);
    connectButton = new QPushButton(QStringLiteral("Connect"));
    disconnectButton = new QPushButton(QStringLiteral("Disconnect"));
    startButton = new QPushButton(QStringLiteral("Start"));
    stopButton = new QPushButton(QStringLiteral("Stop"));
    connectButton->setObjectName(QStringLiteral("connectButton"));
    disconnectButton->setObjectName(QStringLiteral("disconnectButton"));
    startButton->setObjectName(QStringLiteral("startButton"));
    stopButton->setObjectName(QStringLiteral("stopButton"));
    for (QPushButton* b : {connectButton, disconnectButton, startButton, stopButton})
        headset->addWidget(b);
    connect(connectButton, &QPushButton::clicked, this, &MainWindow::connectClicked);
    connect(disconnectButton, &QPushButton::clicked, this, [this] { acquisitionLink->disconnect(); });
    connect(startButton, &QPushButton::clicked, this, [this] { acquisitionLink->startStreaming(); });
    connect(stopButton, &QPushButton::clicked, this, [this] { acquisitionLink->stopStreaming(); });
    lslBox = new QCheckBox(QStringLiteral("Publish on LSL"));
    lslBox->setObjectName(QStringLiteral("lslBox"));
    lslBox->setToolTip(QStringLiteral(
        "Publish the stream and its markers on the Lab Streaming Layer, for the lab's "
        "recorders and online analysis to receive"));
    headset->addWidget(lslBox);
    connect(
        lslBox, &QCheckBox::toggled, this, [this](bool on) { acquisitionLink->setPublishing(on); });
    if (settings.publish)
        lslBox->setChecked(true);

    QToolBar* record = addToolBar(QStringLiteral("Recording"));
    record->setObjectName(QStringLiteral("recordingBar"));
    record->setMovable(false);
    fileEdit = new QLineEdit;
    fileEdit->setObjectName(QStringLiteral("fileEdit"));
    fileEdit->setPlaceholderText(QStringLiteral("recordings/session1.edf"));
    fileEdit->setMinimumWidth(220);
    fileEdit->setMaximumWidth(420);
    browseButton = new QPushButton(QStringLiteral("Browse…"));
    browseButton->setObjectName(QStringLiteral("browseButton"));
    csvBox = new QCheckBox(QStringLiteral("CSV too"));
    csvBox->setObjectName(QStringLiteral("csvBox"));
    csvBox->setChecked(true);
    csvBox->setToolTip(QStringLiteral("Also write NAME.csv (samples) and NAME.events.csv (status events)"));
    recordButton = new QPushButton(QStringLiteral("Record"));
    recordButton->setObjectName(QStringLiteral("recordButton"));
    stopRecordingButton = new QPushButton(QStringLiteral("Stop recording"));
    stopRecordingButton->setObjectName(QStringLiteral("stopRecordingButton"));
    elapsedLabel = new QLabel;
    elapsedLabel->setObjectName(QStringLiteral("elapsedLabel"));
    elapsedLabel->setMinimumWidth(90);
    record->addWidget(new QLabel(QStringLiteral(" Record to ")));
    record->addWidget(fileEdit);
    record->addWidget(browseButton);
    record->addWidget(csvBox);
    record->addWidget(recordButton);
    record->addWidget(stopRecordingButton);
    record->addWidget(elapsedLabel);
    markerEdit = new QLineEdit;
    markerEdit->setObjectName(QStringLiteral("markerEdit"));
    markerEdit->setPlaceholderText(QStringLiteral("marker text"));
    // In characters: a longer text in bytes is refused with its reason.
    markerEdit->setMaxLength(static_cast<int>(session::MAX_MARKER_BYTES));
    markerEdit->setMinimumWidth(120);
    markerEdit->setMaximumWidth(240);
    markerEdit->setToolTip(QStringLiteral("A stimulus marker: Enter or Mark puts it on the traces "
                                          "and into the recording; keys 1 to 9 put markers 1..9"));
    markButton = new QPushButton(QStringLiteral("Mark"));
    markButton->setObjectName(QStringLiteral("markButton"));
    record->addSeparator();
    record->addWidget(markerEdit);
    record->addWidget(markButton);
    connect(markerEdit, &QLineEdit::returnPressed, this, &MainWindow::markClicked);
    connect(markButton, &QPushButton::clicked, this, &MainWindow::markClicked);
    // Outside text fields (which take their digits themselves), 1..9 mark.
    for (int digit = 1; digit <= 9; ++digit) {
        for (int keypad : {0, static_cast<int>(Qt::KeypadModifier)}) {
            auto* shortcut = new QShortcut(QKeySequence(keypad | (Qt::Key_0 + digit)), this);
            shortcut->setObjectName(QStringLiteral("quickMark%1").arg(digit));
            shortcut->setContext(Qt::WindowShortcut);
            connect(shortcut, &QShortcut::activated, this,
                    [this, digit] { acquisitionLink->mark(std::to_string(digit)); });
            quickMarks.push_back(shortcut);
        }
    }
    connect(browseButton, &QPushButton::clicked, this, &MainWindow::browseClicked);
    connect(recordButton, &QPushButton::clicked, this, &MainWindow::recordClicked);
    connect(stopRecordingButton, &QPushButton::clicked, this, [this] { acquisitionLink->stopRecording(); });

    addToolBarBreak();
    QToolBar* display = addToolBar(QStringLiteral("Display"));
    display->setObjectName(QStringLiteral("displayBar"));
    display->setMovable(false);
    windowBox = new QComboBox;
    windowBox->setObjectName(QStringLiteral("windowBox"));
    for (int s : {5, 10, 20})
        windowBox->addItem(QStringLiteral("%1 s").arg(s), s);
    windowBox->setCurrentIndex(std::max(0, windowBox->findData(settings.windowSeconds)));
    scaleBox = new QComboBox;
    scaleBox->setObjectName(QStringLiteral("scaleBox"));
    scaleBox->addItem(QStringLiteral("auto"), 0.0);
    for (double step : {5.0, 10.0, 20.0, 50.0, 100.0, 200.0, 500.0, 1000.0, 2000.0, 5000.0})
        scaleBox->addItem(QStringLiteral("%1 µV/div").arg(step), step);
    scaleBox->setCurrentIndex(std::max(0, scaleBox->findData(settings.microvoltsPerDivision)));
    dcBox = new QCheckBox(QStringLiteral("DC removal"));
    dcBox->setObjectName(QStringLiteral("dcBox"));
    dcBox->setChecked(settings.filters.dcRemoval);
    bandPassBox = new QCheckBox(QStringLiteral("Band-pass"));
    bandPassBox->setObjectName(QStringLiteral("bandPassBox"));
    bandPassBox->setChecked(settings.filters.bandPass);
    lowSpin = new QDoubleSpinBox;
    lowSpin->setObjectName(QStringLiteral("lowSpin"));
    lowSpin->setRange(0.1, 30.0);
    lowSpin->setDecimals(1);
    lowSpin->setSingleStep(0.5);
    lowSpin->setSuffix(QStringLiteral(" Hz"));
    lowSpin->setValue(settings.filters.lowHz);
    highSpin = new QDoubleSpinBox;
    highSpin->setObjectName(QStringLiteral("highSpin"));
    highSpin->setRange(5.0, 100.0);
    highSpin->setDecimals(1);
    highSpin->setSingleStep(5.0);
    highSpin->setSuffix(QStringLiteral(" Hz"));
    highSpin->setValue(settings.filters.highHz);
    notchBox = new QComboBox;
    notchBox->setObjectName(QStringLiteral("notchBox"));
    notchBox->addItem(QStringLiteral("no notch"), 0);
    notchBox->addItem(QStringLiteral("50 Hz notch"), 50);
    notchBox->addItem(QStringLiteral("60 Hz notch"), 60);
    notchBox->setCurrentIndex(std::max(0, notchBox->findData(settings.filters.notchHz)));
    display->addWidget(new QLabel(QStringLiteral(" Window ")));
    display->addWidget(windowBox);
    display->addWidget(new QLabel(QStringLiteral("  Scale ")));
    display->addWidget(scaleBox);
    display->addSeparator();
    display->addWidget(new QLabel(QStringLiteral(" Display filters: ")));
    display->addWidget(dcBox);
    display->addWidget(bandPassBox);
    display->addWidget(lowSpin);
    display->addWidget(new QLabel(QStringLiteral("–")));
    display->addWidget(highSpin);
    display->addWidget(notchBox);
    display->addWidget(new QLabel(QStringLiteral("  (recordings stay raw)")));
    connect(windowBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this] { traceArea->setWindowSeconds(windowBox->currentData().toInt()); });
    connect(scaleBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &MainWindow::scaleChanged);
    connect(dcBox, &QCheckBox::toggled, this, &MainWindow::filtersChanged);
    connect(bandPassBox, &QCheckBox::toggled, this, &MainWindow::filtersChanged);
    connect(lowSpin, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, &MainWindow::filtersChanged);
    connect(highSpin, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, &MainWindow::filtersChanged);
    connect(notchBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &MainWindow::filtersChanged);
}

void MainWindow::buildPanels()
{
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(4, 4, 4, 4);

    banner = new QFrame;
    banner->setObjectName(QStringLiteral("banner"));
    banner->setStyleSheet(QStringLiteral("#banner { background: #fde2e1; border: 1px solid #e0a0a0; border-radius: 4px; }"));
    auto* bannerLayout = new QHBoxLayout(banner);
    bannerLayout->setContentsMargins(8, 4, 4, 4);
    bannerText = new QLabel;
    bannerText->setObjectName(QStringLiteral("bannerText"));
    bannerText->setWordWrap(true);
    bannerText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* dismiss = new QToolButton;
    dismiss->setText(QStringLiteral("✕"));
    dismiss->setToolTip(QStringLiteral("Dismiss"));
    dismiss->setAutoRaise(true);
    bannerLayout->addWidget(bannerText, 1);
    bannerLayout->addWidget(dismiss, 0, Qt::AlignTop);
    connect(dismiss, &QToolButton::clicked, banner, &QFrame::hide);
    banner->hide();
    layout->addWidget(banner);

    auto* splitter = new QSplitter(Qt::Horizontal);
    traceArea = new TraceView(buffer);
    traceArea->setObjectName(QStringLiteral("traceView"));
    traceArea->setLabels(settings.labels);
    traceArea->setWindowSeconds(settings.windowSeconds);
    traceArea->setFixedScale(settings.microvoltsPerDivision);
    traceArea->installEventFilter(this);
    splitter->addWidget(traceArea);

    auto* side = new QWidget;
    auto* sideLayout = new QVBoxLayout(side);
    sideLayout->setContentsMargins(0, 0, 0, 0);
    spectrumArea = new PsdView;
    spectrumArea->setObjectName(QStringLiteral("spectrumView"));
    sideLayout->addWidget(spectrumArea, 3);

    auto* channels = new QGroupBox(QStringLiteral("Electrodes"));
    auto* grid = new QGridLayout(channels);
    for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        auto* chip = new QLabel;
        chip->setObjectName(QStringLiteral("chip%1").arg(c + 1));
        chip->setStyleSheet(chipStyle(Calibration::Unknown));
        chip->setText(QStringLiteral("%1: %2").arg(settings.labels[static_cast<std::size_t>(c)],
                                                   QLatin1String(calibrationText(Calibration::Unknown))));
        auto* calibrate = new QCheckBox(QStringLiteral("calibrate"));
        calibrate->setObjectName(QStringLiteral("calibrate%1").arg(c + 1));
        calibrate->setChecked(true);
        calibrate->setToolTip(QStringLiteral("Offset calibration of this channel on or off"));
        connect(calibrate, &QCheckBox::toggled, this, [this, c](bool on) { acquisitionLink->setCalibration(c, on); });
        grid->addWidget(chip, c / 2, (c % 2) * 2);
        grid->addWidget(calibrate, c / 2, (c % 2) * 2 + 1);
        chips[static_cast<std::size_t>(c)] = chip;
        calibrateBoxes[static_cast<std::size_t>(c)] = calibrate;
    }
    lostLabel = new QLabel;
    lostLabel->setObjectName(QStringLiteral("lostLabel"));
    grid->addWidget(lostLabel, 2, 0, 1, 4);
    sideLayout->addWidget(channels);

    auto* information = new QGroupBox(QStringLiteral("Dongle and headset"));
    auto* form = new QGridLayout(information);
    dongleLabel = new QLabel;
    dongleLabel->setObjectName(QStringLiteral("dongleLabel"));
    headsetLabel = new QLabel;
    headsetLabel->setObjectName(QStringLiteral("headsetLabel"));
    linkLabel = new QLabel;
    linkLabel->setObjectName(QStringLiteral("linkLabel"));
    rateLabel = new QLabel;
    rateLabel->setObjectName(QStringLiteral("rateLabel"));
    rateLabel->setToolTip(
        QStringLiteral("Samples per second of this computer's clock, and how far the headset's "
                       "clock runs from 250 samples/s"));
    form->addWidget(new QLabel(QStringLiteral("Dongle:")), 0, 0);
    form->addWidget(dongleLabel, 0, 1);
    form->addWidget(new QLabel(QStringLiteral("Headset:")), 1, 0);
    form->addWidget(headsetLabel, 1, 1);
    form->addWidget(new QLabel(QStringLiteral("State:")), 2, 0);
    form->addWidget(linkLabel, 2, 1);
    form->addWidget(new QLabel(QStringLiteral("Rate:")), 3, 0);
    form->addWidget(rateLabel, 3, 1);
    form->setColumnStretch(1, 1);
    sideLayout->addWidget(information);

    auto* events = new QGroupBox(QStringLiteral("Status events"));
    auto* eventsLayout = new QVBoxLayout(events);
    eventsPane = new QPlainTextEdit;
    eventsPane->setObjectName(QStringLiteral("eventsPane"));
    eventsPane->setReadOnly(true);
    eventsPane->setMaximumBlockCount(EVENT_LINES);
    eventsPane->setLineWrapMode(QPlainTextEdit::NoWrap);
    eventsLayout->addWidget(eventsPane);
    sideLayout->addWidget(events, 2);

    splitter->addWidget(side);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    splitter->setSizes({820, 580});
    layout->addWidget(splitter, 1);
    setCentralWidget(central);

    for (std::size_t c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        calibrateBoxes[c]->blockSignals(true);
        calibrateBoxes[c]->setChecked(acquisitionLink->status().calibrationOn[c]);
        calibrateBoxes[c]->blockSignals(false);
    }
    applyStatus(acquisitionLink->status(), true);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == traceArea && event->type() == QEvent::Paint)
        ++frames;
    return QMainWindow::eventFilter(watched, event);
}

QString MainWindow::failureText() const
{
    return banner->isVisible() ? bannerText->text() : QString();
}

void MainWindow::showFailure(const QString& text)
{
    bannerText->setText(text);
    banner->show();
}

void MainWindow::connectClicked()
{
    banner->hide();
    buffer.clear();
    spectrumArea->clear();
    acquisitionLink->connect(static_cast<Source>(sourceBox->currentData().toInt()));
}

void MainWindow::browseClicked()
{
    const QString chosen = QFileDialog::getSaveFileName(
        this, QStringLiteral("Record to"), fileEdit->text(), QStringLiteral("EDF+ files (*.edf)"), nullptr,
        QFileDialog::DontConfirmOverwrite);
    if (!chosen.isEmpty())
        fileEdit->setText(chosen);
}

void MainWindow::recordClicked()
{
    if (fileEdit->text().trimmed().isEmpty())
        browseClicked();
    if (fileEdit->text().trimmed().isEmpty())
        return;
    RecordingRequest request;
    request.base = fileEdit->text().trimmed().toStdString();
    request.csv = csvBox->isChecked();
    acquisitionLink->startRecording(std::move(request));
}

void MainWindow::markClicked()
{
    // Said in the log either way: placed as a marker entry, or why not.
    acquisitionLink->mark(markerEdit->text().trimmed().toStdString());
}

void MainWindow::filtersChanged()
{
    FilterSettings f;
    f.dcRemoval = dcBox->isChecked();
    f.bandPass = bandPassBox->isChecked();
    f.lowHz = lowSpin->value();
    f.highHz = highSpin->value();
    f.notchHz = notchBox->currentData().toInt();
    lowSpin->setEnabled(f.bandPass);
    highSpin->setEnabled(f.bandPass);
    const std::string problem = filterProblem(f, OndiraData::SAMPLE_RATE_HZ);
    if (!problem.empty()) {
        showFailure(QStringLiteral("Display filters unchanged: %1.").arg(QString::fromStdString(problem)));
        return;
    }
    if (f != buffer.filters()) {
        buffer.setFilters(f);
        traceArea->update();
    }
}

void MainWindow::scaleChanged()
{
    traceArea->setFixedScale(scaleBox->currentData().toDouble());
}

void MainWindow::tick()
{
    // A bounded amount per frame: a stream faster than this thread can draw
    // overflows the ring (and shows as a gap) rather than freezing the window.
    for (int batch = 0; batch < MAX_BATCHES_PER_FRAME; ++batch) {
        const std::size_t count = acquisitionLink->takeSamples(incoming.data(), incoming.size());
        if (count == 0)
            break;
        buffer.append(incoming.data(), count);
        newSamples = true;
        if (count < incoming.size())
            break;
    }
    const std::vector<LogEntry> entries = acquisitionLink->takeLog();
    for (const LogEntry& entry : entries) {
        if (entry.kind == LogEntry::Kind::Marker) {
            buffer.addMarker(entry.stream, entry.position, entry.text);
            traceArea->update();
        }
    }
    appendLog(entries);
    // The texts four times a second; the buttons with every frame.
    const AcquisitionStatus status = acquisitionLink->status();
    const bool texts = sinceTexts.elapsed() >= TEXT_MS;
    if (texts)
        sinceTexts.restart();
    applyStatus(status, texts);
    if (newSamples) {
        traceArea->update();
        if (sinceSpectrum.elapsed() >= SPECTRUM_MS) {
            updateSpectrum();
            sinceSpectrum.restart();
            newSamples = false;
        }
    }
}

void MainWindow::updateSpectrum()
{
    const std::size_t wanted = static_cast<std::size_t>(SPECTRUM_SECONDS * OndiraData::SAMPLE_RATE_HZ);
    std::vector<float> values(wanted);
    std::vector<unsigned char> marked(wanted);
    std::array<Psd, OndiraData::CHANNEL_COUNT> spectra;
    std::size_t got = 0;
    for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        got = buffer.lastRaw(c, wanted, values.data(), marked.data());
        spectra[static_cast<std::size_t>(c)] = welch.compute(values.data(), marked.data(), got);
    }
    spectrumArea->setSpectra(spectra, static_cast<double>(got) / OndiraData::SAMPLE_RATE_HZ);
}

void MainWindow::appendLog(const std::vector<LogEntry>& entries)
{
    for (const LogEntry& entry : entries) {
        const QString time = QDateTime::fromMSecsSinceEpoch(entry.wallMs).toString(QStringLiteral("HH:mm:ss.zzz"));
        QString type;
        QString colour;
        switch (entry.kind) {
        case LogEntry::Kind::Status:
            type = QString::fromStdString(entry.type);
            colour = type == QLatin1String("ERROR") ? QStringLiteral("#b00020")
                : type == QLatin1String("WARNING") ? QStringLiteral("#a05a00")
                                                   : QStringLiteral("#202020");
            break;
        case LogEntry::Kind::Note:
            type = QStringLiteral("viewer");
            colour = QStringLiteral("#406080");
            break;
        case LogEntry::Kind::Failure:
            type = QStringLiteral("viewer");
            colour = QStringLiteral("#b00020");
            showFailure(QString::fromStdString(entry.text));
            break;
        case LogEntry::Kind::Marker:
            type = QStringLiteral("marker");
            colour = TraceView::markerColor().name();
            break;
        }
        eventsPane->appendHtml(QStringLiteral("<span style=\"color:%1\">%2&nbsp;&nbsp;%3&nbsp;&nbsp;%4</span>")
                                   .arg(colour, time, type.leftJustified(7, QLatin1Char(' ')).replace(QLatin1Char(' '), QStringLiteral("&nbsp;")),
                                        QString::fromStdString(entry.text).toHtmlEscaped()));
    }
}

void MainWindow::applyStatus(const AcquisitionStatus& status, bool texts)
{
    // A change of state shows at once.
    texts = texts || status.link != lastLink || status.recording != wasRecording || status.haveInfo != hadInfo;
    wasRecording = status.recording;
    hadInfo = status.haveInfo;
    const bool idle = !status.busy;
    const bool streaming = status.link == Link::Streaming || status.link == Link::Reconnecting;
    const bool open = status.link == Link::Connected || streaming;
    sourceBox->setEnabled(status.link == Link::Disconnected && idle);
    connectButton->setEnabled(status.link == Link::Disconnected && idle);
    disconnectButton->setEnabled(open && idle);
    startButton->setEnabled(status.link == Link::Connected && idle);
    stopButton->setEnabled(streaming && idle);
    recordButton->setEnabled(streaming && idle && !status.recording);
    stopRecordingButton->setEnabled(status.recording);
    fileEdit->setEnabled(!status.recording);
    browseButton->setEnabled(!status.recording);
    csvBox->setEnabled(!status.recording);
    markButton->setEnabled(streaming);
    if (lslBox->isChecked() && !status.publishWanted && idle) {
        // Publishing failed (the log says why): the switch goes back off.
        const QSignalBlocker quiet(lslBox);
        lslBox->setChecked(false);
    }
    for (QShortcut* shortcut : quickMarks)
        shortcut->setEnabled(streaming);

    if (status.link != lastLink) {
        if (status.link == Link::Connecting) {
            buffer.clear();
            spectrumArea->clear();
        }
        lastLink = status.link;
    }
    switch (status.link) {
    case Link::Disconnected:
        traceArea->setIdleText(QStringLiteral("Not connected. Choose the headset or the virtual headset and press Connect."));
        break;
    case Link::Connecting:
        traceArea->setIdleText(QStringLiteral("Connecting…"));
        break;
    case Link::Connected:
        traceArea->setIdleText(QStringLiteral("Connected. Press Start to see the signals."));
        break;
    case Link::Streaming:
        traceArea->setIdleText(QStringLiteral("Waiting for samples…"));
        break;
    case Link::Reconnecting:
        traceArea->setIdleText(QStringLiteral("The headset was lost: reopening it…"));
        break;
    case Link::Disconnecting:
        traceArea->setIdleText(QStringLiteral("Disconnecting…"));
        break;
    }

    for (std::size_t c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        const QString text = QStringLiteral("%1: %2").arg(settings.labels[c], QLatin1String(calibrationText(status.calibration[c])));
        if (chips[c]->text() != text) {
            chips[c]->setText(text);
            chips[c]->setStyleSheet(chipStyle(status.calibration[c]));
        }
    }
    if (!texts)
        return;
    const double percent = status.samples > 0 ? 100.0 * static_cast<double>(status.lost) / static_cast<double>(status.samples) : 0.0;
    QString lost = QStringLiteral("Lost samples: %1 of %2 (%3 %)").arg(status.lost).arg(status.samples).arg(percent, 0, 'f', 2);
    if (status.displaySkipped > 0)
        lost += QStringLiteral("; %1 not drawn (display behind)").arg(status.displaySkipped);
    if (status.eventsSkipped > 0)
        lost += QStringLiteral("; %1 events not listed").arg(status.eventsSkipped);
    setTextIfChanged(lostLabel, lost);

    setTextIfChanged(dongleLabel, status.haveInfo ? versionText(status.info.dongleFirmware, status.info.dongleChannel)
                                                  : QStringLiteral("—"));
    setTextIfChanged(headsetLabel, status.haveInfo ? versionText(status.info.headsetFirmware, status.info.headsetChannel)
                                                   : QStringLiteral("—"));
    QString state = QString::fromLatin1(linkName(status.link));
    if (status.link != Link::Disconnected)
        state += status.source == Source::VirtualHeadset ? QStringLiteral(" (virtual headset)") : QStringLiteral(" (headset)");
    setTextIfChanged(linkLabel, state);
    setTextIfChanged(rateLabel,
        status.rateSettled ? QStringLiteral("%1 samples/s (%2%3 ppm)")
                                 .arg(status.effectiveRate, 0, 'f', 3)
                                 .arg(status.driftPpm >= 0 ? QStringLiteral("+") : QString())
                                 .arg(status.driftPpm, 0, 'f', 0)
                           : QStringLiteral("—"));

    setTextIfChanged(lslBox,
        status.lsl.running ? QStringLiteral("Publishing on LSL (%1 inlet%2)")
                                 .arg(status.lsl.inlets)
                                 .arg(status.lsl.inlets == 1 ? QString() : QStringLiteral("s"))
                           : QStringLiteral("Publish on LSL"));
    if (status.recording) {
        setTextIfChanged(elapsedLabel, QStringLiteral("<span style=\"color:#c00000\">● REC %1</span>")
                                           .arg(clockText(status.recordedSeconds)));
        elapsedLabel->setToolTip(QString::fromStdString(status.recordingBase) + QStringLiteral(".edf"));
    } else {
        setTextIfChanged(elapsedLabel, QString());
    }
    const QString summary = QStringLiteral("%1  ·  %2 samples  ·  %3 lost").arg(state).arg(status.samples).arg(status.lost);
    if (statusBar()->currentMessage() != summary)
        statusBar()->showMessage(summary);
}

} // namespace view
} // namespace ondira

// The viewer's window on Qt's offscreen platform, driven as a user drives
// it (clicks, a file name typed in) against the virtual headset in-process.

#include "MainWindow.h"
#include "PsdView.h"
#include "TraceView.h"
#include "ViewTestSupport.h"

#include "RecordingSupport.h"
#include "TestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFont>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <ostream>
#include <set>

using namespace ondira::view;
using namespace view_test;

// Readable QStrings in failure messages.
void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace {

QApplication* app = nullptr;

QApplication& application()
{
    if (!app) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "view_test";
        static char* argv[] = {name, nullptr};
        app = new QApplication(argc, argv);
        // The offscreen platform's default font is 12 px in Qt 6 and 17 px in
        // Qt 5; the tests that check which marker texts fit need one size.
        QFont font = QApplication::font();
        font.setPixelSize(12);
        QApplication::setFont(font);
    }
    return *app;
}

/// Destroys the application after the last test, while Qt's own globals
/// still live (at exit they go first, and a QApplication destroyed after them
/// crashes).
class ApplicationTeardown : public ::testing::Environment
{
public:
    void TearDown() override
    {
        delete app;
        app = nullptr;
    }
};
const ::testing::Environment* const teardown = ::testing::AddGlobalTestEnvironment(new ApplicationTeardown);

ViewerSettings virtualHeadset()
{
    ViewerSettings settings;
    settings.source = Source::VirtualHeadset;
    settings.virtualHeadsetAvailable = true;
    settings.labels = {{QStringLiteral("Fp1"), QStringLiteral("Fp2"), QStringLiteral("O1"), QStringLiteral("O2")}};
    return settings;
}

int colourDistance(QRgb a, const QColor& b)
{
    return std::abs(qRed(a) - b.red()) + std::abs(qGreen(a) - b.green()) + std::abs(qBlue(a) - b.blue());
}

class WindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        useVirtualHeadset();
        application();
    }

    void open(const std::string& config, const ViewerSettings& settings = virtualHeadset(),
              const AcquisitionOptions& options = simulatorOptions())
    {
        ASSERT_EQ(configure(config), "");
        window = std::make_unique<MainWindow>(settings, options);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    template <typename T>
    T* child(const char* name) const
    {
        T* widget = window->findChild<T*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    QString text(const char* label) const { return child<QLabel>(label)->text(); }
    QString events() const { return child<QPlainTextEdit>("eventsPane")->toPlainText(); }

    bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 30000)
    {
        return QTest::qWaitFor(condition, timeoutMs);
    }

    void click(const char* name)
    {
        QPushButton* button = child<QPushButton>(name);
        ASSERT_TRUE(button);
        ASSERT_TRUE(waitUntil([&] { return button->isEnabled(); })) << name << " stays disabled";
        QTest::mouseClick(button, Qt::LeftButton);
    }

    Link link() const { return window->acquisition().status().link; }

    void connectAndStart()
    {
        click("connectButton");
        click("startButton");
        ASSERT_TRUE(waitUntil([&] { return link() == Link::Streaming; })) << events().toStdString();
    }

    ondira_test::ScopedWorkingDirectory cwd; // log.txt and recordings
    std::unique_ptr<MainWindow> window;
};

} // namespace

TEST_F(WindowTest, ConnectStartStop_TracesReceiveSamplesAtMostThirtyFramesASecond)
{
    open("timescale=4");
    click("connectButton");
    ASSERT_TRUE(waitUntil([&] { return child<QPushButton>("startButton")->isEnabled(); })) << events().toStdString();
    EXPECT_EQ(text("dongleLabel"), QStringLiteral("firmware 2.4, radio channel 9"));
    EXPECT_EQ(text("headsetLabel"), QStringLiteral("firmware 3.5, radio channel 9"));

    click("startButton");
    ASSERT_TRUE(waitUntil([&] { return window->traces().size() >= 2 * OndiraData::SAMPLE_RATE_HZ; })) << events().toStdString();
    const TraceBuffer& traces = window->traces();
    for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        float low = traces.shown(c, traces.first());
        float high = low;
        for (long long i = traces.first(); i < traces.end(); ++i) {
            low = std::min(low, traces.shown(c, i));
            high = std::max(high, traces.shown(c, i));
        }
        EXPECT_GT(high - low, 20.0f) << "channel " << c + 1 << " moves";
    }

    // The traces are redrawn as samples come, but no more than 30 times a second.
    const int before = window->framesDrawn();
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(2000);
    const int frames = window->framesDrawn() - before;
    EXPECT_GE(frames, 10);
    EXPECT_LE(frames, 30.0 * static_cast<double>(clock.elapsed()) / 1000.0 + 2);

    // The spectrum follows, with the headset's alpha rhythm on top.
    ASSERT_TRUE(waitUntil([&] { return !window->spectrumView()->spectra()[0].empty(); }));
    for (const Psd& psd : window->spectrumView()->spectra())
        EXPECT_EQ(peakFrequency(psd, 1.0, 60.0), 10.0);

    click("stopButton");
    ASSERT_TRUE(waitUntil([&] { return link() == Link::Connected && window->acquisition().idle(); }));
    QTest::qWait(100);
    const long long stoppedAt = window->traces().end();
    QTest::qWait(500);
    EXPECT_EQ(window->traces().end(), stoppedAt) << "no sample after the stop";

    click("disconnectButton");
    ASSERT_TRUE(waitUntil([&] { return child<QPushButton>("connectButton")->isEnabled(); }));
    QTest::qWait(2 * MainWindow::FRAME_MS);
    EXPECT_EQ(text("dongleLabel"), QStringLiteral("—"));
    EXPECT_TRUE(window->failureText().isEmpty()) << window->failureText().toStdString();
}

TEST_F(WindowTest, DroppedPackets_RaiseTheLostCounterByFiveSamplesEach)
{
    ViewerSettings settings = virtualHeadset();
    settings.startAtOnce = true; // as --start does
    open("timescale=4 drop=30,31,60", settings);
    ASSERT_TRUE(waitUntil([&] { return window->acquisition().status().samples >= 80 * 5; })) << events().toStdString();
    QTest::qWait(300);
    EXPECT_EQ(window->acquisition().status().lost, 15);
    EXPECT_TRUE(text("lostLabel").startsWith(QStringLiteral("Lost samples: 15 of "))) << text("lostLabel").toStdString();

    // The traces show them as two runs of fillers: packets 30 and 31, then 60.
    const TraceBuffer& traces = window->traces();
    std::vector<std::pair<long long, long long>> runs;
    for (long long i = traces.first(); i < traces.end(); ++i) {
        if (!(traces.marks(i) & TraceBuffer::MARK_FILLER))
            continue;
        if (!runs.empty() && runs.back().first + runs.back().second == i)
            ++runs.back().second;
        else
            runs.push_back({i, 1});
    }
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].second, 10);
    EXPECT_EQ(runs[1].second, 5);
    EXPECT_EQ(runs[1].first - runs[0].first, 30 * 5);
}

TEST_F(WindowTest, CalibrationChips_FollowTheStatusEvents)
{
    open("timescale=4");
    connectAndStart();
    // Channels 2 and 3 of the virtual headset start out of range.
    const char* const chips[] = {"chip1", "chip2", "chip3", "chip4"};
    ASSERT_TRUE(waitUntil([&] {
        return std::all_of(std::begin(chips), std::end(chips),
                           [&](const char* chip) { return text(chip).endsWith(QStringLiteral(": calibrated")); });
    })) << events().toStdString();
    EXPECT_EQ(text("chip2"), QStringLiteral("Fp2: calibrated"));
    const QString log = events();
    EXPECT_LT(log.indexOf(QStringLiteral("Channel 2 is being calibrated")), log.indexOf(QStringLiteral("Channel 2 is calibrated")));
    EXPECT_GE(log.indexOf(QStringLiteral("Channel 2 is being calibrated")), 0);

    // Switching a channel's calibration off shows in its chip.
    QTest::mouseClick(child<QCheckBox>("calibrate1"), Qt::LeftButton);
    EXPECT_TRUE(waitUntil([&] { return text("chip1") == QStringLiteral("Fp1: not calibrated"); })) << events().toStdString();
    EXPECT_TRUE(events().contains(QStringLiteral("Channel 1 is not being calibrated")));
    EXPECT_EQ(text("chip2"), QStringLiteral("Fp2: calibrated"));
}

TEST_F(WindowTest, CalibrationChips_SlowCalibrationStaysUntilCalibrated)
{
    // An electrode whose level the offset cannot move: the offset runs out of range.
    open("fast=1 offset_gain=0 level=500,32768,32768,32768");
    connectAndStart();
    ASSERT_TRUE(waitUntil([&] { return text("chip1") == QStringLiteral("Fp1: slow calibration"); }))
        << events().toStdString();
    EXPECT_TRUE(events().contains(QStringLiteral("Channel 1 is taking a long time to calibrate")));
    EXPECT_EQ(text("chip3"), QStringLiteral("O1: calibrated"));
    QTest::qWait(300);
    EXPECT_EQ(text("chip1"), QStringLiteral("Fp1: slow calibration")) << "the next pass must not hide the warning";
}

TEST_F(WindowTest, Record_WritesAnEdfThatMneReads)
{
    open("timescale=4 loss=0.01 seed=5");
    connectAndStart();
    const QString base = QDir(cwd.path()).filePath(QStringLiteral("session"));
    QLineEdit* file = child<QLineEdit>("fileEdit");
    file->clear();
    QTest::keyClicks(file, base + QStringLiteral(".edf"));
    click("recordButton");
    ASSERT_TRUE(waitUntil([&] { return text("elapsedLabel").contains(QStringLiteral("REC")); })) << events().toStdString();
    ASSERT_TRUE(waitUntil([&] { return window->acquisition().status().recordedSeconds >= 3.0; }));
    click("stopRecordingButton");
    ASSERT_TRUE(waitUntil([&] { return !window->acquisition().status().recording && window->acquisition().idle(); }));
    ASSERT_TRUE(waitUntil([&] { return events().contains(QStringLiteral("Recorded ")); })) << events().toStdString();
    EXPECT_TRUE(text("elapsedLabel").isEmpty());
    EXPECT_EQ(link(), Link::Streaming) << "recording ends, streaming goes on";

    const std::string path = base.toStdString();
    for (const char* suffix : {".edf", ".csv", ".events.csv"})
        EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(path + suffix))) << suffix;
    const auto csv = ondira_test::readCsv(path + ".csv");
    const auto edf = ondira_test::readEdf(path + ".edf");
    ASSERT_TRUE(edf.ok) << edf.error;
    ASSERT_GE(csv.size(), 751u);
    EXPECT_EQ(edf.labels, (std::vector<std::string>{"EEG Fp1", "EEG Fp2", "EEG O1", "EEG O2"}));
    EXPECT_EQ(edf.records, static_cast<long long>((csv.size() - 1 + 249) / 250));

#ifdef ONDIRA_VIEW_MNE_CHECK
    // An independent reader: MNE-Python (Debian's python3-mne).
    QProcess python;
    python.start(QStringLiteral(ONDIRA_SYSTEM_PYTHON3),
                 {QStringLiteral(ONDIRA_VIEW_MNE_CHECK), base, QStringLiteral("Fp1,Fp2,O1,O2")});
    ASSERT_TRUE(python.waitForFinished(120000));
    const std::string said = python.readAllStandardOutput().toStdString();
    EXPECT_EQ(python.exitCode(), 0) << said << python.readAllStandardError().toStdString();
    EXPECT_NE(said.find("all checks passed"), std::string::npos) << said;
    std::cout << said;
#endif

    // The same name again: refused with a message; the files stay as they are.
    const qint64 size = QFileInfo(base + QStringLiteral(".edf")).size();
    click("recordButton");
    ASSERT_TRUE(waitUntil([&] { return !window->failureText().isEmpty(); }));
    EXPECT_TRUE(window->failureText().contains(QStringLiteral("already exists"))) << window->failureText().toStdString();
    EXPECT_EQ(QFileInfo(base + QStringLiteral(".edf")).size(), size);
}

TEST_F(WindowTest, NoHeadset_ShowsAMessageAndTheWindowNeverFreezes)
{
    struct Case {
        const char* what;
        const char* config;
        Source source;
        const char* message;
        bool slow; // the library takes more than a second to give up
    };
    const Case cases[] = {
        {"no dongle", "devices=0", Source::VirtualHeadset, "no dongle answered", false},
        {"a dongle that does not answer", "silent=1", Source::VirtualHeadset, "no dongle answered", true},
        {"the headset switched off", "headset=off", Source::VirtualHeadset, "the headset did not", true},
        {"no D2XX driver", "", Source::Headset, "D2XX driver library could not be loaded", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ViewerSettings settings = virtualHeadset();
        settings.source = c.source;
        AcquisitionOptions options = simulatorOptions();
        options.headsetLibrary = QDir(cwd.path()).filePath(QStringLiteral("no-such-libftd2xx.so")).toStdString();
        window.reset();
        open(c.config, settings, options);

        // A timer of the GUI thread: its longest pause is the longest freeze.
        QElapsedTimer clock;
        qint64 last = 0;
        qint64 longest = 0;
        QTimer probe;
        probe.setInterval(10);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            longest = std::max(longest, clock.elapsed() - last);
            last = clock.elapsed();
        });
        clock.start();
        probe.start();
        click("connectButton");
        ASSERT_TRUE(waitUntil([&] { return !window->failureText().isEmpty(); }, 60000));
        const qint64 took = clock.elapsed();
        probe.stop();

        EXPECT_TRUE(window->failureText().contains(QLatin1String(c.message))) << window->failureText().toStdString();
        EXPECT_LT(longest, 500) << "the GUI thread stopped for " << longest << " ms of " << took;
        if (c.slow) {
            EXPECT_GE(took, 1000) << "a call that blocks this long would have frozen the window";
        }
        EXPECT_TRUE(waitUntil([&] { return child<QPushButton>("connectButton")->isEnabled(); }));
        EXPECT_EQ(link(), Link::Disconnected);
    }
}

TEST_F(WindowTest, PublishSwitch_ShowsTheInletsAndGoesOffWhenPublishingFails)
{
    for (const bool works : { true, false }) {
        SCOPED_TRACE(works ? "loopback" : "an address not of this machine");
        AcquisitionOptions options = simulatorOptions();
        options.lsl.name = "OndiraWindow" + std::to_string(QCoreApplication::applicationPid());
        options.lsl.interfaceAddress = works ? "127.0.0.1" : "192.0.2.254";
        window.reset();
        open("", virtualHeadset(), options);
        QCheckBox* box = child<QCheckBox>("lslBox");
        ASSERT_TRUE(box);
        connectAndStart();
        box->setChecked(true);
        if (works) {
            EXPECT_TRUE(waitUntil([&] {
                return box->text() == QStringLiteral("Publishing on LSL (0 inlets)");
            })) << box->text().toStdString();
            EXPECT_TRUE(box->isChecked());
        } else {
            EXPECT_TRUE(waitUntil([&] { return !box->isChecked(); })) << "the switch goes back off";
            EXPECT_TRUE(events().contains(QStringLiteral("Could not publish the stream on LSL")))
                << events().toStdString();
            EXPECT_EQ(box->text(), QStringLiteral("Publish on LSL"));
        }
    }
}

TEST_F(WindowTest, GrabbedImage_IsNotBlankAndShowsFourTraces)
{
    ViewerSettings settings = virtualHeadset();
    settings.windowSeconds = 5;
    open("timescale=4", settings);
    connectAndStart();
    ASSERT_TRUE(waitUntil([&] { return window->traces().size() >= 6 * OndiraData::SAMPLE_RATE_HZ; }));
    QTest::qWait(2 * MainWindow::FRAME_MS);

    const QImage image = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3)
        for (int x = 0; x < image.width(); x += 3)
            colours.insert(image.pixel(x, y));
    EXPECT_GT(colours.size(), 50u) << "a blank or nearly blank picture";

    // In each lane, the plot's columns hold that channel's colour, and no other channel's.
    TraceView* view = window->traceView();
    const QPoint origin = view->mapTo(window.get(), QPoint(0, 0));
    for (int lane = 0; lane < OndiraData::CHANNEL_COUNT; ++lane) {
        SCOPED_TRACE(lane + 1);
        const QRect area = view->laneRect(lane).translated(origin).adjusted(2, 2, -2, -2);
        std::array<int, OndiraData::CHANNEL_COUNT> columns{};
        for (int x = area.left(); x <= area.right(); ++x) {
            std::array<bool, OndiraData::CHANNEL_COUNT> seen{};
            for (int y = area.top(); y <= area.bottom(); ++y) {
                for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
                    seen[static_cast<std::size_t>(c)] = seen[static_cast<std::size_t>(c)]
                        || colourDistance(image.pixel(x, y), TraceView::channelColor(c)) < 30;
            }
            for (std::size_t c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
                columns[c] += seen[c] ? 1 : 0;
        }
        for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
            if (c == lane) {
                EXPECT_GT(columns[static_cast<std::size_t>(c)], area.width() * 9 / 10) << "its own trace";
            } else {
                EXPECT_EQ(columns[static_cast<std::size_t>(c)], 0) << "channel " << c + 1 << "'s colour";
            }
        }
    }
}

TEST_F(WindowTest, Markers_FieldButtonAndKeys_AreListedAndDrawn)
{
    open("timescale=4");
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QLineEdit* field = child<QLineEdit>("markerEdit");
    QComboBox* windowBox = child<QComboBox>("windowBox");
    ASSERT_TRUE(field && windowBox);
    // Before streaming: button and keys are off; Enter in the field says why.
    EXPECT_FALSE(child<QPushButton>("markButton")->isEnabled());
    windowBox->setFocus();
    QTest::keyClick(windowBox, Qt::Key_1);
    QTest::keyClicks(field, QStringLiteral("stimulus A"));
    QTest::keyClick(field, Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return !window->failureText().isEmpty(); }));
    EXPECT_EQ(window->failureText(),
              QStringLiteral("Marker 'stimulus A' not placed: start streaming first."));
    EXPECT_FALSE(events().contains(QStringLiteral("Marker '1'"))) << "the key 1 did nothing";

    connectAndStart();
    ASSERT_TRUE(waitUntil([&] { return window->traces().size() > 0; }));
    // Each a little after the one before, so that each has its own line.
    auto markThen = [&](const std::function<void()>& put) {
        const long long before = window->traces().end();
        put();
        ASSERT_TRUE(waitUntil([&] { return window->traces().end() > before + 50; }));
    };
    markThen([&] { click("markButton"); });
    markThen([&] { QTest::keyClick(field, Qt::Key_Return); });
    // Outside a text field the digits mark (the list box does not take
    // them); in the field they are typed.
    windowBox->setFocus();
    markThen([&] { QTest::keyClick(windowBox, Qt::Key_3); });
    markThen([&] { QTest::keyClick(windowBox, Qt::Key_9, Qt::KeypadModifier); });
    QTest::keyClick(field, Qt::Key_7);
    EXPECT_EQ(field->text(), QStringLiteral("stimulus A7"));
    EXPECT_EQ(windowBox->currentData().toInt(), 10);

    const std::vector<TraceView::DrawnMarker>& drawn = window->traceView()->drawnMarkers();
    ASSERT_TRUE(waitUntil([&] { return drawn.size() == 4; })) << events().toStdString();
    std::string texts;
    for (const TraceBuffer::Marker& m : window->traces().markers())
        texts += m.text + ",";
    EXPECT_EQ(texts, "stimulus A,stimulus A,3,9,");
    EXPECT_EQ(drawn.back().label, QStringLiteral("9"));
    const QStringList lines = events().split(QLatin1Char('\n')).filter(QStringLiteral("marker"));
    EXPECT_EQ(lines.filter(QStringLiteral("stimulus A")).size(), 2) << events().toStdString();
}

TEST_F(WindowTest, TraceView_Markers_LinesAcrossTheLanesTextsFitTheirRoom)
{
    TraceBuffer buffer(1250);
    std::vector<DisplaySample> samples(1250);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i].index = static_cast<long long>(i);
        samples[i].stream = 1;
    }
    buffer.append(samples.data(), samples.size());
    const std::pair<double, const char*> markers[] = {
        {200, "alpha"}, {600, "a rather long text for the little room it has"}, {680, "x"},
        {683, "newest but one"}, {683.2, "crowd"}, {1249, "newest"}, {1300, "to come"}};
    for (const auto& m : markers)
        buffer.addMarker(1, m.first, m.second);
    TraceView view(buffer);
    view.resize(900, 600);
    view.setWindowSeconds(5); // the whole buffer
    const QImage image = view.grab().toImage().convertToFormat(QImage::Format_RGB32);

    // 683 and 683.2 share a column; 1300's sample is still to come.
    QStringList labels;
    for (const TraceView::DrawnMarker& m : view.drawnMarkers()) {
        labels << m.label;
        for (int lane = 0; lane < OndiraData::CHANNEL_COUNT; ++lane) {
            const QRect r = view.laneRect(lane);
            const QRgb pixel = image.pixel(static_cast<int>(m.x), r.top() + r.height() * 3 / 4);
            EXPECT_LT(colourDistance(pixel, TraceView::markerColor()), 30) << "lane " << lane + 1;
        }
    }
    ASSERT_EQ(labels.size(), 5);
    EXPECT_EQ(labels[0], QStringLiteral("alpha"));
    EXPECT_TRUE(labels[1].startsWith(QStringLiteral("a ")) && labels[1].endsWith(QChar(0x2026)))
        << labels[1].toStdString();
    EXPECT_EQ(labels.mid(2), (QStringList{{}, QStringLiteral("crowd"), QStringLiteral("newest")}))
        << "no room beside x; the newest left of its line at the right edge";
}

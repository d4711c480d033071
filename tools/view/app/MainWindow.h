#ifndef ONDIRA_VIEW_MAINWINDOW_H
#define ONDIRA_VIEW_MAINWINDOW_H

#include "Acquisition.h"
#include "Filters.h"
#include "Psd.h"
#include "TraceBuffer.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <QTimer>

#include <array>
#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QShortcut;

namespace ondira {
namespace view {

class PsdView;
class TraceView;

struct ViewerSettings {
    Source source = Source::Headset;
    bool virtualHeadsetAvailable = false;
    /// Connect and start streaming as soon as the window is shown.
    bool startAtOnce = false;
    /// Publish the stream on the Lab Streaming Layer from the start.
    bool publish = false;
    std::array<QString, OndiraData::CHANNEL_COUNT> labels{{QStringLiteral("Ch1"), QStringLiteral("Ch2"), QStringLiteral("Ch3"),
                                               QStringLiteral("Ch4")}};
    int windowSeconds = 10;          ///< 5, 10 or 20
    double microvoltsPerDivision = 0; ///< 0: automatic
    FilterSettings filters;
};

/// The viewer's window. Every call into the library goes through the
/// Acquisition's control thread; this thread only reads its rings and
/// status, at most 30 times a second, and draws.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    static constexpr int FRAME_MS = 34;          ///< at most 30 frames per second
    static constexpr int SPECTRUM_MS = 500;
    static constexpr int TEXT_MS = 250;          ///< counters and states in words
    static constexpr int SPECTRUM_SECONDS = 4;

    MainWindow(const ViewerSettings& settings, const AcquisitionOptions& options, QWidget* parent = nullptr);
    ~MainWindow() override;

    Acquisition& acquisition() { return *acquisitionLink; }
    const TraceBuffer& traces() const { return buffer; }
    TraceView* traceView() const { return traceArea; }
    PsdView* spectrumView() const { return spectrumArea; }
    /// The failure shown above the traces; empty when none is shown.
    QString failureText() const;
    /// Frames drawn so far (the traces' paint events).
    int framesDrawn() const { return frames; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void buildPanels();
    void tick();
    void connectClicked();
    void recordClicked();
    void markClicked();
    void browseClicked();
    void filtersChanged();
    void scaleChanged();
    void applyStatus(const AcquisitionStatus& status, bool texts);
    void appendLog(const std::vector<LogEntry>& entries);
    void updateSpectrum();
    void showFailure(const QString& text);

    const ViewerSettings settings;
    std::unique_ptr<Acquisition> acquisitionLink;
    TraceBuffer buffer;
    std::vector<DisplaySample> incoming;
    Welch welch;
    QTimer frameTimer;
    QElapsedTimer sinceSpectrum;
    QElapsedTimer sinceTexts;
    bool newSamples = false;
    Link lastLink = Link::Disconnected;
    bool wasRecording = false;
    bool hadInfo = false;
    int frames = 0;

    QComboBox* sourceBox = nullptr;
    QCheckBox* lslBox = nullptr;
    QPushButton* connectButton = nullptr;
    QPushButton* disconnectButton = nullptr;
    QPushButton* startButton = nullptr;
    QPushButton* stopButton = nullptr;
    QLineEdit* fileEdit = nullptr;
    QPushButton* browseButton = nullptr;
    QCheckBox* csvBox = nullptr;
    QPushButton* recordButton = nullptr;
    QPushButton* stopRecordingButton = nullptr;
    QLabel* elapsedLabel = nullptr;
    QLineEdit* markerEdit = nullptr;
    QPushButton* markButton = nullptr;
    std::vector<QShortcut*> quickMarks; // keys 1..9, on the main keys and the keypad
    QComboBox* windowBox = nullptr;
    QComboBox* scaleBox = nullptr;
    QCheckBox* dcBox = nullptr;
    QCheckBox* bandPassBox = nullptr;
    QDoubleSpinBox* lowSpin = nullptr;
    QDoubleSpinBox* highSpin = nullptr;
    QComboBox* notchBox = nullptr;

    QFrame* banner = nullptr;
    QLabel* bannerText = nullptr;
    TraceView* traceArea = nullptr;
    PsdView* spectrumArea = nullptr;
    std::array<QLabel*, OndiraData::CHANNEL_COUNT> chips{};
    std::array<QCheckBox*, OndiraData::CHANNEL_COUNT> calibrateBoxes{};
    QLabel* lostLabel = nullptr;
    QLabel* dongleLabel = nullptr;
    QLabel* headsetLabel = nullptr;
    QLabel* linkLabel = nullptr;
    QLabel* rateLabel = nullptr;
    QPlainTextEdit* eventsPane = nullptr;
};

} // namespace view
} // namespace ondira

#endif

#ifndef ONDIRA_VIEW_TRACEVIEW_H
#define ONDIRA_VIEW_TRACEVIEW_H

#include "TraceBuffer.h"

#include <QColor>
#include <QLineF>
#include <QString>
#include <QVector>
#include <QWidget>

#include <array>
#include <vector>

namespace ondira {
namespace view {

/// The four channels scrolling from right to left over a window of seconds,
/// drawn with QPainter from a TraceBuffer: per channel a lane with its label
/// and scale, a time axis below. Fillers are drawn grey and dashed on a
/// shaded band, offset changes as orange lines in their channel's lane, a
/// (re)start of streaming as a dark line across all lanes, a stimulus marker
/// as a teal line across all lanes with its text at the top, elided to the
/// room there is. Where more samples than pixels fall into a column, the
/// column shows their minimum and maximum.
class TraceView : public QWidget
{
    Q_OBJECT
public:
    static constexpr int DIVISIONS = 4;   ///< vertical divisions per lane

    explicit TraceView(const TraceBuffer& buffer, QWidget* parent = nullptr);

    void setLabels(const std::array<QString, OndiraData::CHANNEL_COUNT>& labels);
    void setWindowSeconds(int seconds);
    int windowSeconds() const { return seconds; }
    /// µV per division for every channel; 0 scales each channel automatically.
    void setFixedScale(double microvoltsPerDivision);
    /// The scale channel `channel` was last drawn with.
    double microvoltsPerDivision(int channel) const { return scales[static_cast<std::size_t>(channel)]; }
    /// Shown when there are no samples yet.
    void setIdleText(const QString& text);

    static QColor channelColor(int channel);
    static QColor markerColor();

    /// A marker line of the last frame: its x, and the text shown beside it
    /// (elided; empty where there was no room). Markers that share a pixel
    /// column share a line, which shows the newest one's text.
    struct DrawnMarker {
        double x;
        QString label;
    };
    const std::vector<DrawnMarker>& drawnMarkers() const { return drawn; }
    QRect plotRect() const;
    QRect laneRect(int channel) const;

    QSize sizeHint() const override { return QSize(900, 600); }
    QSize minimumSizeHint() const override { return QSize(400, 300); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void drawLane(class QPainter& painter, int channel, long long firstIndex, long long count);
    void drawTimeAxis(QPainter& painter, long long firstIndex, long long count);
    void drawMarkers(QPainter& painter, long long firstIndex, long long count);
    double xOf(double index, long long firstIndex, long long count) const;

    const TraceBuffer& buffer;
    std::array<QString, OndiraData::CHANNEL_COUNT> labels{{QStringLiteral("Ch1"), QStringLiteral("Ch2"), QStringLiteral("Ch3"),
                                               QStringLiteral("Ch4")}};
    int seconds = 10;
    double fixedScale = 0.0;
    std::array<double, OndiraData::CHANNEL_COUNT> scales{};
    QString idleText;
    QRect plot; // plotRect() while a frame is drawn
    std::vector<DrawnMarker> drawn;
    // drawMarkers' own, kept for their capacity.
    std::vector<const TraceBuffer::Marker*> inColumns;
    QVector<QLineF> lines;
};

} // namespace view
} // namespace ondira

#endif

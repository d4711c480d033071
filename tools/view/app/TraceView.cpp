#include "TraceView.h"

#include "Scale.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <algorithm>
#include <cmath>
#include <vector>

namespace ondira {
namespace view {

namespace {

constexpr int LABEL_WIDTH = 96;
constexpr int AXIS_HEIGHT = 28;
constexpr int MARGIN = 6;

const QColor FILLER_BAND(255, 214, 214);
const QColor FILLER_TRACE(140, 140, 140);
const QColor OFFSET_MARK(230, 120, 0);
const QColor RESTART_MARK(60, 60, 60);
const QColor MARKER(0, 128, 128);
const QColor MARKER_LABEL_BACKGROUND(255, 255, 255, 220);
constexpr int MARKER_LABEL_TOP = 9;   // below the offset changes' triangles
constexpr int MARKER_LABEL_GAP = 3;   // between a line and its text
constexpr int MARKER_LABEL_MAX = 180; // pixels
const QColor GRID(225, 225, 225);
const QColor AXIS_TEXT(70, 70, 70);

QString scaleText(double microvolts)
{
    return microvolts >= 1000 ? QStringLiteral("%1 mV/div").arg(microvolts / 1000.0)
                              : QStringLiteral("%1 µV/div").arg(microvolts);
}

} // namespace

TraceView::TraceView(const TraceBuffer& buffer, QWidget* parent)
    : QWidget(parent)
    , buffer(buffer)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
}

void TraceView::setLabels(const std::array<QString, OndiraData::CHANNEL_COUNT>& newLabels)
{
    labels = newLabels;
    update();
}

void TraceView::setWindowSeconds(int value)
{
    seconds = std::max(1, value);
    update();
}

void TraceView::setFixedScale(double microvoltsPerDivision)
{
    fixedScale = std::max(0.0, microvoltsPerDivision);
    scales.fill(0.0);
    update();
}

void TraceView::setIdleText(const QString& text)
{
    if (text != idleText) {
        idleText = text;
        update();
    }
}

QColor TraceView::channelColor(int channel)
{
    static const QColor colors[OndiraData::CHANNEL_COUNT] = {QColor(31, 119, 180), QColor(214, 39, 40), QColor(44, 160, 44),
                                                 QColor(148, 103, 189)};
    return colors[std::clamp(channel, 0, OndiraData::CHANNEL_COUNT - 1)];
}

QColor TraceView::markerColor()
{
    return MARKER;
}

QRect TraceView::plotRect() const
{
    return QRect(LABEL_WIDTH, MARGIN, std::max(1, width() - LABEL_WIDTH - MARGIN),
                 std::max(OndiraData::CHANNEL_COUNT, height() - MARGIN - AXIS_HEIGHT));
}

QRect TraceView::laneRect(int channel) const
{
    const QRect plot = plotRect();
    const int top = plot.top() + plot.height() * channel / OndiraData::CHANNEL_COUNT;
    const int bottom = plot.top() + plot.height() * (channel + 1) / OndiraData::CHANNEL_COUNT;
    return QRect(plot.left(), top, plot.width(), bottom - top);
}

double TraceView::xOf(double index, long long firstIndex, long long count) const
{
    return plot.left() + (index - static_cast<double>(firstIndex)) * plot.width() / static_cast<double>(count);
}

void TraceView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    const long long count = static_cast<long long>(seconds) * OndiraData::SAMPLE_RATE_HZ;
    const long long firstIndex = buffer.end() - count;
    plot = plotRect();

    // Seconds grid, lanes and their labels.
    painter.setPen(QPen(GRID, 0));
    for (long long s = std::max(0LL, firstIndex / OndiraData::SAMPLE_RATE_HZ); s * OndiraData::SAMPLE_RATE_HZ <= buffer.end(); ++s) {
        const double x = xOf(static_cast<double>(s * OndiraData::SAMPLE_RATE_HZ), firstIndex, count);
        if (x >= plot.left())
            painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
    }
    for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
        drawLane(painter, c, firstIndex, count);
    drawMarkers(painter, firstIndex, count);
    drawTimeAxis(painter, firstIndex, count);

    if (buffer.size() == 0 && !idleText.isEmpty()) {
        painter.setPen(QPen(AXIS_TEXT, 0));
        painter.drawText(plot, Qt::AlignCenter | Qt::TextWordWrap, idleText);
    }
}

void TraceView::drawLane(QPainter& painter, int channel, long long firstIndex, long long count)
{
    const QRect lane = laneRect(channel);
    const std::size_t c = static_cast<std::size_t>(channel);

    // Division lines, the lane's frame and its label.
    painter.setPen(QPen(GRID, 0, Qt::DotLine));
    for (int k = 1; k < DIVISIONS; ++k) {
        const int y = lane.top() + lane.height() * k / DIVISIONS;
        painter.drawLine(lane.left(), y, lane.right(), y);
    }
    painter.setPen(QPen(QColor(200, 200, 200), 0));
    painter.drawLine(lane.left(), lane.bottom(), lane.right(), lane.bottom());

    const long long from = std::max(firstIndex, buffer.first());
    const long long to = buffer.end();

    // What the lane holds decides the automatic scale and the centre line.
    float low = 0.0f;
    float high = 0.0f;
    bool any = false;
    for (long long i = from; i < to; ++i) {
        if (buffer.marks(i) & TraceBuffer::MARK_SKIPPED)
            continue;
        const float v = buffer.shown(channel, i);
        if (!std::isfinite(v))
            continue;
        low = any ? std::min(low, v) : v;
        high = any ? std::max(high, v) : v;
        any = true;
    }
    scales[c] = fixedScale > 0 ? fixedScale : autoMicrovoltsPerDivision(high - low, DIVISIONS, scales[c]);

    QFont font = painter.font();
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(QPen(channelColor(channel), 0));
    const QRect labelBox(MARGIN, lane.top() + 4, LABEL_WIDTH - 2 * MARGIN, lane.height() - 8);
    painter.drawText(labelBox, Qt::AlignLeft | Qt::AlignTop, labels[c]);
    font.setBold(false);
    painter.setFont(font);
    painter.setPen(QPen(AXIS_TEXT, 0));
    painter.drawText(labelBox, Qt::AlignLeft | Qt::AlignVCenter,
                     scaleText(scales[c]) + (fixedScale > 0 ? QString() : QStringLiteral("\nauto")));

    if (!any)
        return;
    const double centre = (static_cast<double>(low) + high) / 2.0;
    const double pixelsPerMicrovolt = lane.height() / (DIVISIONS * scales[c]);
    const double middle = lane.top() + lane.height() / 2.0;
    auto yOf = [&](double microvolts) { return middle - (microvolts - centre) * pixelsPerMicrovolt; };

    painter.save();
    painter.setClipRect(lane.adjusted(0, 1, 0, -1));

    // Shaded bands under fillers, marks of offset changes and restarts.
    const unsigned char offset = TraceBuffer::offsetMark(channel);
    long long runStart = -1;
    for (long long i = from; i <= to; ++i) {
        const bool filler = i < to && (buffer.marks(i) & TraceBuffer::MARK_FILLER);
        if (filler && runStart < 0)
            runStart = i;
        if (!filler && runStart >= 0) {
            const double x0 = xOf(static_cast<double>(runStart), firstIndex, count);
            const double x1 = std::max(x0 + 1.0, xOf(static_cast<double>(i), firstIndex, count));
            painter.fillRect(QRectF(x0, lane.top(), x1 - x0, lane.height()), FILLER_BAND);
            runStart = -1;
        }
        if (i < to && (buffer.marks(i) & (offset | TraceBuffer::MARK_RESTART))) {
            const double x = xOf(static_cast<double>(i), firstIndex, count);
            const bool restart = buffer.marks(i) & TraceBuffer::MARK_RESTART;
            painter.setPen(QPen(restart ? RESTART_MARK : OFFSET_MARK, restart ? 2 : 0, restart ? Qt::SolidLine : Qt::DashLine));
            painter.drawLine(QPointF(x, lane.top()), QPointF(x, lane.bottom()));
            if (!restart) {
                const QPointF tip(x, lane.top() + 7);
                const QPolygonF triangle({QPointF(x - 5, lane.top() + 1), QPointF(x + 5, lane.top() + 1), tip});
                painter.setBrush(OFFSET_MARK);
                painter.setPen(Qt::NoPen);
                painter.drawPolygon(triangle);
                painter.setBrush(Qt::NoBrush);
            }
        }
    }

    // The trace: a point per sample where samples are sparser than pixels,
    // else per pixel column the range of its samples; split into runs of
    // ordinary samples and runs of fillers.
    // Cosmetic one-pixel pens: the raster engine draws them on its fast line
    // path, where a wider pen would go through the stroker (most of a frame).
    const QPen normal(channelColor(channel), 0);
    const QPen fillerPen(FILLER_TRACE, 0, Qt::DashLine);
    QPolygonF run;
    bool runIsFiller = false;
    auto flush = [&](bool nextIsFiller) {
        if (run.size() > 1) {
            painter.setPen(runIsFiller ? fillerPen : normal);
            painter.drawPolyline(run);
        }
        // Runs join: the next one starts where this one ended.
        const QPointF joint = run.isEmpty() ? QPointF() : run.last();
        const bool had = !run.isEmpty();
        run.clear();
        if (had)
            run << joint;
        runIsFiller = nextIsFiller;
    };
    long long i = from;
    while (i < to) {
        const int column = static_cast<int>(std::floor(xOf(static_cast<double>(i), firstIndex, count)));
        const bool filler = buffer.marks(i) & TraceBuffer::MARK_FILLER;
        if (filler != runIsFiller)
            flush(filler);
        const float first = buffer.shown(channel, i);
        float lowest = first;
        float highest = first;
        long long j = i + 1;
        while (j < to && static_cast<int>(std::floor(xOf(static_cast<double>(j), firstIndex, count))) == column
               && static_cast<bool>(buffer.marks(j) & TraceBuffer::MARK_FILLER) == filler) {
            const float value = buffer.shown(channel, j);
            lowest = std::min(lowest, value);
            highest = std::max(highest, value);
            ++j;
        }
        if (j - i == 1) {
            const double x = xOf(static_cast<double>(i), firstIndex, count);
            if (x >= plot.left() - 1)
                run << QPointF(x, yOf(first));
        } else if (column >= plot.left() - 1) {
            // The column's range as one vertical stroke, entered from the
            // end nearer to where the trace comes from.
            const double x = column + 0.5;
            const bool fromLow = run.isEmpty() || std::fabs(run.last().y() - yOf(lowest)) < std::fabs(run.last().y() - yOf(highest));
            run << QPointF(x, yOf(fromLow ? lowest : highest)) << QPointF(x, yOf(fromLow ? highest : lowest));
        }
        i = j;
    }
    flush(runIsFiller);
    painter.restore();
}

void TraceView::drawMarkers(QPainter& painter, long long firstIndex, long long count)
{
    drawn.clear();
    inColumns.clear();
    // The markers whose sample is in the window and drawn already.
    using Marker = TraceBuffer::Marker;
    const std::deque<Marker>& markers = buffer.markers();
    const double from = static_cast<double>(std::max(firstIndex, buffer.first()));
    const double to = static_cast<double>(buffer.end());
    const auto before = [](const Marker& m, double at) { return m.at < at; };
    const auto begin = std::lower_bound(markers.begin(), markers.end(), from, before);
    const auto end = std::lower_bound(begin, markers.end(), to, before);
    if (begin == end)
        return;

    // One line per pixel column, cosmetic, all in one call.
    lines.clear();
    for (auto m = begin; m != end; ++m) {
        const double x = std::floor(xOf(m->at, firstIndex, count)) + 0.5;
        if (!drawn.empty() && drawn.back().x == x) {
            inColumns.back() = &*m;
            continue;
        }
        lines.append(QLineF(x, plot.top(), x, plot.bottom()));
        drawn.push_back(DrawnMarker{x, QString()});
        inColumns.push_back(&*m);
    }
    painter.save();
    painter.setClipRect(plot);
    painter.setPen(QPen(MARKER, 0));
    painter.drawLines(lines);

    // Each text right of its line, up to the next line; the newest, at the
    // right edge, left of its line when there is more room there.
    const QFontMetrics metrics(painter.font());
    const double top = plot.top() + MARKER_LABEL_TOP;
    const double minimum = metrics.horizontalAdvance(QStringLiteral("MM…"));
    const double letter = metrics.horizontalAdvance(QLatin1Char('1'));
    double taken = plot.left(); // right end of the text drawn before
    for (std::size_t k = 0; k < drawn.size(); ++k) {
        const double x = drawn[k].x;
        const bool newest = k + 1 == drawn.size();
        const double next = newest ? plot.right() : drawn[k + 1].x;
        const double right = std::min<double>(next - x, MARKER_LABEL_MAX) - 2 * MARKER_LABEL_GAP;
        const double left = std::min<double>(x - taken, MARKER_LABEL_MAX) - 2 * MARKER_LABEL_GAP;
        // Crowded lines, the common case with many markers, cost no text work.
        if ((newest ? std::max(right, left) : right) < letter)
            continue;
        const QString text = QString::fromStdString(inColumns[k]->text);
        const double wanted = metrics.horizontalAdvance(text);
        const bool onRight = !newest || right >= wanted || right >= left;
        const double room = onRight ? right : left;
        if (room < std::min(minimum, wanted))
            continue; // neither the whole text nor a few letters and "…"

        const QString label = metrics.elidedText(text, Qt::ElideRight, static_cast<int>(room));
        const double width = std::min(room, static_cast<double>(metrics.horizontalAdvance(label)));
        const QRectF box(onRight ? x + MARKER_LABEL_GAP : x - MARKER_LABEL_GAP - width, top, width,
                         metrics.height());
        painter.fillRect(box.adjusted(-1, 0, 1, 0), MARKER_LABEL_BACKGROUND);
        painter.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, label);
        drawn[k].label = label;
        taken = box.right() + MARKER_LABEL_GAP;
    }
    painter.restore();
}

void TraceView::drawTimeAxis(QPainter& painter, long long firstIndex, long long count)
{
    painter.setPen(QPen(AXIS_TEXT, 0));
    painter.drawLine(plot.left(), plot.bottom() + 1, plot.right(), plot.bottom() + 1);
    const int step = seconds > 10 ? 2 : 1;
    const QFontMetrics metrics(painter.font());
    for (long long s = std::max(0LL, firstIndex / OndiraData::SAMPLE_RATE_HZ); s * OndiraData::SAMPLE_RATE_HZ <= buffer.end(); ++s) {
        if (s % step != 0)
            continue;
        const double x = xOf(static_cast<double>(s * OndiraData::SAMPLE_RATE_HZ), firstIndex, count);
        if (x < plot.left())
            continue;
        painter.drawLine(QPointF(x, plot.bottom() + 1), QPointF(x, plot.bottom() + 5));
        const QString text = QString::number(s);
        const int w = metrics.horizontalAdvance(text);
        painter.drawText(QPointF(x - w / 2.0, plot.bottom() + 6 + metrics.ascent()), text);
    }
    painter.drawText(QRect(MARGIN, plot.bottom() + 4, LABEL_WIDTH - 2 * MARGIN, AXIS_HEIGHT - 4),
                     Qt::AlignLeft | Qt::AlignTop, QStringLiteral("time (s)"));
}

} // namespace view
} // namespace ondira

#include <ondira/formats/PlotWriter.h>

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QDateTime>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace ondira {
namespace formats {

namespace {

constexpr std::size_t MAX_BUCKETS = 4096;
constexpr int HISTOGRAM_SIZE = OndiraData::MAX_CHANNEL_VALUE + 1;

/// A stretch of the time line: the extremes of each channel over its samples
/// (fillers left out), how many fillers it holds and which channels had an
/// offset change in it.
struct Bucket {
    std::array<int, OndiraData::CHANNEL_COUNT> min{};
    std::array<int, OndiraData::CHANNEL_COUNT> max{};
    int samples = 0;
    int fillers = 0;
    unsigned offsetChanges = 0; // bit c: channel c + 1

    void merge(const Bucket& other)
    {
        for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
            if (other.samples == 0)
                break;
            min[c] = samples == 0 ? other.min[c] : std::min(min[c], other.min[c]);
            max[c] = samples == 0 ? other.max[c] : std::max(max[c], other.max[c]);
        }
        samples += other.samples;
        fillers += other.fillers;
        offsetChanges |= other.offsetChanges;
    }
};

/// 1, 2 or 5 times a power of ten, at least `value`.
double niceCeil(double value)
{
    if (value <= 0)
        return 1;
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (double step : {1.0, 2.0, 5.0, 10.0}) {
        if (step * power >= value * 0.999)
            return step * power;
    }
    return 10 * power;
}

QString formatNumber(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

} // namespace

struct PlotWriter::State {
    State(const std::string& path, int width, int height)
        : file(QString::fromStdString(path)), width(width), height(height)
    {
        for (auto& h : histogram)
            h.assign(HISTOGRAM_SIZE, 0);
    }

    QFile file;
    int width;
    int height;
    RecordingInfo info;
    bool haveInfo = false;
    long long firstTimestamp = 0; // ms; replaced by startsAt()'s time
    bool startKnown = false;
    ClockSummary clock;
    bool haveClock = false;
    long long samples = 0;
    long long fillers = 0;
    long long bucketSize = 1;
    std::vector<Bucket> buckets;
    std::array<std::vector<std::uint32_t>, OndiraData::CHANNEL_COUNT> histogram;
    /// Markers by onset: a bounded number are drawn, each with its text.
    std::vector<Marker> markers;

    void add(const Sample& s);
    int percentile(int channel, double fraction) const;
    QImage render() const;
};

void PlotWriter::State::add(const Sample& s)
{
    if (samples == 0 && !startKnown)
        firstTimestamp = s.timestampMs;
    std::size_t index = static_cast<std::size_t>(samples / bucketSize);
    if (index >= MAX_BUCKETS) {
        // Twice as long stretches, half as many.
        std::vector<Bucket> halved(buckets.size() / 2);
        for (std::size_t i = 0; i < halved.size(); ++i) {
            halved[i] = buckets[2 * i];
            halved[i].merge(buckets[2 * i + 1]);
        }
        buckets = std::move(halved);
        bucketSize *= 2;
        index = static_cast<std::size_t>(samples / bucketSize);
    }
    if (index >= buckets.size())
        buckets.resize(index + 1);
    Bucket& bucket = buckets[index];
    if (isFiller(s)) {
        ++bucket.fillers;
        ++fillers;
    } else {
        Bucket one;
        one.samples = 1;
        for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
            one.min[c] = one.max[c] = s.microvolts[c];
            const int value = std::clamp(s.microvolts[c], 0, HISTOGRAM_SIZE - 1);
            ++histogram[c][value];
        }
        bucket.merge(one);
    }
    if (const int channel = offsetChangeChannel(s))
        bucket.offsetChanges |= 1u << (channel - 1);
    ++samples;
}

int PlotWriter::State::percentile(int channel, double fraction) const
{
    const long long real = samples - fillers;
    if (real <= 0)
        return 0;
    const long long wanted = std::min(real - 1, static_cast<long long>(std::floor(fraction * real)));
    long long seen = 0;
    for (int value = 0; value < HISTOGRAM_SIZE; ++value) {
        seen += histogram[channel][value];
        if (seen > wanted)
            return value;
    }
    return HISTOGRAM_SIZE - 1;
}

QImage PlotWriter::State::render() const
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(std::max(10, height / 60));
    QFont bold = font;
    bold.setBold(true);
    QFont title = bold;
    title.setPixelSize(std::max(12, height / 42));
    const QFontMetrics metrics(font);

    const int left = std::max(120, width / 11);
    const int right = 24;
    const int top = title.pixelSize() * 3;
    const int bottom = font.pixelSize() * 4;
    const QRect plot(left, top, width - left - right, height - top - bottom);
    const double seconds = static_cast<double>(samples) / OndiraData::SAMPLE_RATE_HZ;
    const double span = std::max(seconds, 1.0 / OndiraData::SAMPLE_RATE_HZ);
    const auto xOf = [&](double sampleIndex) {
        return plot.left() + sampleIndex / (span * OndiraData::SAMPLE_RATE_HZ) * plot.width();
    };

    // Title.
    const QString start = samples > 0
        ? QDateTime::fromMSecsSinceEpoch(firstTimestamp).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
        : QStringLiteral("-");
    const double lostPercent = samples > 0 ? 100.0 * static_cast<double>(fillers) / static_cast<double>(samples) : 0.0;
    painter.setPen(Qt::black);
    painter.setFont(title);
    painter.drawText(QRect(left, 0, plot.width(), top * 2 / 3), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Ondira recording  %1   %2 s   %3 samples   %4 lost (%5 %)")
                         .arg(start, formatNumber(seconds, 1), QString::number(samples), QString::number(fillers),
                              formatNumber(lostPercent, 2)));
    painter.setFont(font);
    if (haveInfo || haveClock) {
        QString line = haveInfo ? QString::fromStdString(info.device.equipment()) : QString();
        if (haveClock && clock.settled)
            line += QStringLiteral("%1%2 samples/s, %3%4 ppm")
                        .arg(line.isEmpty() ? QString() : QStringLiteral("   "))
                        .arg(clock.samplesPerSecond, 0, 'f', 3)
                        .arg(clock.driftPpm >= 0 ? QStringLiteral("+") : QString())
                        .arg(clock.driftPpm, 0, 'f', 0);
        painter.setPen(QColor(90, 90, 90));
        painter.drawText(QRect(left, top * 2 / 3 - font.pixelSize() / 2, plot.width(), top / 3),
            Qt::AlignLeft | Qt::AlignVCenter, line);
    }

    // Time axis: about ten ticks at 1, 2 or 5 times a power of ten seconds.
    const double step = niceCeil(span / 10.0);
    painter.setFont(font);
    for (double t = 0; t <= span + 1e-9; t += step) {
        const double x = xOf(t * OndiraData::SAMPLE_RATE_HZ);
        painter.setPen(QPen(QColor(225, 225, 225), 1));
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        painter.setPen(Qt::black);
        painter.drawLine(QPointF(x, plot.bottom()), QPointF(x, plot.bottom() + 5));
        const int decimals = step < 1 ? (step < 0.1 ? 2 : 1) : 0;
        const QString label = formatNumber(t, decimals);
        painter.drawText(QRectF(x - 40, plot.bottom() + 6, 80, font.pixelSize() * 1.5), Qt::AlignCenter, label);
    }
    painter.drawText(QRect(plot.left(), plot.bottom() + font.pixelSize() * 2, plot.width(), font.pixelSize() * 2),
                     Qt::AlignCenter, QStringLiteral("time (s)"));

    // Stretches of fillers, across every channel.
    const QColor lostColour(255, 190, 190);
    for (std::size_t i = 0; i < buckets.size(); ++i) {
        if (buckets[i].fillers == 0)
            continue;
        const double x0 = xOf(static_cast<double>(i) * bucketSize);
        const double x1 = xOf(static_cast<double>(i + 1) * bucketSize);
        painter.fillRect(QRectF(x0, plot.top(), std::max(1.0, x1 - x0), plot.height()), lostColour);
    }

    const int laneHeight = plot.height() / OndiraData::CHANNEL_COUNT;
    const QColor traceColour(20, 60, 150);
    const QColor offsetColour(230, 120, 0);
    for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        const QRect lane(plot.left(), plot.top() + c * laneHeight, plot.width(), laneHeight);
        const int median = percentile(c, 0.5);
        const double spread = std::max({median - percentile(c, 0.005), percentile(c, 0.995) - median, 5});
        const double half = niceCeil(spread * 1.1);
        const auto yOf = [&](double microvolts) {
            return lane.center().y() - (microvolts - median) / half * (lane.height() * 0.45);
        };

        // Frame, median and scale.
        painter.setPen(QPen(QColor(150, 150, 150), 1));
        painter.drawRect(lane);
        painter.setPen(QPen(QColor(200, 200, 200), 1, Qt::DashLine));
        painter.drawLine(QPointF(lane.left(), yOf(median)), QPointF(lane.right(), yOf(median)));
        painter.setPen(Qt::black);
        painter.setFont(bold);
        painter.drawText(QRect(4, lane.top() + 4, left - 12, font.pixelSize() * 2), Qt::AlignLeft | Qt::AlignTop,
                         QString::fromStdString(info.labels[c]));
        painter.setFont(font);
        painter.drawText(QRect(4, lane.top() + 4 + font.pixelSize() * 2, left - 12, font.pixelSize() * 2),
                         Qt::AlignLeft | Qt::AlignTop, QStringLiteral("median %1 µV").arg(median));
        for (double offset : {half, -half}) {
            const double y = yOf(median + offset);
            painter.drawLine(QPointF(lane.left() - 5, y), QPointF(lane.left(), y));
            painter.drawText(QRectF(0, y - font.pixelSize(), left - 8, font.pixelSize() * 2),
                             Qt::AlignRight | Qt::AlignVCenter,
                             QStringLiteral("%1%2 µV").arg(offset > 0 ? QStringLiteral("+") : QStringLiteral("−"))
                                 .arg(formatNumber(std::abs(offset), half < 1 ? 1 : 0)));
        }

        // Offset changes.
        painter.setPen(QPen(offsetColour, 2));
        for (std::size_t i = 0; i < buckets.size(); ++i) {
            if (buckets[i].offsetChanges & (1u << c)) {
                const double x = xOf((static_cast<double>(i) + 0.5) * bucketSize);
                painter.drawLine(QPointF(x, lane.top() + 1), QPointF(x, lane.bottom() - 1));
            }
        }

        // The trace: the range of each stretch, joined through their middles.
        painter.save();
        painter.setClipRect(lane.adjusted(1, 1, -1, -1));
        painter.setPen(QPen(traceColour, 1));
        QPainterPath path;
        bool drawing = false;
        for (std::size_t i = 0; i < buckets.size(); ++i) {
            const Bucket& b = buckets[i];
            if (b.samples == 0) {
                drawing = false;
                continue;
            }
            const double x = xOf((static_cast<double>(i) + 0.5) * bucketSize);
            const double yMin = yOf(b.min[c]);
            const double yMax = yOf(b.max[c]);
            const QPointF middle(x, (yMin + yMax) / 2);
            if (drawing)
                path.lineTo(middle);
            else
                path.moveTo(middle);
            drawing = true;
            if (b.max[c] != b.min[c]) {
                path.moveTo(x, yMin);
                path.lineTo(x, yMax);
                path.moveTo(middle);
            }
        }
        painter.drawPath(path);
        painter.restore();
    }

    // Markers: a line across every lane with the text at its top, as many as
    // have room side by side (the events file lists them all).
    const QColor markerColour(0, 130, 60);
    double lastLabelEnd = -1e9;
    for (const Marker& marker : markers) {
        if (marker.onsetSeconds < 0 || marker.onsetSeconds > span)
            continue;
        const double x = xOf(marker.onsetSeconds * OndiraData::SAMPLE_RATE_HZ);
        painter.setPen(QPen(markerColour, 1));
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        const QString text = metrics.elidedText(QString::fromStdString(marker.text), Qt::ElideRight, 160);
        if (x > lastLabelEnd) {
            painter.drawText(QPointF(x + 3, plot.top() + font.pixelSize()), text);
            lastLabelEnd = x + 3 + metrics.horizontalAdvance(text) + 6;
        }
    }

    // Legend, bottom right.
    const int legendY = plot.bottom() + font.pixelSize() * 3;
    const int legendWidth = metrics.horizontalAdvance(QStringLiteral("lost samples")) + 30;
    const int offsetWidth = metrics.horizontalAdvance(QStringLiteral("offset change")) + 30;
    const int markerWidth = metrics.horizontalAdvance(QStringLiteral("marker")) + 30;
    int x = plot.right() - legendWidth - offsetWidth - markerWidth;
    painter.fillRect(QRect(x, legendY - font.pixelSize() / 2, 14, font.pixelSize()), lostColour);
    painter.setPen(Qt::black);
    painter.drawText(QRect(x + 20, legendY - font.pixelSize(), legendWidth, font.pixelSize() * 2),
                     Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("lost samples"));
    x += legendWidth;
    painter.setPen(QPen(offsetColour, 2));
    painter.drawLine(QPoint(x + 7, legendY - font.pixelSize() / 2), QPoint(x + 7, legendY + font.pixelSize() / 2));
    painter.setPen(Qt::black);
    painter.drawText(QRect(x + 20, legendY - font.pixelSize(), offsetWidth, font.pixelSize() * 2),
                     Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("offset change"));
    x += offsetWidth;
    painter.setPen(QPen(markerColour, 1));
    painter.drawLine(QPoint(x + 7, legendY - font.pixelSize() / 2), QPoint(x + 7, legendY + font.pixelSize() / 2));
    painter.setPen(Qt::black);
    painter.drawText(QRect(x + 20, legendY - font.pixelSize(), markerWidth, font.pixelSize() * 2),
                     Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("marker"));
    if (samples == 0) {
        painter.setFont(title);
        painter.drawText(plot, Qt::AlignCenter, QStringLiteral("no samples"));
    }
    painter.end();
    return image;
}

PlotWriter::PlotWriter(std::string path, int width, int height)
    : Writer(std::move(path))
    , d(new State(this->path(), width, height))
{
}

PlotWriter::~PlotWriter() = default;

bool PlotWriter::open()
{
    // Created now, so that an unwritable output shows before the recording.
    if (!d->file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return fail("cannot create " + path() + ": " + d->file.errorString().toStdString());
    return true;
}

void PlotWriter::describe(const RecordingInfo& info)
{
    d->info = info;
    d->haveInfo = true;
}

bool PlotWriter::writeSamples(const Sample* samples, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        d->add(samples[i]);
    return true;
}

bool PlotWriter::writeClock(const ClockSummary& clock)
{
    d->clock = clock;
    d->haveClock = true;
    return true;
}

void PlotWriter::startsAt(long long wallNs)
{
    d->firstTimestamp = wallNs / 1000000;
    d->startKnown = true;
}

bool PlotWriter::writeMarker(const Marker& marker)
{
    // Bounded however many come: beyond this the picture could not show them apart.
    constexpr std::size_t MAX_MARKERS = 10000;
    if (d->markers.size() < MAX_MARKERS)
        d->markers.push_back(marker);
    return true;
}

bool PlotWriter::close()
{
    if (!d->file.isOpen())
        return error().empty();
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        d->file.close();
        return fail("cannot draw " + path() + ": no QGuiApplication (use QT_QPA_PLATFORM=offscreen)");
    }
    // Encoded in memory first: the file gets whole bytes, and a failing disk
    // an error of ours rather than the PNG library's.
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        if (!d->render().save(&buffer, "PNG")) {
            d->file.remove();
            return fail("cannot encode " + path() + " as PNG");
        }
    }
    errno = 0;
    const qint64 written = d->file.write(png);
    const int reason = errno;
    const bool flushed = d->file.flush();
    const QString qtReason = d->file.errorString();
    d->file.close();
    if (written != png.size() || !flushed || d->file.error() != QFileDevice::NoError) {
        d->file.remove(); // a partial picture is no picture
        return fail("cannot write " + path() + ": " + (reason != 0 ? std::strerror(reason) : qtReason.toStdString()));
    }
    return true;
}

void PlotWriter::discard()
{
    d->file.close();
    d->file.remove();
}

} // namespace formats
} // namespace ondira

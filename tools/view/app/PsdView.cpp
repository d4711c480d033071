#include "PsdView.h"

#include "TraceView.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace ondira {
namespace view {

namespace {

const QColor AXIS_TEXT(70, 70, 70);
const QColor GRID(225, 225, 225);
const QColor BAND_SHADES[BAND_COUNT] = {QColor(240, 240, 250), QColor(235, 245, 235), QColor(255, 245, 225),
                                        QColor(245, 235, 245)};
const QString BAND_SYMBOLS[BAND_COUNT] = {QStringLiteral("δ"), QStringLiteral("θ"), QStringLiteral("α"),
                                          QStringLiteral("β")};

/// 1, 2 or 5 times a power of ten, at least `value`.
double niceCeiling(double value)
{
    if (!(value > 0))
        return 1.0;
    const double decade = std::pow(10.0, std::floor(std::log10(value)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * decade >= value * (1 - 1e-9))
            return m * decade;
    }
    return 10.0 * decade;
}

QString powerText(double value)
{
    return QString::number(value, 'f', value >= 10 || value == 0 ? 0 : value >= 1 ? 1 : 2);
}

} // namespace

PsdView::PsdView(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PsdView::setSpectra(const std::array<Psd, OndiraData::CHANNEL_COUNT>& spectra, double windowSeconds)
{
    psd = spectra;
    seconds = windowSeconds;
    for (std::size_t c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
        powers[c] = bandPowers(psd[c]);
    update();
}

void PsdView::clear()
{
    psd = {};
    powers = {};
    seconds = 0.0;
    update();
}

void PsdView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    const int split = width() * 3 / 5;
    drawDensity(painter, QRect(0, 0, split, height()));
    drawBands(painter, QRect(split, 0, width() - split, height()));
}

void PsdView::drawDensity(QPainter& painter, const QRect& area)
{
    const QFontMetrics metrics(painter.font());
    const int line = metrics.height();
    const QRect plot = area.adjusted(44, line + 6, -8, -line - 8);
    painter.setPen(QPen(AXIS_TEXT, 0));
    painter.drawText(area.adjusted(6, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop,
                     seconds > 0 ? QStringLiteral("PSD of the last %1 s, µV²/Hz").arg(seconds, 0, 'f', 1)
                                 : QStringLiteral("PSD, µV²/Hz"));

    auto xOf = [&](double hz) { return plot.left() + hz / MAX_HZ * plot.width(); };
    for (std::size_t b = 0; b < BAND_COUNT; ++b) {
        const QRectF band(QPointF(xOf(EEG_BANDS[b].lowHz), plot.top()), QPointF(xOf(EEG_BANDS[b].highHz), plot.bottom()));
        painter.fillRect(band, BAND_SHADES[b]);
        if (band.width() >= metrics.horizontalAdvance(BAND_SYMBOLS[b]) + 2)
            painter.drawText(band.adjusted(0, 2, 0, 0), Qt::AlignHCenter | Qt::AlignTop, BAND_SYMBOLS[b]);
    }

    // Decades that hold every density between 1 Hz and MAX_HZ.
    double lowest = 0.0;
    double highest = 0.0;
    bool any = false;
    for (const Psd& p : psd) {
        for (std::size_t k = 0; k < p.density.size(); ++k) {
            const double f = static_cast<double>(k) * p.binHz;
            if (f < 1.0 || f > MAX_HZ || !(p.density[k] > 0))
                continue;
            lowest = any ? std::min(lowest, p.density[k]) : p.density[k];
            highest = any ? std::max(highest, p.density[k]) : p.density[k];
            any = true;
        }
    }
    int top = 3;
    int bottom = -1;
    if (any) {
        top = static_cast<int>(std::ceil(std::log10(highest)));
        bottom = std::min(top - 2, static_cast<int>(std::floor(std::log10(lowest))));
    }
    auto yOf = [&](double density) {
        const double l = std::log10(std::max(density, 1e-30));
        return plot.bottom() - (l - bottom) / (top - bottom) * plot.height();
    };
    for (int e = bottom; e <= top; ++e) {
        const double y = yOf(std::pow(10.0, e));
        painter.setPen(QPen(GRID, 0));
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter.setPen(QPen(AXIS_TEXT, 0));
        painter.drawText(QRectF(area.left(), y - line / 2.0, plot.left() - area.left() - 4, line),
                         Qt::AlignRight | Qt::AlignVCenter, QString::number(std::pow(10.0, e), 'g', 7));
    }
    for (int hz = 0; hz <= MAX_HZ; hz += 10) {
        const double x = xOf(hz);
        painter.setPen(QPen(GRID, 0));
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        painter.setPen(QPen(AXIS_TEXT, 0));
        const QString text = hz + 10 > MAX_HZ ? QStringLiteral("%1 Hz").arg(hz) : QString::number(hz);
        painter.drawText(QRectF(x - 30, plot.bottom() + 2, 60, line), Qt::AlignHCenter | Qt::AlignTop, text);
    }
    painter.setPen(QPen(QColor(170, 170, 170), 0));
    painter.drawRect(plot);

    if (!any) {
        painter.setPen(QPen(AXIS_TEXT, 0));
        painter.drawText(plot, Qt::AlignCenter, QStringLiteral("Needs 1 s of samples"));
        return;
    }
    painter.save();
    painter.setClipRect(plot);
    painter.setRenderHint(QPainter::Antialiasing);
    for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        const Psd& p = psd[static_cast<std::size_t>(c)];
        QPainterPath path;
        for (std::size_t k = 1; k < p.density.size(); ++k) {
            const double f = static_cast<double>(k) * p.binHz;
            if (f > MAX_HZ + p.binHz)
                break;
            const QPointF point(xOf(f), yOf(p.density[k]));
            if (path.elementCount() == 0)
                path.moveTo(point);
            else
                path.lineTo(point);
        }
        painter.setPen(QPen(TraceView::channelColor(c), 1.4));
        painter.drawPath(path);
    }
    painter.restore();
}

void PsdView::drawBands(QPainter& painter, const QRect& area)
{
    const QFontMetrics metrics(painter.font());
    const int line = metrics.height();
    const QRect plot = area.adjusted(44, line + 6, -6, -line - 8);
    painter.setPen(QPen(AXIS_TEXT, 0));
    painter.drawText(area.adjusted(6, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop, QStringLiteral("Band power, µV²"));

    double largest = 0.0;
    for (const auto& channel : powers) {
        for (double p : channel)
            largest = std::max(largest, p);
    }
    const double ceiling = niceCeiling(largest);
    for (int k = 0; k <= 4; ++k) {
        const double y = plot.bottom() - plot.height() * k / 4.0;
        painter.setPen(QPen(GRID, 0));
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter.setPen(QPen(AXIS_TEXT, 0));
        painter.drawText(QRectF(area.left(), y - line / 2.0, plot.left() - area.left() - 4, line),
                         Qt::AlignRight | Qt::AlignVCenter, powerText(ceiling * k / 4.0));
    }
    const double groupWidth = plot.width() / static_cast<double>(BAND_COUNT);
    const double barWidth = groupWidth * 0.8 / OndiraData::CHANNEL_COUNT;
    bool namesFit = true;
    for (std::size_t b = 0; b < BAND_COUNT; ++b)
        namesFit = namesFit && metrics.horizontalAdvance(QString::fromLatin1(EEG_BANDS[b].name)) <= groupWidth;
    for (std::size_t b = 0; b < BAND_COUNT; ++b) {
        const double left = plot.left() + groupWidth * static_cast<double>(b) + groupWidth * 0.1;
        for (std::size_t c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
            const double h = largest > 0 ? powers[c][b] / ceiling * plot.height() : 0.0;
            painter.fillRect(QRectF(left + barWidth * static_cast<double>(c), plot.bottom() - h, barWidth - 1, h),
                             TraceView::channelColor(static_cast<int>(c)));
        }
        painter.setPen(QPen(AXIS_TEXT, 0));
        painter.drawText(QRectF(left - groupWidth * 0.1, plot.bottom() + 2, groupWidth, line),
                         Qt::AlignHCenter | Qt::AlignTop,
                         namesFit ? QString::fromLatin1(EEG_BANDS[b].name) : BAND_SYMBOLS[b]);
    }
    painter.setPen(QPen(QColor(170, 170, 170), 0));
    painter.drawRect(plot);
}

} // namespace view
} // namespace ondira

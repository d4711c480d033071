#ifndef ONDIRA_VIEW_PSDVIEW_H
#define ONDIRA_VIEW_PSDVIEW_H

#include "DisplaySample.h"
#include "Psd.h"

#include <QWidget>

#include <array>

namespace ondira {
namespace view {

/// The power spectral density of each channel on a logarithmic scale, with
/// the EEG bands shaded behind it, and the four band powers per channel as
/// bars.
class PsdView : public QWidget
{
    Q_OBJECT
public:
    static constexpr double MAX_HZ = 65.0;   ///< 50 and 60 Hz mains stay in sight

    explicit PsdView(QWidget* parent = nullptr);

    void setSpectra(const std::array<Psd, OndiraData::CHANNEL_COUNT>& spectra, double seconds);
    void clear();
    const std::array<Psd, OndiraData::CHANNEL_COUNT>& spectra() const { return psd; }

    QSize sizeHint() const override { return QSize(440, 260); }
    QSize minimumSizeHint() const override { return QSize(300, 180); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void drawDensity(class QPainter& painter, const QRect& area);
    void drawBands(QPainter& painter, const QRect& area);

    std::array<Psd, OndiraData::CHANNEL_COUNT> psd;
    std::array<std::array<double, BAND_COUNT>, OndiraData::CHANNEL_COUNT> powers{};
    double seconds = 0.0;
};

} // namespace view
} // namespace ondira

#endif

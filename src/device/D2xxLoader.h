#ifndef ONDIRA_DEVICE_D2XXLOADER_H
#define ONDIRA_DEVICE_D2XXLOADER_H

#include "device/D2xx.h"
#include "device/HWDevice.h"

#include <QString>

namespace ondira {

/// A table of D2XX entry points and how filling it went: HW_OK when every
/// entry point resolved, HW_LIBRARY_NOT_LOADED when the library did not load
/// (no entry point is set), HW_LIBRARY_SYMBOL_MISSING when one did not resolve
/// (it and the ones after it stay null).
struct D2xxBinding {
    HWDevice::errorCode state = HWDevice::HW_LIBRARY_NOT_LOADED;
    d2xx::EntryPoints entryPoints;
};

/// Loads the D2XX library from `path`, or, when `path` is empty, the file
/// named by the environment variable ONDIRA_FTD2XX_LIBRARY, or else the
/// library "Ftd2xx" wherever the platform loader finds it; then resolves the
/// thirteen entry points in their fixed order, stopping at the first missing
/// one. The library stays loaded for the life of the process.
D2xxBinding loadD2xx(const QString& path = QString());

} // namespace ondira

#endif

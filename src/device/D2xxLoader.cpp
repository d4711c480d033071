#include "device/D2xxLoader.h"

#include <QLibrary>
#include <QtGlobal>

namespace ondira {

namespace {

/// Environment variable naming the D2XX library file to load instead of the
/// platform loader's search for "Ftd2xx" (the vendor's libftd2xx.so, or the
/// virtual headset).
constexpr const char* LIBRARY_PATH_VARIABLE = "ONDIRA_FTD2XX_LIBRARY";

/// Resolves `name` into `target`; false when the library lacks the symbol.
template <typename Fn>
bool resolve(QLibrary& library, const char* name, Fn& target)
{
    target = reinterpret_cast<Fn>(library.resolve(name));
    return target != nullptr;
}

} // namespace

D2xxBinding loadD2xx(const QString& path)
{
    QString file = path;
    if (file.isEmpty())
        file = qEnvironmentVariable(LIBRARY_PATH_VARIABLE);
    if (file.isEmpty())
        file = QStringLiteral("Ftd2xx");

    // The loader object goes, the library stays: QLibrary's destructor never
    // unloads, and other devices of the process may be using the library.
    QLibrary library(file);
    D2xxBinding binding;
    if (!library.isLoaded() && !library.load())
        return binding;

    // Resolved in this fixed order; the first missing name stops the binding.
    // FT_GetQueueStatus is never called, but a library without it is not the
    // one this code was written for.
    d2xx::EntryPoints& ep = binding.entryPoints;
    const bool bound = resolve(library, "FT_Open", ep.open)
        && resolve(library, "FT_ListDevices", ep.listDevices)
        && resolve(library, "FT_Close", ep.close)
        && resolve(library, "FT_Read", ep.read)
        && resolve(library, "FT_Write", ep.write)
        && resolve(library, "FT_ResetDevice", ep.resetDevice)
        && resolve(library, "FT_GetStatus", ep.getStatus)
        && resolve(library, "FT_Purge", ep.purge)
        && resolve(library, "FT_SetTimeouts", ep.setTimeouts)
        && resolve(library, "FT_GetQueueStatus", ep.getQueueStatus)
        && resolve(library, "FT_SetBaudRate", ep.setBaudRate)
        && resolve(library, "FT_SetDataCharacteristics", ep.setDataCharacteristics)
        && resolve(library, "FT_SetLatencyTimer", ep.setLatencyTimer);
    binding.state = bound ? HWDevice::HW_OK : HWDevice::HW_LIBRARY_SYMBOL_MISSING;
    return binding;
}

} // namespace ondira

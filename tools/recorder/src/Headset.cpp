#include <ondira/recorder/Headset.h>

#include <ondira/Ondira.h>

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QString>

#include <cstdio>
#include <unistd.h>

namespace ondira {
namespace recorder {

DeviceInfo readDeviceInfo(Ondira& facade)
{
    DeviceInfo info;
    if (Property* p = facade.getProperty(Ondira::STR_PROPERTY_USB_FIRMWARE_VERSION))
        info.dongleFirmware = p->getValueAsString();
    if (Property* p = facade.getProperty(Ondira::STR_PROPERTY_ONDIRA_FIRMWARE_VERSION))
        info.headsetFirmware = p->getValueAsString();
    if (Property* p = facade.getProperty(Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL))
        info.dongleChannel = p->getValueAsInteger();
    if (Property* p = facade.getProperty(Ondira::STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL))
        info.headsetChannel = p->getValueAsInteger();
    return info;
}

std::string findVirtualHeadset(const std::string& programDir)
{
    // Relative to the program: in the build tree, and once installed.
    const QDir dir(QString::fromStdString(programDir));
    for (const char* relative : {ONDIRA_SIM_FROM_BUILD_TOOL, ONDIRA_SIM_FROM_INSTALLED_TOOL}) {
        const QFileInfo candidate(dir.filePath(QString::fromUtf8(relative)));
        if (candidate.isFile())
            return QDir::cleanPath(candidate.absoluteFilePath()).toStdString();
    }
    return std::string();
}

void useDriverLibrary(const std::string& path)
{
    qputenv("ONDIRA_FTD2XX_LIBRARY", QByteArray::fromStdString(path));
}

bool configureVirtualHeadset(const std::string& path, const std::string& config, std::string& error)
{
    qputenv("ONDIRA_SIM", QByteArray::fromStdString(config));
    // The library later loads the same file, and so finds this very instance,
    // configured. The instance stays loaded for the life of the process.
    QLibrary library(QString::fromStdString(path));
    using Configure = int (*)(const char*);
    using LastError = const char* (*)();
    const auto configure = reinterpret_cast<Configure>(library.resolve("ondira_sim_configure"));
    const auto lastError = reinterpret_cast<LastError>(library.resolve("ondira_sim_last_error"));
    if (!configure || !lastError) {
        error = path + " is not the virtual headset: " + library.errorString().toStdString();
        return false;
    }
    // The virtual headset prints a refused configuration itself; the caller
    // reports it in its own words instead.
    std::fflush(stderr);
    const int saved = dup(2);
    std::FILE* null = std::fopen("/dev/null", "w");
    if (saved >= 0 && null)
        dup2(fileno(null), 2);
    const int result = configure(config.c_str());
    std::fflush(stderr);
    if (saved >= 0 && null) {
        dup2(saved, 2);
        close(saved);
    }
    if (null)
        std::fclose(null);
    if (result != 0) {
        error = lastError();
        return false;
    }
    return true;
}

} // namespace recorder
} // namespace ondira

#include "device/FTDIDevice.h"

#include <QByteArray>
#include <QtGlobal>

#include <gtest/gtest.h>

using ondira::FTDIDevice;

// The test's environment puts the virtual headset's folder on LD_LIBRARY_PATH.
// An empty ONDIRA_FTD2XX_LIBRARY counts as unset: the library is then looked
// up by its name.
TEST(FTDIDeviceDefaultName, Load_ByNameOnLoaderPath_BindsTheLibraryFound)
{
    qputenv("ONDIRA_FTD2XX_LIBRARY", QByteArray());
    qputenv("ONDIRA_SIM", "devices=3");

    FTDIDevice device;
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_OK);
    EXPECT_EQ(device.getNumberOfDevices(), 3u);
    EXPECT_EQ(device.open(), FTDIDevice::HW_OK);
    EXPECT_EQ(device.close(), FTDIDevice::HW_OK);
}

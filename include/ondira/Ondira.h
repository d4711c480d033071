#ifndef ONDIRA_ONDIRA_H
#define ONDIRA_ONDIRA_H

// Umbrella header of the Ondira acquisition library.

#include <ondira/OndiraExport.h>
#include <ondira/IDataConsumer.h>
#include <ondira/IDataProcessor.h>
#include <ondira/IDataProducer.h>
#include <ondira/OndiraData.h>
#include <ondira/PData.h>
#include <ondira/Property.h>
#include <ondira/StatusData.h>

class DeviceContext;

/// The facade through which an application drives one dongle-and-headset pair.
///
/// Every operation runs synchronously on the calling thread and never throws.
/// Failures are returned as false or null and reported as `StatusData` events
/// to the registered status consumers (data type 2); events caused by a call
/// are delivered on the calling thread before the call returns. From
/// openDevice until closeDevice a worker thread of the library reads the
/// device and delivers samples (data type 1) and acquisition events on that
/// worker thread.
///
/// Typical order: register a status and a sample consumer; openDevice;
/// startStreaming; ... stopStreaming; closeDevice; deregister; destroy.
/// Register and deregister consumers only while the device is closed.
/// Calls from several application threads into one facade are not serialised.
class ONDIRA_EXPORT Ondira : public IDataProcessor
{
public:
    static const char* const STR_PROPERTY_USB_FIRMWARE_VERSION;       ///< "USB FW version"
    static const char* const STR_PROPERTY_ONDIRA_FIRMWARE_VERSION;    ///< "Ondira FW version"
    static const char* const STR_PROPERTY_USB_TRANSMISSION_CHANNEL;   ///< "USB transmission channel"
    static const char* const STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL;///< "Ondira transmission channel"
    static const char* const STR_PROPERTY_ENABLE_CHANNEL_1;           ///< "Channel 1 Enabled"
    static const char* const STR_PROPERTY_ENABLE_CHANNEL_2;           ///< "Channel 2 Enabled"
    static const char* const STR_PROPERTY_ENABLE_CHANNEL_3;           ///< "Channel 3 Enabled"
    static const char* const STR_PROPERTY_ENABLE_CHANNEL_4;           ///< "Channel 4 Enabled"

    /// Loads the D2XX driver library: the file that the environment variable
    /// ONDIRA_FTD2XX_LIBRARY names, or else "Ftd2xx" wherever the platform's
    /// loader finds it. A library that cannot be loaded does not make
    /// construction fail: openDevice reports it.
    Ondira();
    /// Loads the D2XX driver library from the file `driverLibrary` (a path,
    /// or a name the platform's loader searches for) for this facade alone;
    /// null or "" loads it as Ondira() does. The process environment is
    /// neither read for the choice nor changed, so facades of one process may
    /// use different drivers (the virtual headset beside the real one).
    explicit Ondira(const char* driverLibrary);
    /// Stops streaming, joins the worker and closes the device.
    virtual ~Ondira();

    Ondira(const Ondira&) = delete;
    Ondira& operator=(const Ondira&) = delete;

    IDataConsumer* getDataConsumer(int type) override;
    IDataProducer* getDataProducer(int type) override;
    bool registerConsumer(int type, IDataConsumer& consumer) override;
    bool deregisterConsumer(int type, const IDataConsumer& consumer) override;

    /// Opens the dongle, starts the worker and identifies the headset; true
    /// when a headset answered and the device was configured.
    bool openDevice();
    /// Stops streaming if it runs, stops the worker and closes the device.
    void closeDevice();
    bool startStreaming();
    /// Tells the headset to stop. Once it returns no sample follows, but for
    /// one whose delivery was already under way on the worker thread; the
    /// samples still on their way from the headset are dropped.
    bool stopStreaming();
    /// True at once while streaming; otherwise whether the headset reports its
    /// firmware version (up to about 1.2 s).
    bool ping();

    /// Routes the value to the setting of that name; true for names not in
    /// the property table.
    bool setProperty(const Property& property);
    /// The current value of a setting, refreshed from the device; null for an
    /// unknown name or an unavailable value. The pointer stays valid until the
    /// facade is destroyed and is refreshed by each later call with that name.
    Property* getProperty(const char* name);

private:
    DeviceContext* context;
};

#endif

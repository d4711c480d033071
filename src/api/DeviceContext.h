#ifndef ONDIRA_API_DEVICECONTEXT_H
#define ONDIRA_API_DEVICECONTEXT_H

#include "device/FTDIDevice.h"
#include "engine/ReaderEngine.h"
#include "protocol/ZAREProtocol.h"

#include <ondira/Property.h>

/// The facade's private object: device, protocol, engine and property table,
/// constructed in this order and destroyed in reverse, so that the engine
/// (which closes the device and joins its worker) goes first.
class DeviceContext
{
public:
    static const int PROPERTY_COUNT = 14;

    /// The device loads the D2XX library from `driverLibrary`; empty: as
    /// loadD2xx finds it.
    explicit DeviceContext(const QString& driverLibrary);

    DeviceContext(const DeviceContext&) = delete;
    DeviceContext& operator=(const DeviceContext&) = delete;

    bool openDevice() { return engine.openDevice(); }
    void closeDevice() { engine.closeDevice(); }
    bool startStreaming() { return engine.startStreaming(); }
    bool stopStreaming() { return engine.stopStreaming(); }
    bool ping() { return engine.ping(); }

    ondira::DefaultDataProducer* getSampleProducer() { return &engine.getSampleProducer(); }
    ondira::DefaultDataProducer* getStatusProducer() { return &engine.getStatusProducer(); }
    void registerSampleConsumer(IDataConsumer& consumer);
    void registerStatusConsumer(IDataConsumer& consumer);
    void deregisterSampleConsumer(const IDataConsumer& consumer);
    void deregisterStatusConsumer(const IDataConsumer& consumer);

    bool setProperty(const Property& property);
    Property* getProperty(const char* name);

private:
    /// Index of the table entry with exactly this name; -1 if none.
    int findProperty(const char* name) const;

    ondira::FTDIDevice device;
    ondira::ZAREProtocol protocol;
    ondira::ReaderEngine engine;
    Property properties[PROPERTY_COUNT];
};

#endif

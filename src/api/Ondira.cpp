#include <ondira/Ondira.h>

#include "api/DeviceContext.h"

#include <new>

const char* const Ondira::STR_PROPERTY_USB_FIRMWARE_VERSION = "USB FW version";
const char* const Ondira::STR_PROPERTY_ONDIRA_FIRMWARE_VERSION = "Ondira FW version";
const char* const Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL = "USB transmission channel";
const char* const Ondira::STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL = "Ondira transmission channel";
const char* const Ondira::STR_PROPERTY_ENABLE_CHANNEL_1 = "Channel 1 Enabled";
const char* const Ondira::STR_PROPERTY_ENABLE_CHANNEL_2 = "Channel 2 Enabled";
const char* const Ondira::STR_PROPERTY_ENABLE_CHANNEL_3 = "Channel 3 Enabled";
const char* const Ondira::STR_PROPERTY_ENABLE_CHANNEL_4 = "Channel 4 Enabled";

Ondira::Ondira()
    : context(new DeviceContext(QString()))
{
}

Ondira::Ondira(const char* driverLibrary)
    : context(new DeviceContext(driverLibrary ? QString::fromUtf8(driverLibrary) : QString()))
{
}

Ondira::~Ondira()
{
    delete context;
}

IDataConsumer* Ondira::getDataConsumer(int)
{
    return nullptr;
}

IDataProducer* Ondira::getDataProducer(int type)
{
    switch (type) {
    case SAMPLE_DATA:
        return context->getSampleProducer();
    case STATUS_DATA:
        return context->getStatusProducer();
    default:
        return nullptr;
    }
}

bool Ondira::registerConsumer(int type, IDataConsumer& consumer)
{
    try {
        switch (type) {
        case SAMPLE_DATA:
            context->registerSampleConsumer(consumer);
            return true;
        case STATUS_DATA:
            context->registerStatusConsumer(consumer);
            return true;
        default:
            return false;
        }
    } catch (const std::bad_alloc&) {
        return false; // the list could not grow: not registered
    }
}

bool Ondira::deregisterConsumer(int type, const IDataConsumer& consumer)
{
    switch (type) {
    case SAMPLE_DATA:
        context->deregisterSampleConsumer(consumer);
        return true;
    case STATUS_DATA:
        context->deregisterStatusConsumer(consumer);
        return true;
    default:
        return false;
    }
}

bool Ondira::openDevice()
{
    return context->openDevice();
}

void Ondira::closeDevice()
{
    context->closeDevice();
}

bool Ondira::startStreaming()
{
    return context->startStreaming();
}

bool Ondira::stopStreaming()
{
    return context->stopStreaming();
}

bool Ondira::ping()
{
    return context->ping();
}

bool Ondira::setProperty(const Property& property)
{
    return context->setProperty(property);
}

Property* Ondira::getProperty(const char* name)
{
    return context->getProperty(name);
}

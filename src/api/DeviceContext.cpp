#include "api/DeviceContext.h"

#include <ondira/Ondira.h>

DeviceContext::DeviceContext()
    : device()
    , protocol()
    , engine(&device, &protocol)
    , properties{
          Property(Ondira::STR_PROPERTY_USB_FIRMWARE_VERSION, "0"),
          Property(Ondira::STR_PROPERTY_ONDIRA_FIRMWARE_VERSION, "0"),
          Property(Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL, 0),
          Property(Ondira::STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL, 0),
          Property(Ondira::STR_PROPERTY_ENABLE_CHANNEL_1, 0),
          Property(Ondira::STR_PROPERTY_ENABLE_CHANNEL_2, 0),
          Property(Ondira::STR_PROPERTY_ENABLE_CHANNEL_3, 0),
          Property(Ondira::STR_PROPERTY_ENABLE_CHANNEL_4, 0),
          Property("BaudRate", 128000),
          Property("WordLength", 8),
          Property("StopBits", 0),
          Property("Parity", 0),
          Property("Read Timeout", 10),
          Property("LatencyTimer", 16),
      }
{
}

void DeviceContext::registerSampleConsumer(IDataConsumer& consumer)
{
    engine.getSampleProducer().registerConsumer(consumer);
}

void DeviceContext::registerStatusConsumer(IDataConsumer& consumer)
{
    engine.getStatusProducer().registerConsumer(consumer);
}

void DeviceContext::deregisterSampleConsumer(const IDataConsumer& consumer)
{
    engine.getSampleProducer().deregisterConsumer(consumer);
}

void DeviceContext::deregisterStatusConsumer(const IDataConsumer& consumer)
{
    engine.getStatusProducer().deregisterConsumer(consumer);
}

bool DeviceContext::setProperty(const Property&)
{
    return false;
}

Property* DeviceContext::getProperty(const char*)
{
    return nullptr;
}

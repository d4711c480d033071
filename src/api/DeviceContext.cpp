#include "api/DeviceContext.h"

#include <ondira/Ondira.h>

#include <cstdint>
#include <cstring>

DeviceContext::DeviceContext(const QString& driverLibrary)
    : device(ondira::loadD2xx(driverLibrary))
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

namespace {

// The table's entries, in table order.
enum PropertyIndex {
    USB_FIRMWARE_VERSION,
    ONDIRA_FIRMWARE_VERSION,
    USB_TRANSMISSION_CHANNEL,
    ONDIRA_TRANSMISSION_CHANNEL,
    ENABLE_CHANNEL_1,
    ENABLE_CHANNEL_2,
    ENABLE_CHANNEL_3,
    ENABLE_CHANNEL_4,
    BAUD_RATE,
    WORD_LENGTH,
    STOP_BITS,
    PARITY,
    READ_TIMEOUT,
    LATENCY_TIMER,
};

// A firmware version arrives as one byte b; the version it stands for is
// b x 0.1 + 1.2.
float firmwareVersionValue(std::uint8_t versionByte)
{
    return static_cast<float>(versionByte * 0.1 + 1.2);
}

} // namespace

int DeviceContext::findProperty(const char* name) const
{
    if (!name)
        return -1;
    for (int i = 0; i < PROPERTY_COUNT; ++i) {
        if (std::strcmp(properties[i].getName(), name) == 0)
            return i;
    }
    return -1;
}

bool DeviceContext::setProperty(const Property& property)
{
    const int value = property.getValueAsInteger();
    // Every setting but the baud rate takes the low 8 bits of the value.
    const auto low = static_cast<std::uint8_t>(value & 0xFF);

    switch (findProperty(property.getName())) {
    case USB_FIRMWARE_VERSION:
    case ONDIRA_FIRMWARE_VERSION:
        return false; // read-only
    case USB_TRANSMISSION_CHANNEL:
        return engine.sendUsbTransmissionChannel(low);
    case ONDIRA_TRANSMISSION_CHANNEL:
        return engine.sendOndiraTransmissionChannel(low);
    case ENABLE_CHANNEL_1:
        return engine.setChannelEnabled(0, value);
    case ENABLE_CHANNEL_2:
        return engine.setChannelEnabled(1, value);
    case ENABLE_CHANNEL_3:
        return engine.setChannelEnabled(2, value);
    case ENABLE_CHANNEL_4:
        return engine.setChannelEnabled(3, value);
    case BAUD_RATE:
        return device.setBaudRate(static_cast<std::uint32_t>(value));
    case WORD_LENGTH:
        return device.setWordLength(low);
    case STOP_BITS:
        return device.setStopBits(low);
    case PARITY:
        return device.setParity(low);
    case READ_TIMEOUT:
        return device.setReadTimeout(low);
    case LATENCY_TIMER:
        return device.setLatencyTimer(low);
    default:
        return true; // not a setting of this device
    }
}

Property* DeviceContext::getProperty(const char* name)
{
    const int index = findProperty(name);
    if (index < 0)
        return nullptr;
    Property& entry = properties[index];

    switch (index) {
    case USB_FIRMWARE_VERSION:
    case ONDIRA_FIRMWARE_VERSION: {
        const std::uint8_t version = index == USB_FIRMWARE_VERSION
            ? engine.askUsbFirmwareVersion()
            : engine.askOndiraFirmwareVersion();
        if (version == ondira::ZAREProtocol::NO_FIRMWARE_VERSION)
            return nullptr;
        entry.setValue(firmwareVersionValue(version));
        return &entry;
    }
    case USB_TRANSMISSION_CHANNEL: {
        const std::uint8_t channel = engine.askUsbTransmissionChannel();
        if (channel == ondira::ZAREProtocol::NO_CHANNEL)
            return nullptr;
        entry.setValue(static_cast<int>(static_cast<std::int8_t>(channel)));
        return &entry;
    }
    case ONDIRA_TRANSMISSION_CHANNEL: {
        const std::uint8_t channel = engine.askOndiraTransmissionChannel();
        if (channel == ondira::ZAREProtocol::NO_CHANNEL)
            return nullptr;
        entry.setValue(static_cast<int>(channel));
        return &entry;
    }
    case ENABLE_CHANNEL_1:
    case ENABLE_CHANNEL_2:
    case ENABLE_CHANNEL_3:
    case ENABLE_CHANNEL_4:
        entry.setValue(static_cast<int>(
            engine.isChannelEnabled(static_cast<std::uint8_t>(index - ENABLE_CHANNEL_1))));
        return &entry;
    case BAUD_RATE:
        entry.setValue(static_cast<int>(device.getBaudRate()));
        return &entry;
    case WORD_LENGTH:
        entry.setValue(static_cast<int>(device.getWordLength()));
        return &entry;
    case STOP_BITS:
        entry.setValue(static_cast<int>(device.getStopBits()));
        return &entry;
    case PARITY:
        entry.setValue(static_cast<int>(device.getParity()));
        return &entry;
    case READ_TIMEOUT:
        entry.setValue(static_cast<int>(device.getReadTimeout()));
        return &entry;
    case LATENCY_TIMER:
        entry.setValue(static_cast<int>(device.getLatencyTimer()));
        return &entry;
    default:
        return nullptr;
    }
}

#include "protocol/ZAREProtocol.h"

#include <gtest/gtest.h>

#include <vector>

using ondira::ZAREProtocol;
using Bytes = std::vector<unsigned char>;

namespace {

// Builds into a buffer two bytes longer than the packet, so that writing past
// the packet is seen, and returns the packet.
template <typename Builder>
Bytes build(int size, Builder builder)
{
    Bytes buffer(std::size_t(size) + 2, 0xEE);
    builder(buffer.data());
    EXPECT_EQ(buffer[size], 0xEE) << "wrote past the packet";
    EXPECT_EQ(buffer[size + 1], 0xEE) << "wrote past the packet";
    buffer.resize(std::size_t(size));
    return buffer;
}

Bytes shortCommand(int dst, int src, int command)
{
    return build(6, [&](unsigned char* b) { ZAREProtocol::buildShortCommand(dst, src, command, b); });
}
Bytes getParameter(int dst, int src, int selector)
{
    return build(7, [&](unsigned char* b) { ZAREProtocol::buildGetParameter(dst, src, selector, b); });
}
Bytes setParameter(int dst, int src, int selector, int value)
{
    return build(8, [&](unsigned char* b) { ZAREProtocol::buildSetParameter(dst, src, selector, value, b); });
}
Bytes registerWrite(int dst, int src, int a3, int a2, int a1, int a0, std::uint16_t value)
{
    return build(19, [&](unsigned char* b) { ZAREProtocol::buildRegisterWrite(dst, src, a3, a2, a1, a0, value, b); });
}

// The commands the engine sends, with dongle 0x1234 and headset 0x1235.
TEST(CommandBuilders, EngineCommands_ByteForByte)
{
    const int dongle = 0x1234, headset = 0x1235;
    EXPECT_EQ(shortCommand(0, 0, ZAREProtocol::CMD_REQUEST_ID), (Bytes{0x05, 0x00, 0x00, 0x00, 0x00, 0xB7}));
    EXPECT_EQ(shortCommand(headset, dongle, ZAREProtocol::CMD_GET_FIRMWARE_VERSION),
              (Bytes{0x05, 0x12, 0x35, 0x12, 0x34, 0xA0}));
    EXPECT_EQ(shortCommand(dongle, dongle, ZAREProtocol::CMD_GET_FIRMWARE_VERSION),
              (Bytes{0x05, 0x12, 0x34, 0x12, 0x34, 0xA0}));
    EXPECT_EQ(getParameter(dongle, dongle, ZAREProtocol::PARAM_TRANSMISSION_CHANNEL),
              (Bytes{0x06, 0x12, 0x34, 0x12, 0x34, 0xA8, 0x02}));
    EXPECT_EQ(setParameter(headset, dongle, ZAREProtocol::PARAM_TRANSMISSION_CHANNEL, 9),
              (Bytes{0x07, 0x12, 0x35, 0x12, 0x34, 0xA9, 0x02, 0x09}));
    EXPECT_EQ(registerWrite(headset, dongle, 0, 0, 2, 0, ZAREProtocol::STREAM_START),
              (Bytes{0x12, 0x12, 0x35, 0x12, 0x34, 0xD0, 0x40, 0x00, 0x00, 0x02, 0x00, 0x0B, 0x00,
                     0xFF, 0x21, 0x0F, 0xFC, 0x00, 0x00}));
    EXPECT_EQ(registerWrite(headset, dongle, 0, 0, 2, 0, ZAREProtocol::STREAM_STOP),
              (Bytes{0x12, 0x12, 0x35, 0x12, 0x34, 0xD0, 0x40, 0x00, 0x00, 0x02, 0x00, 0x0B, 0x00,
                     0xFF, 0x21, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(registerWrite(headset, dongle, 0, 0, 4, 2 * 2, 512),
              (Bytes{0x12, 0x12, 0x35, 0x12, 0x34, 0xD0, 0x40, 0x00, 0x00, 0x04, 0x04, 0x0B, 0x00,
                     0xFF, 0x21, 0x02, 0x00, 0x00, 0x00}));
}

TEST(CommandBuilders, ArgumentsBeyondTheirWidth_AreCutToTheirLowBits)
{
    EXPECT_EQ(shortCommand(0x51234, -1, 0x1B7), (Bytes{0x05, 0x12, 0x34, 0xFF, 0xFF, 0xB7}));
    EXPECT_EQ(setParameter(0x11235, 0x21234, 0x102, 0x309),
              (Bytes{0x07, 0x12, 0x35, 0x12, 0x34, 0xA9, 0x02, 0x09}));
    EXPECT_EQ(registerWrite(0x1ABCD, 0x0102, 0x111, 0x222, 0x333, 0x444, 25),
              (Bytes{0x12, 0xAB, 0xCD, 0x01, 0x02, 0xD0, 0x40, 0x11, 0x22, 0x33, 0x44, 0x0B, 0x00,
                     0xFF, 0x21, 0x00, 0x19, 0x00, 0x00}));
}

} // namespace

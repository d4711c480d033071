#include "protocol/ZAREProtocol.h"

// Command packets (host to device). Multi-byte numbers are big-endian. The
// length byte counts the bytes after it.
//
//   offset  size  field
//   0       1     length: 05, 06, 07 or 12 (= 18)
//   1       2     destination: dongle or headset address; 0 for the identity request
//   3       2     source: always the dongle address; 0 for the identity request
//   5       1     command
//
//   command                    size  body
//   A0 get firmware version    6     none
//   B7 request identity        6     none
//   A8 get parameter           7     6: selector (02 = radio channel)
//   A9 set parameter           8     6: selector; 7: value
//   D0 register write          19    6: 40
//                                    7-10: register address, most significant byte first
//                                    11-14: 0B 00 FF 21
//                                    15-16: value
//                                    17-18: 00 00
//
// Registers: 00 00 02 00 stream control (0F FC starts, 00 00 stops);
// 00 00 04 2i offset of channel index i (25..1000).
//
// The builders check nothing: an address contributes its low 16 bits and
// every other argument its low 8 bits.

namespace ondira {

namespace {

constexpr unsigned char REGISTER_WRITE_PREFIX = 0x40;
constexpr unsigned char REGISTER_WRITE_TRAILER[] = {0x0B, 0x00, 0xFF, 0x21};

unsigned char lowByte(int value)
{
    return static_cast<unsigned char>(value & 0xFF);
}

unsigned char highByte(int value)
{
    return static_cast<unsigned char>((value >> 8) & 0xFF);
}

// Bytes 0..5, common to every command.
void writeHeader(int size, int destination, int source, int command, unsigned char* buffer)
{
    buffer[0] = lowByte(size - 1);
    buffer[1] = highByte(destination);
    buffer[2] = lowByte(destination);
    buffer[3] = highByte(source);
    buffer[4] = lowByte(source);
    buffer[5] = lowByte(command);
}

} // namespace

void ZAREProtocol::buildShortCommand(int destination, int source, int command,
                                     unsigned char* buffer)
{
    writeHeader(SHORT_COMMAND_SIZE, destination, source, command, buffer);
}

void ZAREProtocol::buildGetParameter(int destination, int source, int selector,
                                     unsigned char* buffer)
{
    writeHeader(GET_PARAMETER_SIZE, destination, source, CMD_GET_PARAMETER, buffer);
    buffer[6] = lowByte(selector);
}

void ZAREProtocol::buildSetParameter(int destination, int source, int selector, int value,
                                     unsigned char* buffer)
{
    writeHeader(SET_PARAMETER_SIZE, destination, source, CMD_SET_PARAMETER, buffer);
    buffer[6] = lowByte(selector);
    buffer[7] = lowByte(value);
}

void ZAREProtocol::buildRegisterWrite(int destination, int source, int address3, int address2,
                                      int address1, int address0, std::uint16_t value,
                                      unsigned char* buffer)
{
    writeHeader(REGISTER_WRITE_SIZE, destination, source, CMD_REGISTER_WRITE, buffer);
    buffer[6] = REGISTER_WRITE_PREFIX;
    buffer[7] = lowByte(address3);
    buffer[8] = lowByte(address2);
    buffer[9] = lowByte(address1);
    buffer[10] = lowByte(address0);
    for (int i = 0; i < 4; ++i)
        buffer[11 + i] = REGISTER_WRITE_TRAILER[i];
    buffer[15] = highByte(value);
    buffer[16] = lowByte(value);
    buffer[17] = 0x00;
    buffer[18] = 0x00;
}

void ZAREProtocol::buildRegisterWrite(int destination, int source, std::uint32_t address,
                                      std::uint16_t value, unsigned char* buffer)
{
    buildRegisterWrite(destination, source, static_cast<int>(address >> 24),
                       static_cast<int>(address >> 16), static_cast<int>(address >> 8),
                       static_cast<int>(address), value, buffer);
}

} // namespace ondira

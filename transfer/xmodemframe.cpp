#include "xmodemframe.h"

namespace {

// CRC-16/XMODEM a byte at a time: the bitwise loop was the sender's largest cost per block.
struct XmodemCrcTable
{
    uint16_t entries[256];
    constexpr XmodemCrcTable()
        : entries()
    {
        for (int byte = 0; byte < 256; ++byte) {
            uint16_t crc = uint16_t(byte << 8);
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
            entries[byte] = crc;
        }
    }
};
constexpr XmodemCrcTable xmodemCrcTable;

} // namespace

uint16_t CRC16(const char *data, int length)
{
    uint16_t crc = 0;
    for (int i = 0; i < length; ++i)
        crc = uint16_t((crc << 8) ^ xmodemCrcTable.entries[((crc >> 8) ^ uint8_t(data[i])) & 0xFF]);
    return crc;
}

uint16_t crc16Modbus(const QByteArray &bytes)
{
    uint16_t crc = 0xFFFF;
    for (const char byte : bytes) {
        crc ^= uint8_t(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x0001) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

int nextBlockNumber(int n)
{
    return n >= 255 ? 0 : n + 1;
}

QByteArray buildBlock(int blockNumber, const char *payload)
{
    const uint16_t crc = CRC16(payload, XMODEM_PAYLOAD_SIZE);
    const auto number = uint8_t(blockNumber);
    QByteArray block;
    block.reserve(XMODEM_BLOCK_SIZE);
    block.append(XMODEM_SOH);
    block.append(char(number));
    block.append(char(255 - number));
    block.append(payload, XMODEM_PAYLOAD_SIZE);
    block.append(char(crc >> 8));
    block.append(char(crc & 0xFF));
    return block;
}

QByteArray buildAddressFrame(uint8_t deviceNumber)
{
    QByteArray frame;
    frame.reserve(ADDRESS_FRAME_SIZE);
    frame.append(char(deviceNumber));
    frame.append(char(0x08));
    frame.append(char(0x01));
    frame.append(char(0x00));
    frame.append(char(0x00));
    frame.append(char(0x00));
    const uint16_t crc = crc16Modbus(frame);
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

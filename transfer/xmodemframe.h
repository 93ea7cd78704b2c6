#ifndef XMODEMFRAME_H
#define XMODEMFRAME_H

// Everything the programmer puts on a link, byte for byte: the control bytes, the 133-byte
// XMODEM-CRC block and the 8-byte device-address frame, with their two checksums. Both the
// serial and the Ethernet runs (and the device emulator) build their bytes here.

#include <QByteArray>
#include <cstdint>

constexpr char XMODEM_SOH = 0x01;
constexpr char XMODEM_EOT = 0x04;
constexpr char XMODEM_ACK = 0x06;
constexpr char XMODEM_NAK = 0x15;
constexpr char XMODEM_CAN = 0x18;   // the device may cancel; the programmer treats it as an unknown answer
constexpr char PROBE_BYTE = 0x64;   // 'd': "are you ready?"
constexpr char START_REQUEST = 0x43; // 'C': the receiver asks for CRC blocks

constexpr int XMODEM_PAYLOAD_SIZE = 128;
constexpr int XMODEM_BLOCK_SIZE = XMODEM_PAYLOAD_SIZE + 5;
constexpr char XMODEM_FILL_BYTE = char(0xFF);
constexpr int ADDRESS_FRAME_SIZE = 8;

// CRC-16/XMODEM (poly 0x1021, init 0, no reflection), a byte at a time from a table. length <= 0 gives 0.
uint16_t CRC16(const char *data, int length);

// CRC-16/MODBUS (poly 0xA001 reflected, init 0xFFFF), bit by bit. An empty array gives 0xFFFF.
uint16_t crc16Modbus(const QByteArray &bytes);

// The block number that follows n: 1, 2, ..., 255, 0, 1, ...
int nextBlockNumber(int n);

// SOH, n, 255 - n, the 128 payload bytes, CRC high byte, CRC low byte.
QByteArray buildBlock(int blockNumber, const char *payload);

// Device number, 08 01 00 00 00, then CRC-16/MODBUS of those six bytes, low byte first.
QByteArray buildAddressFrame(uint8_t deviceNumber);

#endif // XMODEMFRAME_H

#pragma once
#include "frame/dev_struct.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

namespace zs::engine {

using DevicePtr = std::shared_ptr<frame::DevStruct>;

using transport::isSyncFamily;

inline constexpr uint8_t kTwoByteLead = 0xA0;
inline constexpr char kTaggedSignature[] = "kX-wave"; // 7 characters on the wire
inline constexpr size_t kTaggedHeaderSize = 10;       // signature, variant, length
inline constexpr size_t kTaggedMaxPayload = 65535;
inline constexpr std::array<uint8_t, 4> kSyncBytes = {0x11, 0x22, 0x33, 0x44};
inline constexpr size_t kSyncMaxWords = 32767; // the length field counts bytes in 16 bits
inline constexpr uint32_t kDatagramHead = 0x7B7A8ACB;
inline constexpr uint32_t kDatagramMark = 0x84857534;
inline constexpr uint32_t kDatagramStream = 8;
inline constexpr uint32_t kDatagramStreamOn = 0x80000000;
inline constexpr uint32_t kDatagramCommand = 11;
inline constexpr size_t kBandPayloadSize = 20;

// Frames. Each returns the bytes that go on the wire.
std::array<uint8_t, 2> twoByteCommand(uint8_t command);
// Empty when the payload does not fit the 16-bit length field.
std::vector<uint8_t> taggedPacket(const uint8_t* payload, size_t length, uint8_t variant = 0);
// Empty when the words do not fit the 16-bit length field.
std::vector<uint8_t> syncPacket(const uint16_t* words, size_t count);
std::vector<uint8_t> datagramCommand(uint32_t command, const uint8_t* payload = nullptr,
                                     size_t length = 0);
// 16-bit words, least significant byte first.
std::vector<uint8_t> wordBytes(std::initializer_list<uint16_t> words);

// Writers over FTDI only, on the record's overlapped block (they wait on its stop event).
// Packets that do not fit their length field are not sent.
void sendTaggedPacket(DevicePtr record, const uint8_t* payload, size_t length, uint8_t variant);
void sendSyncPacket(DevicePtr record, const std::vector<uint16_t>& words);

// Sends a tagged-packet payload on the first link of FTDI, TCP, WinUSB (the payload in one
// command frame); a UDP device gets nothing.
void sendTaggedCommand(DevicePtr record, const uint8_t* payload, size_t length);

// The command encoders. Each picks the frame by instrument family and by the first link the
// record has (FTDI, TCP, WinUSB, UDP), sends at most that, and ignores the send's result.
void sendStreamMode(DevicePtr record, int32_t on);
void sendSignalMode(DevicePtr record, int32_t highSpeed);
void sendReset(DevicePtr record);
void sendStartStop(DevicePtr record);
void sendStart(DevicePtr record);
void sendStop(DevicePtr record);
void sendRange(DevicePtr record, int32_t range);
void sendPolarity(DevicePtr record, int32_t polarity);
void sendIcpMode(DevicePtr record, int32_t mode);
void sendZeroChannelMode(DevicePtr record, int32_t mode);
void sendSigRegMode(DevicePtr record, uint16_t mode, uint16_t gain, uint16_t mask);
void sendRingEntry(DevicePtr record, const frame::RingEntry& entry);
// The caller keeps bandBytes unchanged during the call (it holds the pending band set).
void sendBands(DevicePtr record);
// The same for a band set the caller took out of bandBytes, so that the host may append to
// bandBytes meanwhile.
void sendBands(DevicePtr record, const std::vector<uint16_t>& words);

// Packets of the command engine and the thread start, in the frames above.
// Switch-off (19, 325): the tagged family only, on FTDI, TCP or WinUSB.
void sendSwitchOff(DevicePtr record);
// Date/time (11, value, complement of value): both families, on FTDI, TCP or WinUSB.
void sendDateTime(DevicePtr record, uint32_t value);
// Program switch (14, the name's UTF-16 characters, 0) on FTDI, TCP or WinUSB. The caller
// decides which devices take a program by name.
void sendProgramSwitch(DevicePtr record, std::u16string_view name);
// Generator item (code, value) and rate switch (10, 2, rate with bit 31 set): FTDI only.
void sendGeneratorItem(DevicePtr record, int32_t code, int32_t value);
void sendRateSwitch(DevicePtr record, uint32_t baudRate);

// Range byte of the two-byte command and range word of the WinUSB and UDP commands: older
// programs (number below 28) number the ranges the other way round.
uint8_t rangeCommandByte(int32_t range, uint16_t programNumber);
uint16_t rangeWord(int32_t range, uint16_t programNumber);

} // namespace zs::engine

#include "engine/command_packets.h"

#include "platform/sockets.h"
#include "transport/dispatch.h"
#include "transport/ftdi_transport.h"
#include "transport/socket_transport.h"

#include <optional>

namespace zs::engine {
namespace {

using frame::DevStruct;

void putWord(std::vector<uint8_t>& out, uint16_t w) {
    out.push_back(static_cast<uint8_t>(w));
    out.push_back(static_cast<uint8_t>(w >> 8));
}

void putLong(std::vector<uint8_t>& out, uint32_t v) {
    putWord(out, static_cast<uint16_t>(v));
    putWord(out, static_cast<uint16_t>(v >> 16));
}

uint16_t flag(int32_t v) {
    return v != 0 ? 1 : 0;
}

// The D2XX write call without an overlapped block: the instrument handles are opened for
// plain I/O, so the call completes before it returns.
void ftdiPlainWrite(DevStruct& d, const uint8_t* data, size_t length) {
    uint32_t count = 0;
    transport::d2xx().write(d.ftdiHandle, const_cast<uint8_t*>(data), static_cast<uint32_t>(length),
                            &count, nullptr);
}

// A plain send: the I/O thread may have a receive posted on the record's overlapped block,
// which a command must not disturb. It ends at the record's stop, or gives up on a peer that
// has stopped reading.
void plainSend(const DevStruct& d, platform::SocketHandle socket, const uint8_t* data,
               size_t length) {
    platform::sendAllWithin(socket, data, length, d.stopEvent.get(),
                            transport::kSocketSendTimeoutMs);
}

// What the tagged family sends for one command, by link.
struct Encoding {
    std::optional<uint8_t> twoByte;       // FTDI and TCP; else the tagged packet of `payload`
    std::vector<uint8_t> payload;         // tagged packet and WinUSB payload; empty: none
    std::optional<uint32_t> datagram;     // UDP datagram command; none: UDP gets nothing
    std::vector<uint8_t> datagramPayload; // already padded to whole 32-bit words
};

// The datagram that carries an instrument command: the payload's words padded to 32 bits.
void carryInDatagram(Encoding& e) {
    e.datagram = kDatagramCommand;
    e.datagramPayload = e.payload;
    while (e.datagramPayload.size() % 4 != 0) e.datagramPayload.push_back(0);
}

void sendEncoding(DevStruct& d, const Encoding& e) {
    const auto onByteLink = [&](auto&& send) {
        if (e.twoByte) {
            const auto frame = twoByteCommand(*e.twoByte);
            send(frame.data(), frame.size());
        } else if (!e.payload.empty()) {
            const auto frame = taggedPacket(e.payload.data(), e.payload.size());
            if (!frame.empty()) send(frame.data(), frame.size());
        }
    };
    if (d.hasFtdi()) {
        onByteLink([&](const uint8_t* p, size_t n) { ftdiPlainWrite(d, p, n); });
    } else if (d.hasTcp()) {
        onByteLink([&](const uint8_t* p, size_t n) { plainSend(d, d.tcpSocket, p, n); });
    } else if (d.hasWinUsb()) {
        if (!e.payload.empty())
            transport::winUsbFramedWrite(
                d, e.payload.data(), static_cast<uint32_t>(e.payload.size()), d.stopEvent.get());
    } else if (d.hasUdp()) {
        if (e.datagram) {
            const auto frame =
                datagramCommand(*e.datagram, e.datagramPayload.data(), e.datagramPayload.size());
            platform::sendDatagramWithin(d.udpSocket, frame.data(), frame.size(), d.stopEvent.get(),
                                         transport::kSocketSendTimeoutMs);
        }
    }
}

// The tagged family's command that has a tagged packet of `words` on every link.
Encoding taggedCommand(std::initializer_list<uint16_t> words) {
    Encoding e;
    e.payload = wordBytes(words);
    carryInDatagram(e);
    return e;
}

// The tagged family's command whose FTDI and TCP form is a two-byte command.
Encoding twoByteWithPayload(uint8_t command, std::initializer_list<uint16_t> words) {
    Encoding e = taggedCommand(words);
    e.twoByte = command;
    return e;
}

// The sync family's fixed command (code, value) on FTDI or TCP; other links get nothing.
void sendSyncCommand(DevStruct& d, uint16_t code, uint16_t value) {
    const uint16_t words[] = {code, value};
    const auto frame = syncPacket(words, 2);
    if (d.hasFtdi())
        ftdiPlainWrite(d, frame.data(), frame.size());
    else if (d.hasTcp())
        plainSend(d, d.tcpSocket, frame.data(), frame.size());
}

} // namespace

std::array<uint8_t, 2> twoByteCommand(uint8_t command) {
    return {kTwoByteLead, command};
}

std::vector<uint8_t> taggedPacket(const uint8_t* payload, size_t length, uint8_t variant) {
    if (length > kTaggedMaxPayload) return {};
    std::vector<uint8_t> out;
    out.reserve(kTaggedHeaderSize + length + 1);
    out.insert(out.end(), kTaggedSignature, kTaggedSignature + 7);
    out.push_back(variant);
    putWord(out, static_cast<uint16_t>(length));
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i) {
        out.push_back(payload[i]);
        sum = static_cast<uint8_t>(sum + payload[i]);
    }
    out.push_back(sum);
    return out;
}

std::vector<uint8_t> syncPacket(const uint16_t* words, size_t count) {
    if (count > kSyncMaxWords) return {};
    std::vector<uint8_t> out(kSyncBytes.begin(), kSyncBytes.end());
    out.reserve(kSyncBytes.size() + 2 + 2 * count + 2);
    putWord(out, static_cast<uint16_t>(2 * count));
    uint16_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        putWord(out, words[i]);
        sum = static_cast<uint16_t>(sum + words[i]);
    }
    putWord(out, sum);
    return out;
}

std::vector<uint8_t> datagramCommand(uint32_t command, const uint8_t* payload, size_t length) {
    std::vector<uint8_t> out;
    out.reserve(20 + length);
    putLong(out, kDatagramHead);
    putLong(out, kDatagramMark);
    putLong(out, command);
    putLong(out, kDatagramMark);
    putLong(out, kDatagramHead);
    if (length) out.insert(out.end(), payload, payload + length);
    return out;
}

std::vector<uint8_t> wordBytes(std::initializer_list<uint16_t> words) {
    std::vector<uint8_t> out;
    out.reserve(2 * words.size());
    for (uint16_t w : words) putWord(out, w);
    return out;
}

void sendTaggedPacket(DevicePtr record, const uint8_t* payload, size_t length, uint8_t variant) {
    if (!record || !record->hasFtdi()) return;
    const auto frame = taggedPacket(payload, length, variant);
    if (frame.empty()) return;
    transport::ftdiWrite(record->ftdiHandle, frame.data(), static_cast<uint32_t>(frame.size()),
                         record->stopEvent.get(), record->ioOverlapped);
}

void sendSyncPacket(DevicePtr record, const std::vector<uint16_t>& words) {
    if (!record || !record->hasFtdi()) return;
    const auto frame = syncPacket(words.data(), words.size());
    if (frame.empty()) return;
    transport::ftdiWrite(record->ftdiHandle, frame.data(), static_cast<uint32_t>(frame.size()),
                         record->stopEvent.get(), record->ioOverlapped);
}

void sendTaggedCommand(DevicePtr record, const uint8_t* payload, size_t length) {
    if (!record) return;
    Encoding e;
    e.payload.assign(payload, payload + length);
    sendEncoding(*record, e);
}

void sendStreamMode(DevicePtr record, int32_t on) {
    if (!record) return;
    if (isSyncFamily(record->linkKind))
        return sendSyncCommand(*record, 10, static_cast<uint16_t>(on));
    const uint16_t f = flag(on);
    Encoding e;
    e.twoByte = on == 1 ? 0x1A : on == 0 ? 0x2A : 0x0A;
    e.payload = wordBytes({10, f, f, f});
    e.datagram = kDatagramStream | (on != 0 ? kDatagramStreamOn : 0);
    sendEncoding(*record, e);
}

void sendSignalMode(DevicePtr record, int32_t highSpeed) {
    if (!record) return;
    Encoding e;
    e.twoByte = highSpeed != 0 ? 0x6A : 0x5A;
    e.payload = wordBytes({10, 4});
    sendEncoding(*record, e);
}

void sendReset(DevicePtr record) {
    if (!record) return;
    if (isSyncFamily(record->linkKind)) return sendSyncCommand(*record, 1, 0);
    sendEncoding(*record, twoByteWithPayload(0x3A, {1, 0}));
}

void sendStartStop(DevicePtr record) {
    if (!record) return;
    if (isSyncFamily(record->linkKind)) return sendSyncCommand(*record, 2, 0);
    sendEncoding(*record, twoByteWithPayload(0x4A, {2, 0}));
}

void sendStart(DevicePtr record) {
    if (!record || isSyncFamily(record->linkKind)) return;
    sendEncoding(*record, taggedCommand({21}));
}

void sendStop(DevicePtr record) {
    if (!record || isSyncFamily(record->linkKind)) return;
    sendEncoding(*record, taggedCommand({22}));
}

uint8_t rangeCommandByte(int32_t range, uint16_t programNumber) {
    const uint32_t r = static_cast<uint32_t>(range);
    const uint32_t e = programNumber < 28 ? r : (r == 3 ? 3 : 2 - r);
    return static_cast<uint8_t>(0x7A + 16 * e);
}

uint16_t rangeWord(int32_t range, uint16_t programNumber) {
    const uint32_t r = static_cast<uint32_t>(range);
    if (programNumber >= 28 || r == 3) return static_cast<uint16_t>(r);
    return static_cast<uint16_t>(2 - r);
}

void sendRange(DevicePtr record, int32_t range) {
    if (!record) return;
    if (isSyncFamily(record->linkKind))
        return sendSyncCommand(*record, 3, static_cast<uint16_t>(range));
    const uint16_t program = record->state.programNumber;
    sendEncoding(*record, twoByteWithPayload(rangeCommandByte(range, program),
                                             {3, rangeWord(range, program)}));
}

void sendPolarity(DevicePtr record, int32_t polarity) {
    if (!record) return;
    if (isSyncFamily(record->linkKind)) return sendSyncCommand(*record, 4, flag(polarity));
    sendEncoding(*record, twoByteWithPayload(polarity != 0 ? 0xEA : 0xFA, {4, flag(polarity)}));
}

void sendIcpMode(DevicePtr record, int32_t mode) {
    if (!record) return;
    // The sync family also gets the tagged form, on whichever link comes first.
    if (isSyncFamily(record->linkKind)) sendSyncCommand(*record, 18, flag(mode));
    sendEncoding(*record, taggedCommand({18, flag(mode)}));
}

void sendZeroChannelMode(DevicePtr record, int32_t mode) {
    if (!record || isSyncFamily(record->linkKind)) return;
    sendEncoding(*record, taggedCommand({26, flag(mode)}));
}

void sendSigRegMode(DevicePtr record, uint16_t mode, uint16_t gain, uint16_t mask) {
    if (!record || isSyncFamily(record->linkKind)) return;
    sendEncoding(*record, taggedCommand({32, mode, gain, mask}));
}

void sendRingEntry(DevicePtr record, const frame::RingEntry& entry) {
    if (!record || isSyncFamily(record->linkKind)) return;
    Encoding e;
    e.payload.assign(entry.bytes, entry.bytes + sizeof entry.bytes);
    sendEncoding(*record, e);
}

void sendBands(DevicePtr record) {
    if (!record) return;
    const DevStruct& d = *record;
    sendBands(std::move(record), d.bandBytes);
}

void sendBands(DevicePtr record, const std::vector<uint16_t>& words) {
    if (!record) return;
    if (isSyncFamily(record->linkKind)) {
        if (record->hasFtdi()) sendSyncPacket(record, words);
        return;
    }
    // A band set shorter than the instrument's 20 bytes would be read as a different
    // selection: send nothing rather than pad or cut it.
    if (words.size() * 2 < kBandPayloadSize) return;
    Encoding e;
    for (size_t i = 0; i < kBandPayloadSize / 2; ++i) putWord(e.payload, words[i]);
    sendEncoding(*record, e);
}

void sendSwitchOff(DevicePtr record) {
    if (!record || isSyncFamily(record->linkKind)) return;
    const auto payload = wordBytes({19, 325});
    sendTaggedCommand(record, payload.data(), payload.size());
}

void sendDateTime(DevicePtr record, uint32_t value) {
    if (!record) return;
    std::vector<uint8_t> payload = wordBytes({11});
    putLong(payload, value);
    putLong(payload, ~value);
    sendTaggedCommand(record, payload.data(), payload.size());
}

void sendProgramSwitch(DevicePtr record, std::u16string_view name) {
    if (!record) return;
    std::vector<uint8_t> payload = wordBytes({14});
    for (char16_t c : name) putWord(payload, static_cast<uint16_t>(c));
    putWord(payload, 0);
    sendTaggedCommand(record, payload.data(), payload.size());
}

void sendGeneratorItem(DevicePtr record, int32_t code, int32_t value) {
    std::vector<uint8_t> payload = wordBytes({static_cast<uint16_t>(code)});
    putLong(payload, static_cast<uint32_t>(value));
    sendTaggedPacket(std::move(record), payload.data(), payload.size(), 0);
}

void sendRateSwitch(DevicePtr record, uint32_t baudRate) {
    std::vector<uint8_t> payload = wordBytes({10, 2});
    putLong(payload, baudRate | 0x80000000u);
    sendTaggedPacket(std::move(record), payload.data(), payload.size(), 0);
}

} // namespace zs::engine

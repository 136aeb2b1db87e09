#pragma once
// Reads what the library sends an instrument back into named commands with their values,
// written from the instruments' side of the protocol (no code shared with the library's
// encoders), so tests can say "range 2 arrived" instead of spelling bytes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace zs::sim {

struct Command {
    std::string name;
    std::vector<int64_t> values;
    std::u16string text; // program name of "program"
    bool operator==(const Command&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Command& c);

// A command payload of the tagged family (tagged packet, WinUSB frame, datagram command).
Command decodeTaggedPayload(std::span<const uint8_t> payload);
// A sync packet's words.
Command decodeSyncWords(std::span<const uint16_t> words);
// One 512-byte WinUSB command frame; nothing for anything else.
std::optional<Command> decodeWinUsbFrame(std::span<const uint8_t> frame);
// One datagram sent to an Ethernet instrument; nothing for anything else.
std::optional<Command> decodeDatagram(std::span<const uint8_t> datagram);

// The byte stream of an FTDI or TCP link, fed in pieces of any size: two-byte commands,
// tagged packets and sync packets. Bytes that start none of them are skipped.
class ByteCommandReader {
  public:
    void feed(const uint8_t* bytes, size_t length, std::vector<Command>& out);

  private:
    std::vector<uint8_t> pending_;
};

} // namespace zs::sim

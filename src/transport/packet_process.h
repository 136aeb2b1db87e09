#pragma once
#include <cstdint>

namespace zs::transport {

// Cuts a byte stream into packets. Bytes arrive in pieces of any size; the state is kept
// between calls, so a packet may span several. The payload of the packet just completed is
// payload()[0 .. payloadLength()) until the next call.
class CPacketProcess {
  public:
    // A parser with its own payload buffer of `capacity` bytes.
    explicit CPacketProcess(uint32_t capacity);
    // A parser writing into the caller's buffer of `capacity` bytes, which it does not free.
    CPacketProcess(uint32_t capacity, uint8_t* lentBuffer);
    virtual ~CPacketProcess();
    CPacketProcess(const CPacketProcess&) = delete;
    CPacketProcess& operator=(const CPacketProcess&) = delete;

    // Consumes bytes[position..length), one at a time. Returns true right after the byte
    // that completes a packet whose check holds (position then indexes the next byte; call
    // again to go on), false once position reaches length.
    virtual bool process(const uint8_t* bytes, uint32_t length, uint32_t& position) = 0;
    // The variant byte of the packet last started (tagged packets); 0 otherwise.
    virtual uint8_t variant() const { return 0; }

    uint32_t capacity() const { return capacity_; }
    // Sets the largest payload accepted; identification lowers it for short replies and
    // restores it. Never above the buffer's own size.
    void setCapacity(uint32_t capacity) {
        capacity_ = capacity < bufferSize_ ? capacity : bufferSize_;
    }
    const uint8_t* payload() const { return payload_; }
    uint8_t* payload() { return payload_; }
    uint32_t payloadLength() const { return payloadLength_; }
    bool ownsPayload() const { return ownsPayload_; }
    uint32_t state() const { return state_; }

  protected:
    uint32_t bufferSize_; // what the payload buffer holds; the limit never passes it
    uint32_t capacity_;
    uint8_t* payload_;
    uint8_t* cursor_;
    uint32_t state_ = 0;
    uint32_t count_ = 0;
    uint32_t payloadLength_ = 0;
    bool ownsPayload_;
    uint32_t sum_ = 0;
    uint32_t expectedSum_ = 0;
};

// Tagged packets: "kX-wave", a variant byte, a 16-bit length and, by variant, a payload with
// a byte sum after it (form 1), or a 16-bit word sum (variant "2") or folded 32-bit sum
// (variant "3") before it. A bad checksum is reported on the debug output.
class CDoutPacketProcess : public CPacketProcess {
  public:
    using CPacketProcess::CPacketProcess;
    bool process(const uint8_t* bytes, uint32_t length, uint32_t& position) override;
    uint8_t variant() const override { return variantByte_; }

  private:
    void resync(uint8_t byte);
    uint8_t variantByte_ = 0;
};

// Sync packets: 11 22 33 44, a 16-bit length (lowest bit ignored), the payload and its
// 16-bit word sum. A bad checksum is reported on the debug output.
class CDinPacketProcess : public CPacketProcess {
  public:
    using CPacketProcess::CPacketProcess;
    bool process(const uint8_t* bytes, uint32_t length, uint32_t& position) override;
};

} // namespace zs::transport

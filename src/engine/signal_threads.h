#pragma once
#include "engine/command_packets.h"

#include <array>
#include <cstdint>

namespace zs::engine {

// I/O thread bodies of raw-signal mode, for FTDI and WinUSB links. Each converts the
// instrument's signal blocks into the record's bound buffer, runs the command engine between
// reads and returns once it has seen the record's stop event.
void ftdiSignalThread(DevicePtr record);
// Also plays the host's output signal: blocks filled by the record's signal-send callback go
// to the instrument while its status reports room for them.
void winUsbSignalThread(DevicePtr record);

// Sets the host function that fills output blocks (null clears it). Once this returns, the
// old function is never called again.
void setSignalSendCallback(frame::DevStruct& record, frame::SignalSendCallback callback,
                           int32_t user);

inline constexpr uint32_t kOutputBlockSize = 512;
inline constexpr uint32_t kOutputBlockData = 510;
inline constexpr int32_t kOutputBlockUnits = 170;
inline constexpr uint32_t kOutputRingBlocks = 5;

// The five output blocks of a WinUSB signal thread: each a sequence number and the data the
// host callback wrote, with a mark while it waits to be sent.
class OutputRing {
  public:
    // Fills the block at the current index unless it is still marked: the next sequence
    // number, then the callback's data. False when there is no callback to fill it.
    bool fill(frame::DevStruct& record);
    // The block at the current index has been sent: its mark is cleared and the next one
    // becomes current.
    void advance();
    uint8_t* current() { return blocks_[index_].bytes.data(); }
    uint32_t index() const { return index_; }
    uint16_t nextSequence() const { return sequence_; }

  private:
    struct Block {
        std::array<uint8_t, kOutputBlockSize> bytes{};
        bool filled = false;
    };
    std::array<Block, kOutputRingBlocks> blocks_{};
    uint32_t index_ = 0;
    uint16_t sequence_ = 0;
};

// Output blocks one status level allows: none unless the instrument reports room for more
// than eight blocks, then up to four.
uint32_t outputBurst(uint32_t level);

} // namespace zs::engine

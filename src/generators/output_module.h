#pragma once
#include "platform/event.h"
#include "platform/io_thread.h"
#include "platform/overlapped.h"
#include "transport/d2xx.h"
#include "transport/packet_process.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zs::generators {

// Packets an output module sends by itself.
inline constexpr uint16_t kModuleStatus = 141;
inline constexpr uint16_t kModuleAcknowledge = 154;
inline constexpr uint32_t kModulePacketMinimum = 8;

// The settings the host asks of an output module. The host thread writes them and the
// module's reader thread reads them, so each is an atomic of its own.
struct ModuleState {
    std::atomic<double> clockHz{48000.0};
    std::atomic<int32_t> pendingStep{1};
    std::atomic<double> levelDb{-20.0};
    std::atomic<int32_t> outputOff{1};
    std::atomic<int32_t> levelWord{0};
    std::atomic<int32_t> freqWord{0x55555}; // 1000 Hz
    // Makes a frequency set and the acknowledgement's compare-and-clear exclusive, so a set
    // landing between the compare and the clear is never taken as acknowledged.
    std::mutex frequencyLock;

    // False, with nothing changed, for a negative or non-finite frequency.
    bool setFrequency(double hz);
    // The module confirmed this frequency word: clears the pending step if it is still the
    // word asked for.
    void acknowledgeFrequency(uint32_t word);
    void setLevel(double db);
    void setOutput(bool on);
};

// The 32-bit command words.
inline uint32_t frequencyCommand(int32_t freqWord) {
    return static_cast<uint32_t>(freqWord) << 8 | 5;
}
inline uint32_t levelCommand(int32_t levelWord) {
    return static_cast<uint32_t>(levelWord) << 16 | 4;
}

// A command word in the frame of the module's family: a tagged packet (15 bytes) or a sync
// packet (12 bytes).
std::vector<uint8_t> moduleFrame(bool tagged, uint32_t command);

// The thread that watches a module's status packets and answers them with the commands
// that bring it to the requested state. The read buffer and transfer blocks belong to the
// object, not the thread, because a transfer abandoned at a stop stays with the driver
// until the handle is closed.
class ModuleReader {
  public:
    ModuleReader() = default;
    ~ModuleReader() { stop(); }
    ModuleReader(const ModuleReader&) = delete;
    ModuleReader& operator=(const ModuleReader&) = delete;

    void start(transport::FtHandle handle, bool tagged, transport::CPacketProcess& parser,
               ModuleState& state);
    // Signals the stop, waits for the thread without a limit, and makes ready for a restart.
    void stop();
    bool running() const { return thread_ && thread_->joinable(); }

    // One packet as the thread handles it; exposed so the rules can be checked on their own.
    // Returns the command to send, if the packet calls for one.
    static bool answer(const uint8_t* payload, uint32_t length, ModuleState& state,
                       uint32_t& command);

    static constexpr uint32_t kReadLimit = 4096;

  private:
    void run(transport::FtHandle handle, bool tagged, transport::CPacketProcess& parser,
             ModuleState& state);
    void send(transport::FtHandle handle, bool tagged, uint32_t command);

    platform::Event stop_{platform::Event::Reset::Manual};
    std::unique_ptr<platform::IoThread> thread_;
    std::array<uint8_t, kReadLimit> buffer_{};
    std::vector<uint8_t> frame_;
    platform::Overlapped readIo_;
    platform::Overlapped writeIo_;
};

} // namespace zs::generators

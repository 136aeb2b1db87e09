#pragma once
// Simulated WinUSB with its device-interface enumeration, installed through the seam of the
// WinUSB binding. Each device has a path, an IN pipe that delivers queued transfers (a read
// waits until one is queued, as a bulk read waits for the instrument) and an OUT pipe that
// logs every transfer written; in raw-signal mode also a status IN pipe (free space of the
// instrument's output buffer) and an output OUT pipe for the signal it plays.
#include "transport/winusb_binding.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zs::sim {

enum class WinUsbCall : uint32_t { Enumerate, Open, Initialize, Write, Read };
inline constexpr uint32_t winUsbBit(WinUsbCall c) {
    return 1u << static_cast<uint32_t>(c);
}

enum class WinUsbWrite {
    Immediate, // the pipe call succeeds at once
    Pending,   // 997; the transfer is done right after, and the event is set
    Stuck,     // 997, and it never completes
};

class SimWinUsbDevice {
  public:
    explicit SimWinUsbDevice(std::u16string path) : path(std::move(path)) {}

    std::u16string path;
    bool present = true;
    uint32_t failingCalls = 0; // winUsbBit(...) of calls that fail
    WinUsbWrite writeMode = WinUsbWrite::Immediate;
    // A read on a pipe with data waiting succeeds at once and still sets the block's event,
    // as the system does for a transfer that completes inside the call.
    bool readsCompleteAtOnce = false;

    std::vector<std::vector<uint8_t>> written; // OUT pipe, one entry per transfer
    std::vector<std::vector<uint8_t>> output;  // output pipe, one entry per block played
    std::vector<uint8_t> pipesUsed;            // pipe id of every transfer, in order
    uint32_t initializeCalls = 0, freeCalls = 0, fileOpens = 0, fileCloses = 0;
    bool initialized = false;

    // Called with the simulator's lock held after each completed write; may queue input.
    std::function<void(SimWinUsbDevice&, const uint8_t*, size_t)> onWrite;

    // The IN pipe's transfers, delivered one per read (cut to the read's length).
    std::deque<std::vector<uint8_t>> input;
    // The status pipe's transfers; when none is queued, a status read asks `statusSource`
    // (if set, under the simulator's lock) and stays pending while that gives nothing.
    std::deque<std::vector<uint8_t>> statusInput;
    std::function<std::vector<uint8_t>(SimWinUsbDevice&)> statusSource;
    uint32_t statusReads = 0;
    // Transfers still in progress when the interface was freed: the system would still write
    // into their blocks and buffers, wherever those are by then.
    uint32_t abandonedTransfers = 0;
    // Transfers posted on a pipe whose previous transfer had not been collected yet.
    uint32_t postsOnBusyPipe = 0;
    uint32_t abortCalls = 0;

    // A transfer on `pipe` that has been posted and not yet collected.
    bool transferOut(uint8_t pipe) const;

  private:
    friend struct SimWinUsbCalls;
    friend class SimWinUsb;
    struct PendingRead {
        void* block = nullptr;
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        bool done = false;
        bool aborted = false;
        uint32_t count = 0;
    };
    struct PendingWrite {
        void* block = nullptr;
        uint8_t pipe = 0;
        bool done = false;
        bool aborted = false;
        uint32_t count = 0;
    };
    std::unique_ptr<PendingRead> pendingRead;
    std::unique_ptr<PendingRead> pendingStatus;
    std::unique_ptr<PendingWrite> pendingWrite;
};

class SimWinUsb {
  public:
    static SimWinUsb& instance();

    void reset();
    SimWinUsbDevice& addDevice(const std::u16string& path);
    SimWinUsbDevice* find(const std::u16string& path);
    // Queues an IN transfer; a read waiting for one completes with it.
    void queueInput(SimWinUsbDevice& device, std::vector<uint8_t> transfer);
    // The same for the status pipe.
    void queueStatus(SimWinUsbDevice& device, std::vector<uint8_t> transfer);

    std::recursive_mutex& mutex() { return mutex_; }

    template <class Fn>
    auto locked(Fn&& fn) {
        std::lock_guard lock(mutex_);
        return fn();
    }

    // The binding (six entry points, bound) with its enumeration, for installWinUsbForTests.
    static const transport::WinUsbApi& table();

  private:
    friend struct SimWinUsbCalls;
    struct Handle {
        SimWinUsbDevice* device;
        bool isInterface;
    };
    void* newHandle(SimWinUsbDevice* device, bool isInterface);
    bool dropHandle(void* handle);

    std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<SimWinUsbDevice>> devices_;
    std::vector<std::unique_ptr<Handle>> handles_;
};

} // namespace zs::sim

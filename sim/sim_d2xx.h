#pragma once
// Simulated FTDI D2XX driver: devices with a description, a serial number and a line rate,
// queued input, transfers that complete at once or stay pending for a number of result
// calls (or for ever), refused rates, a history of the control calls and a log of every
// byte written. Instrument models attach to a device through its hooks.
#include "transport/d2xx.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace zs::sim {

// The roles, for fault injection and the call history.
enum class D2xxRole : uint32_t {
    Count,
    Serial,
    Open,
    Configuration,
    Close,
    Flow,
    GetLineSettings,
    SetLineSettings,
    Characters,
    Rate,
    Queue,
    Write,
    Read,
    LastError,
    Result,
    LineLow,
    LineHigh,
    BitMode,
    Reset,
};
inline constexpr uint32_t roleBit(D2xxRole r) {
    return 1u << static_cast<uint32_t>(r);
}

// How a transfer completes.
enum class Completion {
    Immediate, // the write or read call succeeds at once
    Pending,   // 997, then done after `pendingResultCalls` result calls
    Stuck,     // 997, and the result call never reports it done
};

// A control call as the device saw it: rate (a = rate), line low/high, bit mode (a = mask,
// b = mode), flow (a = flow), characters, line settings (a = rate, b = byte size), reset,
// open (a = flags), close.
struct D2xxCall {
    D2xxRole role;
    uint32_t a = 0;
    uint32_t b = 0;
    bool operator==(const D2xxCall&) const = default;
};

class SimD2xxDevice {
  public:
    SimD2xxDevice(std::string serial, std::string description)
        : serial(std::move(serial)), description(std::move(description)) {}

    // Set by the test; read by the driver under the simulator's lock.
    std::string serial;
    std::string description;
    uint32_t lineRate = 9600;
    std::set<uint32_t> refusedRates; // the rate call answers 7 for these
    uint32_t failingRoles = 0;       // roleBit(...) of calls that fail
    Completion writeCompletion = Completion::Immediate;
    Completion readCompletion = Completion::Immediate;
    uint32_t pendingResultCalls = 1;
    bool present = true; // false: unplugged; open handles fail, the count leaves it out
    transport::D2xxLineSettings lineSettings;

    // Observed by the test.
    std::deque<uint8_t> input;    // bytes the device will deliver
    std::vector<uint8_t> written; // every byte written, in order
    std::vector<D2xxCall> history;
    uint32_t writeCalls = 0, readCalls = 0, resultCalls = 0, lastErrorCalls = 0;
    bool open = false;

    // Instrument hooks, called with the simulator's lock held: after each completed write
    // with its bytes, and after each control call. They may change the device (queue input),
    // but must not call the driver.
    std::function<void(SimD2xxDevice&, const uint8_t*, size_t)> onWrite;
    std::function<void(SimD2xxDevice&, const D2xxCall&)> onCall;
    // Called with the lock held before the queue and read calls look at the input, so a
    // streaming instrument can add what it has produced by now.
    std::function<void(SimD2xxDevice&)> onPoll;

    void queue(const std::vector<uint8_t>& bytes) {
        input.insert(input.end(), bytes.begin(), bytes.end());
    }
};

// The process's simulated driver (one per module that contains it).
class SimD2xx {
  public:
    static SimD2xx& instance();

    // Forgets every device and handle.
    void reset();
    // Adds a device at the end of the index order; the reference stays valid until reset().
    SimD2xxDevice& addDevice(const std::string& serial, const std::string& description);
    SimD2xxDevice* find(const std::string& serial);

    // Runs `fn` with the simulator's lock held, for tests that read or change a device while
    // another thread uses the driver.
    template <class Fn>
    auto locked(Fn&& fn) {
        std::lock_guard lock(mutex_);
        return fn();
    }

    // The driver's calls as a role table, for the test seam.
    static const transport::D2xxApi& table();

    std::recursive_mutex& mutex() { return mutex_; }

  private:
    friend struct SimD2xxCalls;
    struct Pending {
        void* overlapped = nullptr;
        bool isWrite = false;
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        uint32_t remaining = 0;
        bool stuck = false;
    };
    struct Handle {
        SimD2xxDevice* device = nullptr;
        uint32_t lastError = 0;
        bool hasPending = false;
        Pending pending;
    };

    std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<SimD2xxDevice>> devices_;
    std::vector<std::unique_ptr<Handle>> handles_;
};

} // namespace zs::sim

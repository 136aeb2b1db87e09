#pragma once
// A simulated WinUSB instrument answering the identification exchange in 512-byte frames:
// the greeting, the identity frame (type, serial number) and the description transfer that
// carries the identification record in frames of up to 254 words. In raw-signal mode it
// streams signal blocks in fragments, reports the free space of its output buffer on the
// status pipe and plays (logs) the output blocks it receives.
#include "sim_signal.h"
#include "sim_winusb.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace zs::sim {

struct WinUsbInstrument {
    uint16_t deviceType = 0;
    uint32_t serialNumber = 0;
    std::vector<uint8_t> record; // identification record: type, program, ... (even length)
    bool greets = true;          // answers the opening frames
    // Nonzero: the last description frame declares this many words (whatever it carries),
    // and one more frame follows it.
    uint32_t lastFrameWords = 0;

    // Raw-signal mode: what it streams after the signal-mode command, and its output
    // buffer, which plays `outputRate` units a second (170 units per output block).
    std::optional<SignalModel> signal;
    uint32_t outputCapacity = 170 * 24;
    double outputRate = 48000.0;

    uint32_t descriptionRequests = 0; // observed by the test
    uint32_t signalStarts = 0;
    uint64_t signalBlocksSent() const { return streamer_ ? streamer_->blocksSent() : 0; }

    static std::shared_ptr<WinUsbInstrument> attach(SimWinUsbDevice& device,
                                                    WinUsbInstrument model);

  private:
    void onWrite(SimWinUsbDevice& d, const uint8_t* bytes, size_t length);
    void startSignal(SimWinUsbDevice& d);
    std::vector<uint8_t> status(SimWinUsbDevice& d);

    std::shared_ptr<SignalStreamer> streamer_;
    // Output buffer: units queued at the last status, and when.
    double queuedUnits_ = 0.0;
    size_t blocksCounted_ = 0;
    std::chrono::steady_clock::time_point lastStatus_{};
};

} // namespace zs::sim

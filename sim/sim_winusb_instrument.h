#pragma once
// A simulated WinUSB instrument answering the identification exchange in 512-byte frames:
// the greeting, the identity frame (type, serial number) and the description transfer that
// carries the identification record in frames of up to 254 words.
#include "sim_winusb.h"

#include <cstdint>
#include <memory>
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

    uint32_t descriptionRequests = 0; // observed by the test

    static std::shared_ptr<WinUsbInstrument> attach(SimWinUsbDevice& device,
                                                    WinUsbInstrument model);

  private:
    void onWrite(SimWinUsbDevice& d, const uint8_t* bytes, size_t length);
};

} // namespace zs::sim

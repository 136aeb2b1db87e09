#pragma once
#include <atomic>
#include <cstdint>

namespace zs::frame {

// One live instrument. Always created on the heap and held by shared pointers.
struct DevStruct {
    int32_t sMode = 0; // 0 = measurement-stream mode, otherwise raw-signal mode

    // Command mailboxes: negative while idle; the host stores, the I/O thread clears.
    std::atomic<int32_t> resetCmd{-1};
    std::atomic<int32_t> rangeCmd{-1};
    std::atomic<int32_t> polCmd{-1};
    std::atomic<int32_t> startStopCmd{-1};
    std::atomic<int32_t> startCmd{-1};
    std::atomic<int32_t> stopCmd{-1};
    std::atomic<int32_t> programCmd{-1};
    std::atomic<int32_t> resetDeviceCmd{-1};
    std::atomic<int32_t> switchOffCmd{-1};
    std::atomic<int32_t> dateTimeCmd{-1};
    std::atomic<int32_t> icpModeCmd{-1};
    std::atomic<int32_t> zChModeCmd{-1};
    std::atomic<int32_t> sigRegModeCmd{-1};
};

} // namespace zs::frame

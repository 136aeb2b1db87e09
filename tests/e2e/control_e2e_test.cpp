// The control exports through the shipped binary: every one is exported under its plain
// name and gives its failure result, at once, when no device answers to the index.
#include "../../tools/hostlib/zs_host.h"

#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using zs::host::Library;

namespace {

// Calls `call` and returns how long it took, in milliseconds.
template <class Call>
long long timed(Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

} // namespace

TEST(ControlEndToEnd, ModeAndGeneratorSettersFailWithoutDevices) {
    Library lib;
    ASSERT_EQ(ZS_HOST_GET(lib, K427_GetDeviceCount)(), 0);
    EXPECT_EQ(ZS_HOST_GET(lib, K427_SetSMode)(0, 1), 0);
    EXPECT_EQ(ZS_HOST_GET(lib, K427_SetSMode)(0xFFFFFFFFu, 0), 0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int32_t index : {0, 1, -1, 255, 256}) {
        EXPECT_EQ(ZS_HOST_GET(lib, QM730_SetAmp)(index, 50), 0);
        EXPECT_EQ(ZS_HOST_GET(lib, QM730_SetFrequency)(index, 1000000), 0);
        EXPECT_EQ(ZS_HOST_GET(lib, QM730_SetLevel)(index, nan), 0);
    }
}

// Without a device no command is stored, so none is waited for: each returns at once (well
// inside the 500 ms a stored command could wait), including with null pointers.
TEST(ControlEndToEnd, CommandsToAMissingDeviceReturnAtOnce) {
    Library lib;
    const double rate = 48000, gain = 1, one = 1, centre = 40;
    const int32_t ratios[6] = {1, 2, 3, 4, 5, 6};
    const long long took = timed([&] {
        for (int32_t index : {0, 3, -1}) {
            ZS_HOST_GET(lib, K427_SendResetCmd)(index);
            ZS_HOST_GET(lib, K427_SendStartStopCmd)(index);
            ZS_HOST_GET(lib, K427_SendStartCmd)(index);
            ZS_HOST_GET(lib, K427_SendStopCmd)(index);
            ZS_HOST_GET(lib, K427_SendRangeCmd)(index, 1);
            ZS_HOST_GET(lib, K427_SendPolCmd)(index, 1);
            ZS_HOST_GET(lib, K427_SendIcpModeCmd)(index, 1);
            ZS_HOST_GET(lib, K427_SendZChModeCmd)(index, 1);
            ZS_HOST_GET(lib, K427_ResetDevice)(index);
            ZS_HOST_GET(lib, K427_SetDateTime)(index);
            ZS_HOST_GET(lib, K427_SendSigRegModeCmd)(index, &rate, &gain, 1);
            ZS_HOST_GET(lib, K427_SendSigRegModeCmd)(index, nullptr, nullptr, 1);
            ZS_HOST_GET(lib, K427_SendCalibrationCmd)(index, 0, &one, &one, &one);
            ZS_HOST_GET(lib, K427_SendCalibrationCmd)(index, 0, nullptr, nullptr, nullptr);
            ZS_HOST_GET(lib, K427_SendSetBandsCmd)(index, &rate, 1, ratios);
            ZS_HOST_GET(lib, K427_SendSetBandsCmd)(index, nullptr, 1, nullptr);
            ZS_HOST_GET(lib, K427_SendSetBandsCmdLF)(index, &centre, 6);
            ZS_HOST_GET(lib, K427_SendSetBandsCmdLF)(index, nullptr, 6);
        }
    });
    EXPECT_LT(took, 450);
    EXPECT_EQ(ZS_HOST_GET(lib, K427_GetDeviceCount)(), 0);
}

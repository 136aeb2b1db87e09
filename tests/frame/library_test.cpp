#include "frame/library.h"
#include "support/library_fixture.h"
#include "zentrel_signal.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace zs;
using zs::test::LibraryTest;

TEST_F(LibraryTest, FreshStateIsEmpty) {
    auto& s = frame::lib();
    EXPECT_TRUE(s.devices.empty());
    EXPECT_TRUE(s.files.empty());
    EXPECT_TRUE(s.generators.empty());
    EXPECT_EQ(s.nextFileId, 256u);
    EXPECT_EQ(s.descriptionLoaded, 0);
    EXPECT_EQ(s.teleRing, nullptr);
    EXPECT_EQ(s.teleRingLength, 0);
}

TEST_F(LibraryTest, WindowTableValues) {
    const double* w = frame::lib().spectrum.window;
    EXPECT_EQ(w[0], 0.0);
    EXPECT_NEAR(w[16384], 1.0, 1e-15);
    EXPECT_EQ(w[32768], 2.0);
    EXPECT_DOUBLE_EQ(w[65535], 1.0 - std::cos(2.0 * 3.141592653589793 * 65535 / 65536));
    for (int i = 1; i < 65536; i += 7)
        EXPECT_NEAR(w[i], 1.0 - std::cos(i * 2 * (1.0 / 65536) * 3.141592653589793), 4e-16) << i;
    for (int i = 1; i < 32768; i += 997) EXPECT_NEAR(w[i], w[65536 - i], 1e-12) << i;
}

TEST_F(LibraryTest, TwiddleTableValues) {
    const double* t = frame::lib().spectrum.twiddle;
    EXPECT_EQ(t[0], 1.0);
    EXPECT_EQ(t[1], -0.0);
    EXPECT_EQ(t[2 * 16384], 6.123233995736766e-17); // cos of the double nearest pi/2
    EXPECT_EQ(t[2 * 16384 + 1], -1.0);
    const double step = 6.283185307179586 / 65536;
    // Entries are the correctly rounded cosine and sine of the double angle; C runtimes
    // may differ from them in the last place.
    for (int i = 1; i < 32768; i += 3) {
        EXPECT_NEAR(t[2 * i], std::cos(i * step), 2.3e-16) << i;
        EXPECT_NEAR(t[2 * i + 1], -std::sin(i * step), 2.3e-16) << i;
    }
    EXPECT_EQ(t[2 * 1918 + 1], -0.18285137647509633);
    EXPECT_EQ(t[2 * 4834 + 1], -0.44704036924925444);
}

TEST(LibraryLifecycle, LoadsAndUnloadsRepeatedly) {
    for (int round = 0; round < 3; ++round) {
        frame::libraryLoad();
        ASSERT_TRUE(frame::libraryLoaded());
        EXPECT_EQ(K427_GetDeviceCount(), 0);
        frame::libraryUnload();
        EXPECT_FALSE(frame::libraryLoaded());
    }
    frame::libraryUnload(); // unloading twice is harmless
}

TEST(LibraryLifecycle, ExportsAnswerSafelyWhileUnloaded) {
    ASSERT_FALSE(frame::libraryLoaded());
    EXPECT_EQ(K427_GetLibraryVersion(), 131083);
    EXPECT_EQ(K427_GetDeviceCount(), 0);
    EXPECT_EQ(GetTeleType(), -1);
}

TEST_F(LibraryTest, FirstDeviceAnswersTeleType) {
    EXPECT_EQ(GetTeleType(), -1);
    auto& devices = frame::lib().devices;
    devices.push_back(std::make_shared<frame::DevStruct>());
    EXPECT_EQ(K427_GetDeviceCount(), 1);
    EXPECT_EQ(GetTeleType(), 0);
    devices.front()->sMode = 2;
    devices.push_back(std::make_shared<frame::DevStruct>());
    EXPECT_EQ(GetTeleType(), 2); // always the first device
    EXPECT_EQ(K427_GetDeviceCount(), 2);
}

TEST(WinUsbBinding, TestSeamReplacesTheSystemBinding) {
    transport::WinUsbApi fake;
    fake.bound = 1;
    transport::installWinUsbForTests(&fake);
    EXPECT_EQ(transport::winUsb().bound, 1);
    transport::installWinUsbForTests(nullptr);
}

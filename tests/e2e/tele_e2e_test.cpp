// Tele mode and virtual devices through the shipped library, loaded by name, against
// simulated instruments plugged into the simulated D2XX driver.
#include "../../tools/hostlib/zs_host.h"
#include "e2e/sim_d2xx_driver.h"
#include "support/tone_fit.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

using zs::host::Library;

namespace zs::test {
namespace {

#define ZS(name) ZS_HOST_GET(lib, name)

constexpr size_t kRing = 131072;
constexpr size_t kFirstBin = 273;
constexpr double kRate = 48000.0; // type 118 at normal speed
// Both tones sit exactly on spectrum bins (48000 / 65536 Hz apart): 2048 and 4096.
constexpr double kToneA = 1500.0, kAmplitudeA = 8000.0;
constexpr double kToneB = 3000.0, kAmplitudeB = 2000.0;
const char* const kSensor = "TL000001A|Brevane DOUT20|family=tagged,rate=2304000,type=118,"
                            "program=60,vin=0x41001,signal=1500:8000+3000:2000";

struct FreeOnExit {
    const Library& lib;
    ~FreeOnExit() { ZS(K427_FreeFList)(); }
};

class TeleE2e : public ::testing::Test {
  protected:
    void SetUp() override { driver.reset(); }
    void TearDown() override { driver.reset(); }

    // Waits until at least `samples` have been written after this call.
    bool waitForSamples(const Library& lib, size_t samples, int limitMs = 10000) {
        const double* last = ZS(K427_GetWPtr)(0);
        size_t total = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (total < samples) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const double* now = ZS(K427_GetWPtr)(0);
            if (!last || !now) {
                last = now;
                continue;
            }
            total += static_cast<size_t>((now - last + ptrdiff_t(kRing)) % ptrdiff_t(kRing));
            last = now;
        }
        return true;
    }

    static double expectedLevel(double amplitude) {
        return 10 * std::log10(amplitude * amplitude / 2);
    }

    Driver driver;
};

// The sensor on each USB link: an FTDI instrument on the simulated D2XX (or libftdi), and on
// Linux a WinUSB instrument on the libusb stand-in.
enum class SensorLink { Ftdi, WinUsb };

class TeleSensorE2e : public TeleE2e, public ::testing::WithParamInterface<SensorLink> {
  protected:
#ifndef _WIN32
    void SetUp() override {
        TeleE2e::SetUp();
        usb.reset();
    }
    void TearDown() override {
        usb.reset();
        TeleE2e::TearDown();
    }
    WinUsbStandIn usb;
#endif
    bool plugSensor() {
#ifndef _WIN32
        if (GetParam() == SensorLink::WinUsb)
            return usb.plug("tele-usb|type=118,program=60,vin=0x41001,"
                            "signal=1500:8000+3000:2000") == 1;
#endif
        return driver.plug(kSensor) == 1;
    }
};

std::vector<SensorLink> sensorLinks() {
#ifdef _WIN32
    return {SensorLink::Ftdi};
#else
    return {SensorLink::Ftdi, SensorLink::WinUsb};
#endif
}
INSTANTIATE_TEST_SUITE_P(Links, TeleSensorE2e, ::testing::ValuesIn(sensorLinks()),
                         [](const ::testing::TestParamInfo<SensorLink>& info) {
                             return info.param == SensorLink::Ftdi ? "Ftdi" : "WinUsb";
                         });

TEST_P(TeleSensorE2e, SpectraShowTheInstrumentsTonesAtTheirLevels) {
    ASSERT_TRUE(plugSensor());
    Library lib;
    FreeOnExit freeOnExit{lib};
    std::vector<double> spectrum(10650);
    EXPECT_EQ(ZS(GetSpectrum)(spectrum.data(), 0), 0); // not in tele mode yet

    ASSERT_EQ(ZS(TurnOnTele)(1), 1);
    EXPECT_EQ(ZS(K427_GetDeviceCount)(), 1);
    EXPECT_EQ(ZS(GetTeleType)(), 1);
    // The fade-in and the filter settle in the first 500 frames; then a full window.
    ASSERT_TRUE(waitForSamples(lib, 70000));
    EXPECT_EQ(ZS(K427_GetFSampling)(0), kRate);

    ASSERT_EQ(ZS(GetSpectrum)(spectrum.data(), 0), 1);
    const size_t binA = 2048 - kFirstBin, binB = 4096 - kFirstBin;
    EXPECT_NEAR(spectrum[binA], expectedLevel(kAmplitudeA), 0.1);
    EXPECT_NEAR(spectrum[binB], expectedLevel(kAmplitudeB), 0.1);
    const auto strongest = std::max_element(spectrum.begin(), spectrum.end());
    EXPECT_EQ(static_cast<size_t>(strongest - spectrum.begin()), binA);
    // Away from the tones there is only the instrument's small noise.
    EXPECT_LT(spectrum[3000 - kFirstBin], expectedLevel(kAmplitudeB) - 40);
}

TEST_P(TeleSensorE2e, HostBufferHoldsTheInstrumentsSignal) {
    ASSERT_TRUE(plugSensor());
    Library lib;
    FreeOnExit freeOnExit{lib};
    ASSERT_EQ(ZS(K427_BuildFList)(), 1);
    std::vector<double> buffer(kRing, 0.0);
    ZS(K427_Configure)(0, buffer.data(), static_cast<int32_t>(buffer.size()));
    EXPECT_EQ(ZS(K427_GetWPtr)(0), buffer.data());
    ZS(K427_Configure)(7, nullptr, 5); // past the list: nothing changes
    EXPECT_EQ(ZS(K427_GetWPtr)(0), buffer.data());
    ASSERT_EQ(ZS(K427_SetSMode)(0, 1), 1);
    ASSERT_TRUE(waitForSamples(lib, 2000));
    // One second well behind the write pointer, past the fade-in, without wrapping.
    const double* w = nullptr;
    for (int tries = 0; tries < 2000; ++tries) {
        w = ZS(K427_GetWPtr)(0);
        if (w - buffer.data() > 60000) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GT(w - buffer.data(), 60000);
    const std::vector<double> x(w - 50000, w - 2000);
    const Component a = component(x, kToneA, kRate), b = component(x, kToneB, kRate);
    EXPECT_NEAR(a.amplitude, kAmplitudeA, kAmplitudeA * 0.002);
    EXPECT_NEAR(b.amplitude, kAmplitudeB, kAmplitudeB * 0.002);
    double residual = 0;
    for (size_t n = 0; n < x.size(); ++n) {
        const double t = double(n) / kRate;
        const double fit = a.amplitude * std::sin(2 * std::numbers::pi * kToneA * t + a.phase) +
                           b.amplitude * std::sin(2 * std::numbers::pi * kToneB * t + b.phase);
        residual += (x[n] - fit) * (x[n] - fit);
    }
    EXPECT_LT(std::sqrt(residual / double(x.size())), 3.0);

    // Length 0 binds an empty buffer: the pointer goes to its start and stays there.
    ZS(K427_Configure)(0, buffer.data(), 0);
    EXPECT_EQ(ZS(K427_GetWPtr)(0), buffer.data());
}

TEST_F(TeleE2e, TeleRingOutlivesTheListAndServesTheNextOne) {
    ASSERT_TRUE(driver.plug(kSensor));
    Library lib;
    FreeOnExit freeOnExit{lib};
    std::vector<double> spectrum(10650);
    ASSERT_EQ(ZS(TurnOnTele)(1), 1);
    ASSERT_TRUE(waitForSamples(lib, 1000));
    const double* ringPoint = ZS(K427_GetWPtr)(0);
    // Again while on: the same ring, not a new one (a new block could not overlap the old).
    ASSERT_EQ(ZS(TurnOnTele)(1), 1);
    EXPECT_EQ(ZS(K427_GetDeviceCount)(), 1);
    const double* again = ZS(K427_GetWPtr)(0);
    EXPECT_LT(std::abs(again - ringPoint), ptrdiff_t(kRing));

    EXPECT_EQ(ZS(TurnOffTele)(), 0);
    EXPECT_EQ(ZS(K427_GetDeviceCount)(), 0);
    EXPECT_EQ(ZS(GetSpectrum)(spectrum.data(), 0), 0);

    ASSERT_EQ(ZS(TurnOnTele)(2), 1);
    ASSERT_TRUE(waitForSamples(lib, 70000));
    const double* after = ZS(K427_GetWPtr)(0);
    EXPECT_LT(std::abs(after - ringPoint), ptrdiff_t(kRing));
    ASSERT_EQ(ZS(GetSpectrum)(spectrum.data(), 1), 1);
    const auto strongest = std::max_element(spectrum.begin(), spectrum.end());
    EXPECT_EQ(static_cast<size_t>(strongest - spectrum.begin()), 2048 - kFirstBin);
}

TEST_F(TeleE2e, WithoutInstrumentsTeleFindsNothing) {
    Library lib;
    FreeOnExit freeOnExit{lib};
    std::vector<double> spectrum(10650);
    EXPECT_EQ(ZS(TurnOnTele)(1), 0);
    EXPECT_EQ(ZS(GetTeleType)(), -1);
    EXPECT_EQ(ZS(GetSpectrum)(spectrum.data(), 0), 0);
    EXPECT_EQ(ZS(K427_SelectVirtualDevice)(0, 4), 0);
    EXPECT_EQ(ZS(K427_SelectVirtualDevice)(0xFFFFFFFFu, 4), 0);
    ZS(K427_SwitchOffVirtualDevice)(0);
    ZS(K427_Configure)(0, nullptr, 0);
    EXPECT_EQ(ZS(TurnOffTele)(), 0);
}

bool contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

TEST_F(TeleE2e, VirtualDeviceCommandsReachTheirInstrument) {
    ASSERT_TRUE(driver.plug("VD000001A|Brevane DOUT20|family=tagged,rate=2304000,vin=0x51001;"
                            "VD000002A|Brevane DOUT20|family=tagged,rate=2304000,vin=0x51002"));
    Library lib;
    FreeOnExit freeOnExit{lib};
    ASSERT_EQ(ZS(K427_BuildFList)(), 2);
    // An index past the list is refused before anything is sent.
    EXPECT_EQ(ZS(K427_SelectVirtualDevice)(2, 5), 0);

    // Program 5 is "SLM": its name goes out in UTF-16 after the word 14.
    const std::vector<uint8_t> slm = {14, 0, 'S', 0, 'L', 0, 'M', 0, 0, 0};
    EXPECT_FALSE(contains(driver.bytesWritten("VD000002A"), slm));
    EXPECT_EQ(ZS(K427_SelectVirtualDevice)(1, 5), 1);
    EXPECT_TRUE(contains(driver.bytesWritten("VD000002A"), slm));
    EXPECT_FALSE(contains(driver.bytesWritten("VD000001A"), slm));
    // Re-identified at the same position.
    EXPECT_EQ(ZS(K427_GetDeviceCount)(), 2);
    EXPECT_EQ(ZS(K427_GetDeviceVIN)(1), 0x51002);
    EXPECT_EQ(ZS(K427_GetDeviceVIN)(0), 0x51001);

    const std::vector<uint8_t> switchOff = {19, 0, 0x45, 0x01};
    ZS(K427_SwitchOffVirtualDevice)(0);
    EXPECT_TRUE(contains(driver.bytesWritten("VD000001A"), switchOff));
    EXPECT_FALSE(contains(driver.bytesWritten("VD000002A"), switchOff));
}

} // namespace
} // namespace zs::test

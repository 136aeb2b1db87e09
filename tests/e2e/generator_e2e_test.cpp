// Generators through the shipped library, loaded by name, with the simulated VISA and D2XX
// drivers it finds beside itself under the vendors' names (on Linux the simulated devices may
// be reached through the libftdi stand-in instead).
#include "../../tools/hostlib/zs_host.h"
#include "e2e/sim_d2xx_driver.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using zs::host::Library;

namespace {

#if defined(_WIN64)
const char kVisaSim[] = "visa64.dll";
#elif defined(_WIN32)
const char kVisaSim[] = "visa32.dll";
#else
const char kVisaSim[] = "libvisa.so";
#endif

const char kGeneric[] = "USB0::0x2A8D::0x0001::ZS0001::INSTR";
const char kStanford[] = "USB1::0x2A8D::0x0002::ZS0002::INSTR";

class GeneratorsThroughTheLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        visaReset = visa.get<void (*)()>("ZsSimVisa_Reset");
        addInstrument = visa.get<void (*)(const char*, const char*)>("ZsSimVisa_AddInstrument");
        visaLog = visa.get<int (*)(const char*, char*, uint32_t)>("ZsSimVisa_Log");
        openSessions = visa.get<uint32_t (*)()>("ZsSimVisa_OpenSessions");
        d2xxReset = d2xx.get<void (*)()>("ZsSimD2xx_Reset");
        addModule = d2xx.get<void (*)(const char*, const char*, int)>("ZsSimD2xx_AddOutputModule");
        moduleState = d2xx.get<int (*)(const char*, uint32_t*, uint32_t*, uint32_t*, uint32_t*)>(
            "ZsSimD2xx_ModuleState");
        visaReset();
        d2xxReset();
        addInstrument(kGeneric, "Zentrel Simulation,SG-20,ZS0001,1.0");
        addInstrument(kStanford, "StanfordResearchSystems,DS360,ZS0002,1.0");
        addModule("ZS41000A", "Brevane DOUT20", 1);
        addModule("ZS41000B", "Brevane DOUT20", 0);
    }
    void TearDown() override {
        visaReset();
        d2xxReset();
    }

    std::string name(const Library& lib, int32_t index) {
        ZS_WCHAR buffer[64];
        const int32_t n = ZS_HOST_GET(lib, K427_GetGenName)(index, buffer, 64);
        std::string s;
        for (int32_t i = 0; i < n && buffer[i]; ++i) s += static_cast<char>(buffer[i]);
        return s;
    }
    std::vector<std::string> names(const Library& lib) {
        std::vector<std::string> out;
        for (int32_t i = 0; i < ZS_HOST_GET(lib, K427_GetGenCount)(); ++i)
            out.push_back(name(lib, i));
        return out;
    }
    std::string log(const char* resource) {
        char buffer[4096];
        visaLog(resource, buffer, sizeof buffer);
        return buffer;
    }
    bool moduleHas(const char* serial, uint32_t freqWord, uint32_t levelWord) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            uint32_t f = 0, l = 0;
            moduleState(serial, &f, &l, nullptr, nullptr);
            if (f == freqWord && l == levelWord) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    Library visa{kVisaSim};
    Library d2xx{zs::test::simulatedUsbDriver()};
    void (*visaReset)() = nullptr;
    void (*addInstrument)(const char*, const char*) = nullptr;
    int (*visaLog)(const char*, char*, uint32_t) = nullptr;
    uint32_t (*openSessions)() = nullptr;
    void (*d2xxReset)() = nullptr;
    void (*addModule)(const char*, const char*, int) = nullptr;
    int (*moduleState)(const char*, uint32_t*, uint32_t*, uint32_t*, uint32_t*) = nullptr;
};

const std::vector<std::string> kExpected = {"Zentrel Simulation,SG-20",
                                            "StanfordResearchSystems,DS360",
                                            "Brevane,BRV-AX-410[DIN]", "Brevane,BRV-AX-410[DOUT]"};

// Serial ports of the machine come first in the list when they answer; the simulated
// generators are the last four.
std::vector<std::string> lastFour(const std::vector<std::string>& all) {
    if (all.size() < 4) return all;
    return {all.end() - 4, all.end()};
}

TEST_F(GeneratorsThroughTheLibrary, BuildNameAndSetEveryKind) {
    {
        Library lib;
        const int32_t count = ZS_HOST_GET(lib, K427_BuildGenList)();
        ASSERT_GE(count, 4);
        EXPECT_EQ(ZS_HOST_GET(lib, K427_GetGenCount)(), count);
        EXPECT_EQ(lastFour(names(lib)), kExpected);
        const int32_t first = count - 4;

        auto freq = ZS_HOST_GET(lib, K427_GenSetFreq);
        auto level = ZS_HOST_GET(lib, K427_GenSetLevel);
        auto units = ZS_HOST_GET(lib, K427_GenSetUnits);
        auto offset = ZS_HOST_GET(lib, K427_GenSetOffset);
        auto output = ZS_HOST_GET(lib, K427_GenSetOutputState);
        auto load = ZS_HOST_GET(lib, K427_GenSetOutputLoad);
        auto wave = ZS_HOST_GET(lib, K427_GenSetSignalType);

        // Generic SCPI generator (naming asked it twice; the first setting opens it again).
        EXPECT_EQ(freq(first, 1000.0, 0), 1);
        EXPECT_EQ(freq(first, 1000.0, 1), 1);
        EXPECT_EQ(offset(first, 0.0, 0), 0);
        EXPECT_EQ(wave(first, 3, 0), 0);
        EXPECT_EQ(freq(first, 1000.0, 9), 0);
        EXPECT_EQ(log(kGeneric),
                  "*IDN?\n*IDN?\n*IDN?\nFREQ 1000.000000\nSOURCE2:FREQ 1000.000000\n");

        // "StanfordResearchSystems" generator.
        EXPECT_EQ(units(first + 1, 2, 0), 1);
        EXPECT_EQ(level(first + 1, 0.5, 0), 1);
        EXPECT_EQ(load(first + 1, 50.5, 0), 1);
        EXPECT_EQ(load(first + 1, 75.0, 0), 0);
        EXPECT_EQ(wave(first + 1, 3, 0), 1);
        EXPECT_EQ(offset(first + 1, 0.0, 0), 0);
        EXPECT_EQ(log(kStanford), "*IDN?\n*IDN?\n*IDN?\nAMPL 0.500000 VP\nTERM 0\nFUNC 2\n");

        // Output modules: the settings go out on the modules' status packets.
        EXPECT_EQ(offset(first + 2, 0.0, 0), 1);
        EXPECT_EQ(freq(first + 2, 1000.0, 0), 1);
        EXPECT_EQ(output(first + 2, 1, 0), 1);
        EXPECT_EQ(level(first + 2, 1.0, 0), 1); // -20 dB
        EXPECT_TRUE(moduleHas("ZS41000B", 349525, 0x8028));
        EXPECT_EQ(freq(first + 3, 2000.0, 0), 1);
        EXPECT_EQ(output(first + 3, 1, 0), 1);
        EXPECT_EQ(level(first + 3, 0.0501187, 0), 1); // -46 dB
        EXPECT_TRUE(moduleHas("ZS41000A", 699051, 0x805C));

        // Rebuilding closes everything and finds the same generators: what stays open is
        // one resource manager per generator, nothing else.
        EXPECT_EQ(ZS_HOST_GET(lib, K427_BuildGenList)(), count);
        EXPECT_EQ(lastFour(names(lib)), kExpected);
        EXPECT_EQ(openSessions(), static_cast<uint32_t>(count));
    }
}

} // namespace

#ifdef _WIN32
namespace {

// A SCPI generator on a COM port. Under Wine the port is a pseudo-terminal that
// tests/wine_serial_generator.py serves and maps to a COM port of the test's Wine prefix; it
// gives the identity here and checks afterwards what the generator received.
TEST(SerialGeneratorOnAComPort, FoundNamedAndSet) {
    const char* identity = std::getenv("ZS_WINE_SERIAL_IDENTITY");
    if (!identity) GTEST_SKIP() << "runs under wine_serial_generator.py";
    const std::string full = identity;
    const std::string expected = full.substr(0, full.find(',', full.find(',') + 1));
    Library lib;
    const int32_t count = ZS_HOST_GET(lib, K427_BuildGenList)();
    int32_t index = -1;
    for (int32_t i = 0; i < count; ++i) {
        ZS_WCHAR buffer[64] = {};
        const int32_t n = ZS_HOST_GET(lib, K427_GetGenName)(i, buffer, 64);
        std::string name;
        for (int32_t k = 0; k < n && buffer[k]; ++k) name += static_cast<char>(buffer[k]);
        if (name == expected) index = i;
    }
    ASSERT_GE(index, 0) << expected;
    EXPECT_EQ(ZS_HOST_GET(lib, K427_GenSetFreq)(index, 1000.0, 0), 1);
    EXPECT_EQ(ZS_HOST_GET(lib, K427_GenSetOutputState)(index, 1, 1), 1);
}

} // namespace
#endif

// The generator list through the exports: VISA instruments and output modules on the
// simulated drivers.
#include "generators/generator_fixture.h"

#include <cmath>
#include <gmock/gmock.h>

namespace zs::test {
namespace {

using ::testing::ElementsAre;

const char kGeneric[] = "USB0::0x2A8D::0x0001::ZS0001::INSTR";
const char kStanford[] = "USB0::0x2A8D::0x0002::ZS0002::INSTR";

TEST_F(GeneratorTest, NothingFoundGivesAnEmptyList) {
    EXPECT_EQ(K427_BuildGenList(), 0);
    EXPECT_EQ(K427_GetGenCount(), 0);
    ZS_WCHAR buffer[8] = {'x', 'x', 0};
    EXPECT_EQ(K427_GetGenName(0, buffer, 8), 0);
    EXPECT_EQ(buffer[0], 0) << "no generator: an empty text";
    EXPECT_EQ(buffer[1], 'x');
    EXPECT_EQ(K427_GenSetFreq(0, 1000.0, 0), 0);
}

TEST_F(GeneratorTest, VisaUsbInstrumentsAreListedInOrderAndNamed) {
    sim::SimVisa::instance().addInstrument(kGeneric, "Zentrel Simulation,SG-20,ZS0001,1.0");
    sim::SimVisa::instance().addInstrument("GPIB0::5::INSTR", "Other,GPIB-1,1,1");
    sim::SimVisa::instance().addInstrument(kStanford, "StanfordResearchSystems,DS360,ZS0002,1.0");
    EXPECT_EQ(K427_BuildGenList(), 2);
    EXPECT_EQ(K427_GetGenCount(), 2);
    EXPECT_THAT(names(), ElementsAre("Zentrel Simulation,SG-20", "StanfordResearchSystems,DS360"));
    // Naming opens and closes again: every session but the generators' managers is gone.
    EXPECT_EQ(sim::SimVisa::instance().openSessions(), 2u);
}

TEST_F(GeneratorTest, RebuildingListsTheSameAndClosesWhatItOpened) {
    sim::SimVisa::instance().addInstrument(kGeneric, "Zentrel Simulation,SG-20,ZS0001,1.0");
    addModule("ZS42000A", "Brevane DOUT21", false);
    ASSERT_EQ(K427_BuildGenList(), 2);
    const auto first = names();
    ASSERT_EQ(K427_GenSetFreq(0, 1000.0, 0), 1); // left open
    ASSERT_EQ(K427_GenSetFreq(1, 1000.0, 0), 1); // module open, reader running
    EXPECT_EQ(K427_BuildGenList(), 2);
    EXPECT_EQ(names(), first);
    frame::libraryUnload();
    EXPECT_EQ(sim::SimVisa::instance().openSessions(), 0u);
    sim::SimD2xx::instance().locked([] {
        EXPECT_FALSE(sim::SimD2xx::instance().find("ZS42000A")->open);
        return 0;
    });
    frame::libraryLoad();
}

TEST_F(GeneratorTest, WithoutVisaNoVisaGeneratorAndNoFailure) {
    static const generators::VisaApi none{};
    generators::installVisaForTests(&none);
    sim::SimVisa::instance().addInstrument(kGeneric, "Zentrel Simulation,SG-20,ZS0001,1.0");
    EXPECT_EQ(K427_BuildGenList(), 0);
}

TEST_F(GeneratorTest, TwoChannelModuleIsListedOnceForEachChannel) {
    addModule("ZS41000A", "Brevane DOUT20", true);
    addModule("ZS41000B", "Brevane DOUT20", false);
    addModule("ZS43000", "Brevane DOUT21", false, /*sendsStatus=*/false);
    addModule("ZS44000", "Something else", true);
    ASSERT_EQ(K427_BuildGenList(), 2);
    // Sync-packet modules come before tagged-packet ones.
    EXPECT_THAT(names(), ElementsAre("Brevane,BRV-AX-410[DIN]", "Brevane,BRV-AX-410[DOUT]"));
    sim::SimD2xx::instance().locked([] {
        for (const char* serial : {"ZS41000A", "ZS41000B", "ZS43000", "ZS44000"}) {
            const auto* d = sim::SimD2xx::instance().find(serial);
            EXPECT_FALSE(d->open) << serial << " left open after discovery or naming";
        }
        // The listed modules were set to 115200 bit/s without handshake.
        EXPECT_EQ(sim::SimD2xx::instance().find("ZS41000A")->lineRate, 115200u);
        return 0;
    });
    // The names themselves: "DIN_"/"DOUT_" and the serial number.
    EXPECT_THAT(entryNames(), ElementsAre("DIN_ZS41000B", "DOUT_ZS41000A"));
}

TEST_F(GeneratorTest, QrntDeviceEndsTheScanAndClosesTheOnesBefore) {
    addModule("ZS45000", "Brevane DOUT21", false);
    addModule("ZS46000", "QRNT", false);
    addModule("ZS47000", "Brevane DOUT21", false);
    ASSERT_EQ(K427_BuildGenList(), 1);
    EXPECT_THAT(entryNames(), ElementsAre("DIN_ZS46000"));
    sim::SimD2xx::instance().locked([] {
        auto& sim = sim::SimD2xx::instance();
        const auto* before = sim.find("ZS45000");
        EXPECT_FALSE(before->open);
        EXPECT_EQ(std::count(before->history.begin(), before->history.end(),
                             sim::D2xxCall{sim::D2xxRole::Close}),
                  1);
        EXPECT_TRUE(sim.find("ZS47000")->history.empty()) << "the scan stops at QRNT";
        return 0;
    });
}

TEST_F(GeneratorTest, GenNameBuffersAndIndices) {
    sim::SimVisa::instance().addInstrument(kGeneric, "Zentrel Simulation,SG-20,ZS0001,1.0");
    ASSERT_EQ(K427_BuildGenList(), 1);
    const int32_t full = 24; // "Zentrel Simulation,SG-20"
    ZS_WCHAR buffer[32];
    auto fill = [&] { std::fill(std::begin(buffer), std::end(buffer), ZS_WCHAR('#')); };

    fill();
    EXPECT_EQ(K427_GetGenName(0, buffer, 5), full);
    EXPECT_EQ(buffer[0], 'Z');
    EXPECT_EQ(buffer[3], 't');
    EXPECT_EQ(buffer[4], 0) << "cut texts are terminated";
    EXPECT_EQ(buffer[5], '#');

    // No generator there: an empty text, so a host that ignores the result shows no stale name.
    for (int32_t index : {1, -1, 1000}) {
        fill();
        EXPECT_EQ(K427_GetGenName(index, buffer, 32), 0) << index;
        EXPECT_EQ(buffer[0], 0) << index;
        EXPECT_EQ(buffer[1], '#') << index;
        fill();
        EXPECT_EQ(K427_GetGenName(index, buffer, 0), 0) << index;
        EXPECT_EQ(K427_GetGenName(index, nullptr, 32), 0) << index;
        EXPECT_EQ(buffer[0], '#') << index;
    }
    fill();
    EXPECT_EQ(K427_GetGenName(0, buffer, 0), 0);
    EXPECT_EQ(K427_GetGenName(0, buffer, -3), 0);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(K427_GetGenName(0, nullptr, 32), 0);
}

TEST_F(GeneratorTest, UnansweredVisaInstrumentHasNoName) {
    sim::SimVisa::instance().addInstrument(kGeneric, "Zentrel Simulation,SG-20,ZS0001,1.0").silent =
        true;
    ASSERT_EQ(K427_BuildGenList(), 1);
    ZS_WCHAR buffer[8] = {'#', '#'};
    EXPECT_EQ(K427_GetGenName(0, buffer, 8), 0);
    EXPECT_EQ(buffer[0], 0) << "an empty, terminated text";
}

// The commands each kind of generator gets, through the set exports.
struct Step {
    int32_t (*run)(int32_t channel);
    int32_t channel;
    int32_t result;
    const char* sent; // null: nothing sent
};

int32_t freq1000(int32_t c) {
    return K427_GenSetFreq(0, 1000.0, c);
}
int32_t freq0(int32_t c) {
    return K427_GenSetFreq(0, 0.0, c);
}
int32_t level05(int32_t c) {
    return K427_GenSetLevel(0, 0.5, c);
}
int32_t level0(int32_t c) {
    return K427_GenSetLevel(0, 0.0, c);
}
int32_t offset0(int32_t c) {
    return K427_GenSetOffset(0, 0.0, c);
}
int32_t offset025(int32_t c) {
    return K427_GenSetOffset(0, 0.25, c);
}
int32_t units1(int32_t c) {
    return K427_GenSetUnits(0, 1, c);
}
int32_t units2(int32_t c) {
    return K427_GenSetUnits(0, 2, c);
}
int32_t units3(int32_t c) {
    return K427_GenSetUnits(0, 3, c);
}
int32_t outputOn(int32_t c) {
    return K427_GenSetOutputState(0, 7, c);
}
int32_t outputOff(int32_t c) {
    return K427_GenSetOutputState(0, 0, c);
}
int32_t load50(int32_t c) {
    return K427_GenSetOutputLoad(0, 50.0, c);
}
int32_t load505(int32_t c) {
    return K427_GenSetOutputLoad(0, 50.5, c);
}
int32_t load75(int32_t c) {
    return K427_GenSetOutputLoad(0, 75.0, c);
}
int32_t load150(int32_t c) {
    return K427_GenSetOutputLoad(0, 150.0, c);
}
int32_t load600(int32_t c) {
    return K427_GenSetOutputLoad(0, 600.0, c);
}
int32_t loadHigh(int32_t c) {
    return K427_GenSetOutputLoad(0, -1.0, c);
}
int32_t load1000(int32_t c) {
    return K427_GenSetOutputLoad(0, 1000.0, c);
}
int32_t wave1(int32_t c) {
    return K427_GenSetSignalType(0, 1, c);
}
int32_t wave2(int32_t c) {
    return K427_GenSetSignalType(0, 2, c);
}
int32_t wave3(int32_t c) {
    return K427_GenSetSignalType(0, 3, c);
}
int32_t wave5(int32_t c) {
    return K427_GenSetSignalType(0, 5, c);
}
int32_t wave6(int32_t c) {
    return K427_GenSetSignalType(0, 6, c);
}

const Step kGenericSteps[] = {
    {freq1000, 0, 1, "FREQ 1000.000000"},
    {freq1000, 1, 1, "SOURCE2:FREQ 1000.000000"},
    {freq0, 0, 0, nullptr},
    {level05, 0, 1, "VOLT 0.500000"},
    {level05, 2, 1, "SOURCE3:VOLT 0.500000"},
    {level0, 0, 0, nullptr},
    {offset0, 0, 0, nullptr},
    {offset025, 0, 1, "VOLT:OFFS 0.250000"},
    {offset025, 1, 1, "SOURCE2:VOLT:OFFS 0.250000"},
    {units1, 0, 1, "VOLT:UNIT VRMS"},
    {units2, 1, 1, "SOURCE2:VOLT:UNIT VPP"},
    {units3, 0, 0, nullptr},
    {outputOn, 0, 1, "OUTPUT 1"},
    {outputOff, 1, 1, "OUTPUT2 0"},
    {load50, 0, 1, "OUTPUT:LOAD 50.000"},
    {load505, 2, 1, "OUTPUT3:LOAD 50.500"},
    {loadHigh, 0, 1, "OUTPUT:LOAD INF"},
    {wave1, 0, 1, "FUNC SIN"},
    {wave2, 1, 1, "SOURCE2:FUNC SQU"},
    {wave3, 0, 0, nullptr},
    {freq1000, 8, 1, "SOURCE9:FREQ 1000.000000"},
    {freq1000, 9, 0, nullptr},
    {wave1, 9, 0, nullptr},
    {freq1000, -1, 0, nullptr},
};

const Step kStanfordSteps[] = {
    {freq1000, 0, 1, "FREQ 1000.000000"},
    {freq1000, 1, 1, "SOURCE2:FREQ 1000.000000"},
    {level05, 0, 1, "AMPL 0.500000 VR"},
    {units2, 0, 1, nullptr}, // stored for the next amplitude
    {level05, 3, 1, "AMPL 0.500000 VP"},
    {units3, 0, 1, nullptr},
    {level05, 0, 1, "AMPL 0.500000 VR"},
    {offset0, 0, 0, nullptr},
    {offset025, 1, 1, "OFFS 0.250000"},
    {outputOn, 0, 1, "OUTE 1"},
    {outputOff, 0, 1, "OUTE 0"},
    {load505, 0, 1, "TERM 0"},
    {load75, 0, 0, nullptr},
    {load150, 0, 1, "TERM 1"},
    {load600, 0, 1, "TERM 2"},
    {load1000, 0, 1, "TERM 3"},
    {loadHigh, 0, 1, "TERM 3"},
    {wave3, 0, 1, "FUNC 2"},
    {wave5, 1, 1, "SOURCE2:FUNC 4"},
    {wave1, 0, 1, "FUNC 0"},
    {wave6, 0, 0, nullptr},
    {load505, 9, 0, nullptr},
};

void runSteps(const std::string& resource, const Step* steps, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const Step& s = steps[i];
        const size_t before = sim::SimVisa::instance().log(resource).size();
        EXPECT_EQ(s.run(s.channel), s.result) << "step " << i;
        const auto log = sim::SimVisa::instance().log(resource);
        if (s.sent) {
            ASSERT_EQ(log.size(), before + 1) << "step " << i;
            EXPECT_EQ(log.back(), s.sent) << "step " << i;
        } else {
            EXPECT_EQ(log.size(), before) << "step " << i << " sent " << log.back();
        }
    }
}

TEST_F(GeneratorTest, GenericVisaGeneratorCommands) {
    sim::SimVisa::instance().addInstrument(kGeneric, "Zentrel Simulation,SG-20,ZS0001,1.0");
    ASSERT_EQ(K427_BuildGenList(), 1);
    ASSERT_EQ(K427_GenSetUnits(0, 1, 0), 1); // opens it: "*IDN?" first
    EXPECT_THAT(sim::SimVisa::instance().log(kGeneric), ElementsAre("*IDN?", "VOLT:UNIT VRMS"));
    runSteps(kGeneric, kGenericSteps, std::size(kGenericSteps));
}

TEST_F(GeneratorTest, StanfordVisaGeneratorCommands) {
    sim::SimVisa::instance().addInstrument(kStanford, "StanfordResearchSystems,DS360,ZS0002,1.0");
    ASSERT_EQ(K427_BuildGenList(), 1);
    EXPECT_EQ(K427_GenSetFreq(0, 0.0, 0), 0); // opens it, and refuses the frequency
    EXPECT_THAT(sim::SimVisa::instance().log(kStanford), ElementsAre("*IDN?"));
    runSteps(kStanford, kStanfordSteps, std::size(kStanfordSteps));
}

TEST_F(GeneratorTest, OutputModuleSettingsReachTheModule) {
    auto module = addModule("ZS41000A", "Brevane DOUT20", true);
    ASSERT_EQ(K427_BuildGenList(), 1);
    const struct {
        int32_t result;
        int32_t got;
    } table[] = {
        {1, K427_GenSetOffset(0, 0.0, 0)},
        {0, K427_GenSetOffset(0, 0.1, 0)},
        {1, K427_GenSetUnits(0, 1, 0)},
        {0, K427_GenSetUnits(0, 2, 0)},
        {1, K427_GenSetOutputLoad(0, -1.0, 0)},
        {0, K427_GenSetOutputLoad(0, 50.0, 0)},
        {1, K427_GenSetSignalType(0, 1, 0)},
        {0, K427_GenSetSignalType(0, 2, 0)},
        {0, K427_GenSetLevel(0, 0.0, 0)},
        {0, K427_GenSetFreq(0, 1000.0, 9)},
        {1, K427_GenSetFreq(0, 2000.0, 0)},
        {1, K427_GenSetLevel(0, 1.0, 0)}, // -20 dB
        {1, K427_GenSetOutputState(0, 1, 0)},
        // Frequencies no module can take are refused and leave the 2000 Hz setting in place.
        {0, K427_GenSetFreq(0, -1000.0, 0)},
        {0, K427_GenSetFreq(0, std::nan(""), 0)},
        {0, K427_GenSetFreq(0, HUGE_VAL, 0)},
        {0, K427_GenSetFreq(0, -HUGE_VAL, 0)},
    };
    for (size_t i = 0; i < std::size(table); ++i) EXPECT_EQ(table[i].got, table[i].result) << i;
    EXPECT_TRUE(eventually([&] { return module->freqWord == 699051u; }));
    EXPECT_TRUE(eventually([&] { return module->levelWord == 0x8028; }));
}

} // namespace
} // namespace zs::test

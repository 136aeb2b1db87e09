// The USB list builders, the list release and reconnection, against the simulated D2XX with
// simulated instruments.
#include "discovery/usb_lists.h"
#include "frame/library.h"
#include "instrument_records.h"
#include "sim_d2xx.h"
#include "sim_ftdi_instrument.h"
#include "transport/d2xx.h"

#include <gtest/gtest.h>
#include <iterator>

namespace zs::test {
namespace {

using discovery::classifyFtdi;
using frame::DevStruct;
using sim::D2xxRole;
using sim::FtdiInstrument;
using sim::SimD2xx;
using Family = FtdiInstrument::Family;

TEST(FtdiClassification, DescriptionAndSerialGiveTheLinkKind) {
    struct Case {
        const char* description;
        const char* serial;
        std::optional<transport::LinkKind> linkKind; // none: refused
        bool multiDout;
    };
    using K = transport::LinkKind;
    const Case cases[] = {
        {"Brevane DOUT20", "FT12345A", K::FtdiDirect, false},
        {"Brevane DOUT20", "FT12345B", K::FtdiDirectSync, false},
        {"Brevane DOUT20", "FT1234A", std::nullopt, false}, // 7 characters name no channel
        {"Brevane DOUT20", "FT12345C", std::nullopt, false},
        {"Brevane DOUT21", "FT12345A", K::FtdiDirectSync, false},
        {"Brevane WIFI53", "FT12345A", K::FtdiPacketSwitched, false},
        {"Brevane WIFI53", "FT12345B", K::FtdiPacketSwitchedSync, false},
        {"Brevane WIFI54", "FT12345A", K::FtdiPacketSwitchedSync, false},
        {"QRNT", "X", K::FtdiDirectSync, false},
        {"QRNT", "", K::FtdiDirectSync, false},
        {"MultiDOUT Ports3,4", "FT12345A", K::FtdiDirect, true},
        {"MultiDOUT Ports9,10", "FT12345B", K::FtdiDirect, true},
        {"MultiDOUT Ports2,3", "FT12345A", std::nullopt, false},
        {"MultiDOUT Ports11,12", "FT12345A", std::nullopt, false},
        {"MultiDOUT Ports3,5", "FT12345A", std::nullopt, false},
        {"MultiDOUT Ports3", "FT12345A", std::nullopt, false},
        {"Brevane L700", "FT12345A", std::nullopt, false},
        {"brevane dout20", "FT12345A", std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.description) + " / " + c.serial);
        const auto kind = classifyFtdi(c.description, c.serial);
        ASSERT_EQ(kind.has_value(), c.linkKind.has_value());
        if (!kind) continue;
        EXPECT_EQ(kind->linkKind, *c.linkKind);
        EXPECT_EQ(kind->multiDout, c.multiDout);
    }
}

std::vector<uint8_t> record(uint16_t type, uint16_t program, uint32_t serial) {
    return sim::identificationRecord(sim::referenceDescription(), type, program, serial);
}

FtdiInstrument tagged(uint32_t rate, uint32_t serial) {
    FtdiInstrument m;
    m.family = Family::Tagged;
    m.rate = rate;
    m.record = record(28, 40, serial);
    return m;
}

class UsbLists : public ::testing::Test {
  protected:
    void SetUp() override {
        SimD2xx::instance().reset();
        transport::installD2xxForTests(&SimD2xx::table());
        frame::libraryLoad();
    }
    void TearDown() override {
        frame::libraryUnload();
        transport::installD2xxForTests(nullptr);
        SimD2xx::instance().reset();
    }
    std::shared_ptr<FtdiInstrument> plug(const char* serial, const char* description,
                                         FtdiInstrument model) {
        auto& device = SimD2xx::instance().addDevice(serial, description);
        auto instrument = FtdiInstrument::attach(device, std::move(model));
        instruments.push_back(instrument);
        return instrument;
    }
    static std::shared_ptr<DevStruct> at(size_t position) {
        return *std::next(frame::lib().devices.begin(), static_cast<long>(position));
    }
    static bool isOpen(const char* serial) {
        return SimD2xx::instance().locked([&] { return SimD2xx::instance().find(serial)->open; });
    }
    std::vector<std::shared_ptr<FtdiInstrument>> instruments;
};

TEST_F(UsbLists, BuildFListKeepsAcceptedDevicesInIndexOrderAndClosesTheRest) {
    plug("FT00001A", "Brevane DOUT20", tagged(2304000, 0x00031001));
    plug("FT0002A", "Brevane DOUT20", tagged(2304000, 0x00031002)); // 7 characters
    plug("FT00003A", "MultiDOUT Ports2,3", tagged(2304000, 0x00031003));
    plug("FT00004A", "Brevane DOUT20", tagged(2304000, 0x00031004))->rate = 9600; // silent
    plug("FT00005A", "Brevane DOUT20", tagged(2048000, 0x00031005));
    SimD2xx::instance().addDevice("FT00006A", "Brevane DOUT20").failingRoles =
        sim::roleBit(D2xxRole::Open);
    SimD2xx::instance().addDevice("FT00007A", "Brevane DOUT20").failingRoles =
        sim::roleBit(D2xxRole::Configuration);

    EXPECT_EQ(frame::lib().descriptionLoaded, 0);
    EXPECT_EQ(discovery::buildFList(), 2);
    EXPECT_EQ(frame::lib().descriptionLoaded, 1);
    ASSERT_EQ(frame::lib().devices.size(), 2u);
    EXPECT_EQ(at(0)->state.serialNumber, 0x00031001u);
    EXPECT_EQ(at(1)->state.serialNumber, 0x00031005u);
    EXPECT_EQ(at(1)->baudRate, 2048000u);
    for (const char* closed : {"FT0002A", "FT00003A", "FT00004A", "FT00006A", "FT00007A"})
        EXPECT_FALSE(isOpen(closed)) << closed;

    // A second build appends only what is new; the listed devices stay where they are.
    const auto first = at(0);
    plug("FT00008B", "QRNT", [] {
        FtdiInstrument m;
        m.family = Family::Sync;
        m.rate = 230400;
        m.streams = true; // at this stage's rate the instrument talks unasked
        m.record = record(38, 7, 0x00031008);
        return m;
    }());
    ASSERT_EQ(discovery::buildFList(), 3);
    EXPECT_EQ(at(0), first);
    EXPECT_EQ(at(2)->linkKind, transport::LinkKind::FtdiDirectSync);
    EXPECT_EQ(at(2)->state.deviceType, 38);
}

TEST_F(UsbLists, BuildersReturnZeroWithoutDevicesOrDriver) {
    EXPECT_EQ(discovery::buildFList(), 0);
    EXPECT_EQ(discovery::buildQM730List(), 0);
    SimD2xx::instance().addDevice("FT00001A", "Brevane DOUT20").failingRoles =
        sim::roleBit(D2xxRole::Count);
    EXPECT_EQ(discovery::buildFList(), 0);
    EXPECT_EQ(discovery::buildL700List(), 0);
    EXPECT_TRUE(frame::lib().devices.empty());
}

TEST_F(UsbLists, QM730ListTakesOnlyItsGenerators) {
    plug("FT00001A", "Brevane DOUT20", tagged(2304000, 1));
    auto generator = tagged(115200, 2);
    generator.record = record(143, 143, 2);
    plug("QM000002", "Brevane QM730", generator);
    EXPECT_EQ(discovery::buildQM730List(), 1);
    ASSERT_EQ(frame::lib().devices.size(), 1u);
    EXPECT_EQ(at(0)->linkKind, transport::LinkKind::FtdiDirect);
    EXPECT_EQ(at(0)->state.deviceType, 143);
    EXPECT_FALSE(isOpen("FT00001A"));
    // Nothing new: 0, and the list stays.
    EXPECT_EQ(discovery::buildQM730List(), 0);
    EXPECT_EQ(frame::lib().devices.size(), 1u);
}

TEST_F(UsbLists, L700ListIdentifiesAStreamingInstrumentAtItsPresetRate) {
    auto l700 = tagged(768000, 0x00031009);
    l700.streams = true; // talks unasked once its rate is set
    plug("L7000001", "Brevane L700", l700);
    plug("FT00001A", "Brevane DOUT20", tagged(2304000, 1));
    EXPECT_EQ(discovery::buildL700List(), 1);
    ASSERT_EQ(frame::lib().devices.size(), 1u);
    EXPECT_EQ(at(0)->linkKind, transport::LinkKind::FtdiDirect);
    EXPECT_EQ(at(0)->state.serialNumber, 0x00031009u);
    EXPECT_EQ(at(0)->baudRate, 115200u); // the acknowledge stage's rate, as applied
}

TEST_F(UsbLists, FreeFListSwitchesStreamsOffAndEmptiesTheList) {
    plug("FT00001A", "Brevane DOUT20", tagged(2304000, 1));
    ASSERT_EQ(discovery::buildFList(), 1);
    const auto record = at(0);
    const size_t before = SimD2xx::instance().locked(
        [&] { return SimD2xx::instance().find("FT00001A")->written.size(); });
    discovery::freeFList();
    EXPECT_TRUE(frame::lib().devices.empty());
    const auto written =
        SimD2xx::instance().locked([&] { return SimD2xx::instance().find("FT00001A")->written; });
    ASSERT_GT(written.size(), before);
    EXPECT_EQ(written.back(), 0x2A); // the tagged family's stream-off command
    discovery::freeFList();          // twice, and on an empty list
    EXPECT_TRUE(frame::lib().devices.empty());
}

TEST_F(UsbLists, ReconnectsKeepThePositionAndTheSkipCounterWalksOnwards) {
    plug("FT00001A", "Brevane DOUT20", tagged(2304000, 0x00031001));
    ASSERT_EQ(discovery::buildFList(), 1);
    const auto record = at(0);
    // A second acceptable device, plugged after the build.
    plug("FT00002A", "Brevane DOUT20", tagged(2304000, 0x00031002));

    EXPECT_EQ(discovery::reconnectDevice(1), 0); // no such position
    EXPECT_EQ(discovery::reconnectDevice(0x80000000u | 1), 0);

    const auto handle = record->ftdiHandle;
    EXPECT_EQ(discovery::reconnectDevice(0x80000000u), 1); // soft: same handle
    EXPECT_EQ(record->ftdiHandle, handle);
    EXPECT_EQ(record->linkState, -1);
    EXPECT_EQ(record->state.serialNumber, 0x00031001u);
    EXPECT_EQ(frame::lib().reconnectSkip, 0u);

    // Full: counter 0 takes the first device, then 1 passes over it to the second, then 2
    // finds none, starts again at 0 and takes the first.
    const uint32_t expected[] = {0x00031001, 0x00031002, 0x00031001};
    const uint32_t counter[] = {1, 2, 1};
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(discovery::reconnectDevice(0), 1);
        ASSERT_EQ(frame::lib().devices.size(), 1u);
        EXPECT_EQ(at(0), record);
        EXPECT_EQ(record->state.serialNumber, expected[round]);
        EXPECT_EQ(frame::lib().reconnectSkip, counter[round]);
    }
    const auto history =
        SimD2xx::instance().locked([&] { return SimD2xx::instance().find("FT00002A")->history; });
    EXPECT_NE(std::find(history.begin(), history.end(), sim::D2xxCall{D2xxRole::Reset}),
              history.end()); // a full reconnect resets the device it lets go
}

TEST_F(UsbLists, FullReconnectThatFindsNothingKeepsTheRecordListed) {
    plug("FT00001A", "Brevane DOUT20", tagged(2304000, 1));
    ASSERT_EQ(discovery::buildFList(), 1);
    SimD2xx::instance().locked([&] { SimD2xx::instance().find("FT00001A")->present = false; });
    EXPECT_EQ(discovery::reconnectDevice(0), 0);
    ASSERT_EQ(frame::lib().devices.size(), 1u);
    EXPECT_EQ(at(0)->linkState, -1);
    // Later builds leave it alone rather than dropping it from its position.
    EXPECT_EQ(discovery::buildFList(), 1);
    EXPECT_EQ(frame::lib().devices.size(), 1u);
}

// Pulled out while listed, then plugged back: the record that lost its handle is still its
// instrument's record and reopens that instrument by serial number, whichever other
// acceptable device now comes first, on a full or a soft reconnect.
TEST_F(UsbLists, RecordWhoseReconnectFailedReopensItsInstrumentOncePluggedBack) {
    for (const uint32_t soft : {0u, 0x80000000u}) {
        SCOPED_TRACE(soft ? "soft" : "full");
        SimD2xx::instance().reset();
        instruments.clear();
        frame::lib().reconnectSkip = 0;
        plug("FT00001A", "Brevane DOUT20", tagged(2304000, 0x00031001));
        ASSERT_EQ(discovery::buildFList(), 1);
        const auto record = at(0);
        auto unplugged = [](bool gone) {
            SimD2xx::instance().locked(
                [&] { SimD2xx::instance().find("FT00001A")->present = !gone; });
        };
        unplugged(true);
        EXPECT_EQ(discovery::reconnectDevice(0), 0);
        EXPECT_FALSE(record->hasFtdi());
        EXPECT_EQ(discovery::reconnectDevice(0), 0) << "still out";
        // Another instrument is plugged in meanwhile; it must not be taken over.
        plug("FT00000A", "Brevane DOUT20", tagged(2304000, 0x00031000));
        unplugged(false);
        EXPECT_EQ(discovery::reconnectDevice(soft), 1);
        ASSERT_EQ(frame::lib().devices.size(), 1u);
        EXPECT_EQ(at(0), record);
        EXPECT_TRUE(record->hasFtdi());
        EXPECT_TRUE(isOpen("FT00001A"));
        EXPECT_FALSE(isOpen("FT00000A"));
        EXPECT_EQ(record->linkState, -1);
        EXPECT_EQ(record->state.serialNumber, 0x00031001u);
        discovery::freeFList();
    }
}

} // namespace
} // namespace zs::test

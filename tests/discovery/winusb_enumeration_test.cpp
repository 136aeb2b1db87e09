// WinUSB instruments found through the simulated enumeration and identified in 512-byte
// frames, with records built from the reference description.
#include "description_json.h"
#include "description_source.h"
#include "discovery/winusb_enumeration.h"
#include "frame/library.h"
#include "record_encoder.h"
#include "sim_d2xx.h"
#include "sim_winusb.h"
#include "sim_winusb_instrument.h"
#include "transport/d2xx.h"
#include "transport/sim_fixtures.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace zs::test {
namespace {

using discovery::enumerateWinUsb;
using frame::DevStruct;
using sim::SimWinUsb;
using sim::SimWinUsbDevice;
using sim::WinUsbInstrument;

std::vector<uint8_t> record(uint16_t type, uint16_t program, uint32_t serial) {
    static const zsdesc::Description d = [] {
        std::ifstream in("TeleDescFile.json");
        return zsdesc::descriptionFromJson(nlohmann::json::parse(in));
    }();
    for (const auto& layout : d.layouts) {
        if (layout.typeCode != type) continue;
        sim::RecordContent content;
        content.deviceType = type;
        content.programNumber = program;
        content.serialNumber = serial;
        return sim::encodeRecord(layout.words, layout.wideColumns, content,
                                 layout.recordSize.value_or(0));
    }
    throw std::runtime_error("no layout for the type");
}

WinUsbInstrument instrument(uint16_t type, uint16_t program, uint32_t serial) {
    WinUsbInstrument m;
    m.deviceType = type;
    m.serialNumber = serial;
    m.record = record(type, program, serial);
    return m;
}

// Every case runs through each WinUSB binding.
class WinUsbEnumeration : public ::testing::TestWithParam<WinUsbBinding> {
  protected:
    void SetUp() override {
        sim::SimD2xx::instance().reset();
        transport::installD2xxForTests(&sim::SimD2xx::table());
        SimWinUsb::instance().reset();
        installWinUsbBinding(GetParam());
        frame::libraryLoad();
    }
    void TearDown() override {
        frame::libraryUnload();
        transport::installWinUsbForTests(nullptr);
        SimWinUsb::instance().reset();
        transport::installD2xxForTests(nullptr);
        sim::SimD2xx::instance().reset();
    }

    static SimWinUsbDevice& add(const char16_t* path) {
        return SimWinUsb::instance().addDevice(path);
    }
};
INSTANTIATE_TEST_SUITE_P(Bindings, WinUsbEnumeration, ::testing::ValuesIn(winUsbBindings()),
                         winUsbBindingName);

// Every instrument that completes the exchange is appended with its handles; one that does
// not greet, or whose interface cannot be initialised, is closed again and left out.
TEST_P(WinUsbEnumeration, AppendsEveryInstrumentThatCompletesTheExchange) {
    auto& analyser = add(u"\\\\?\\usb#sim#1");
    auto a = WinUsbInstrument::attach(analyser, instrument(28, 41, 0x00031001));
    auto& mute = add(u"\\\\?\\usb#sim#2");
    auto silent = instrument(28, 40, 0x00031002);
    silent.greets = false;
    WinUsbInstrument::attach(mute, silent);
    auto& broken = add(u"\\\\?\\usb#sim#3");
    WinUsbInstrument::attach(broken, instrument(28, 40, 0x00031003));
    broken.failingCalls = sim::winUsbBit(sim::WinUsbCall::Initialize);
    auto& seismic = add(u"\\\\?\\usb#sim#4");
    WinUsbInstrument::attach(seismic, instrument(43, 42, 0x00051001));

    enumerateWinUsb();

    auto& list = frame::lib().devices;
    ASSERT_EQ(list.size(), 2u);
    const DevStruct& first = *list.front();
    EXPECT_EQ(first.state.deviceType, 28);
    EXPECT_EQ(first.state.programNumber, 41);
    EXPECT_EQ(first.state.serialNumber, 0x00031001u);
    EXPECT_EQ(first.state.decodeCount, 1u);
    EXPECT_NE(first.winUsbHandle, nullptr);
    EXPECT_NE(first.winUsbFile, transport::kInvalidFile);
    EXPECT_EQ(first.linkKind, transport::LinkKind::NoneOrWinUsb);
    EXPECT_EQ(first.linkState, 0);
    EXPECT_EQ(a->descriptionRequests, 1u);
    const DevStruct& last = *list.back();
    EXPECT_EQ(last.state.deviceType, 43);
    EXPECT_EQ(last.state.programNumber, 42);
    EXPECT_EQ(last.state.decodeCount, 1u);

    SimWinUsb::instance().locked([&] {
        EXPECT_EQ(mute.freeCalls, 1u);
        EXPECT_EQ(mute.fileCloses, 1u);
        // The read that waited for the greeting was withdrawn before its frame went.
        EXPECT_EQ(mute.abandonedTransfers, 0u);
        EXPECT_EQ(broken.initializeCalls, 0u);
        EXPECT_EQ(broken.fileCloses, 1u);
        EXPECT_EQ(analyser.freeCalls, 0u);
        // The opening frames: 65 AF 02 80 0A 00, then the same with 13 14 as second word.
        ASSERT_GE(analyser.written.size(), 2u);
        const std::vector<uint8_t> head = {0x65, 0xAF, 0x02, 0x80, 0x0A, 0x00, 0x00, 0x00};
        EXPECT_EQ(
            std::vector<uint8_t>(analyser.written[0].begin(), analyser.written[0].begin() + 8),
            head);
        EXPECT_EQ(analyser.written[1][2], 0x13);
        EXPECT_EQ(analyser.written[1][3], 0x14);
        EXPECT_EQ(analyser.written[0].size(), 512u);
    });
}

// A given record is bound to the instrument found instead of a new one being appended, also
// when its type has no layout to decode the record with.
TEST_P(WinUsbEnumeration, BindsTheInstrumentToAGivenRecord) {
    WinUsbInstrument model;
    model.deviceType = 77;
    model.serialNumber = 0x00031004;
    model.record = {77, 0, 9, 0, 0, 0, 0, 0};
    WinUsbInstrument::attach(add(u"\\\\?\\usb#sim#1"), model);
    auto given = std::make_shared<DevStruct>();

    enumerateWinUsb(given);

    EXPECT_TRUE(frame::lib().devices.empty());
    EXPECT_EQ(given->state.deviceType, 77);
    EXPECT_EQ(given->state.programNumber, 9);
    EXPECT_NE(given->winUsbHandle, nullptr);
}

// A description frame with bit 15 set ends the transfer with its own word count: the
// frame after it stays unread.
// A count past the frame's 254 words (255) takes no byte from beyond the frame.
TEST_P(WinUsbEnumeration, FrameWithEndBitEndsTheDescriptionTransfer) {
    for (uint32_t words : {3u, 255u}) {
        SCOPED_TRACE(words);
        frame::lib().devices.clear();
        SimWinUsb::instance().reset();
        auto& device = add(u"\\\\?\\usb#sim#1");
        auto model = instrument(28, 41, 0x00031005);
        model.lastFrameWords = words;
        WinUsbInstrument::attach(device, model);

        enumerateWinUsb();

        ASSERT_EQ(frame::lib().devices.size(), 1u);
        EXPECT_EQ(frame::lib().devices.front()->state.programNumber, 41);
        SimWinUsb::instance().locked([&] { EXPECT_EQ(device.input.size(), 1u); });
    }
}

} // namespace
} // namespace zs::test

namespace zs::test {
namespace {

// The identity frame's serial number stands when the record's layout carries none (type
// 5), and gives way to the record's own (type 28).
TEST_P(WinUsbEnumeration, IdentityFrameSerialIsKeptUnlessTheRecordCarriesOne) {
    auto meter = instrument(5, 5, 0x00031007);
    WinUsbInstrument::attach(add(u"\\\\?\\usb#sim#1"), meter);
    auto analyser = instrument(28, 40, 0x00031008);
    analyser.record = record(28, 40, 0x00031009);
    WinUsbInstrument::attach(add(u"\\\\?\\usb#sim#2"), analyser);

    enumerateWinUsb();

    ASSERT_EQ(frame::lib().devices.size(), 2u);
    EXPECT_EQ(frame::lib().devices.front()->state.deviceType, 5);
    EXPECT_EQ(frame::lib().devices.front()->state.serialNumber, 0x00031007u);
    EXPECT_EQ(frame::lib().devices.back()->state.serialNumber, 0x00031009u);
}

} // namespace
} // namespace zs::test

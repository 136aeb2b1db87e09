// The D2XX roles on libftdi, against the libftdi stand-in on simulated devices: what D2XX
// does that libftdi has no single call for (channels listed apart, the configuration block,
// the queue, overlapped reads) and the failures.
#ifndef _WIN32
#include "platform/overlapped.h"
#include "sim_fixtures.h"
#include "support/eventually.h"
#include "transport/linux/libftdi.h"

#include <array>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace zs::test {
namespace {

using sim::D2xxCall;
using sim::D2xxRole;
using sim::SimD2xx;
using sim::SimD2xxDevice;
using ::testing::UnorderedElementsAre;
using transport::d2xx;
using transport::FtHandle;
using transport::kNoFtdiHandle;

class LibFtdiBinding : public SimD2xxTest {
  protected:
    void SetUp() override {
        SimD2xxTest::SetUp();
        installFtdiBinding(FtdiBinding::LibFtdi);
    }
    void TearDown() override {
        for (FtHandle h : opened) d2xx().close(h);
        SimD2xxTest::TearDown();
    }

    FtHandle open(const char* name, uint32_t flags = transport::kD2xxOpenFlags) {
        FtHandle h = d2xx().open(name, 0xC0000000, 0, nullptr, 3, flags, nullptr);
        if (h != kNoFtdiHandle) opened.push_back(h);
        return h;
    }
    void close(FtHandle h) {
        std::erase(opened, h);
        EXPECT_EQ(d2xx().close(h), 1);
    }
    SimD2xxDevice& add(const char* serial, const char* description) {
        return SimD2xx::instance().addDevice(serial, description);
    }
    uint32_t queued(FtHandle h) {
        uint32_t n = 0;
        d2xx().queue(h, &n);
        return n;
    }
    std::vector<std::string> listed() {
        uint32_t count = 0;
        EXPECT_EQ(d2xx().count(&count, nullptr, transport::kD2xxListNumberOnly), 0u);
        std::vector<std::string> serials;
        for (uint32_t i = 0; i < count; ++i) {
            std::array<char, 128> buffer{};
            EXPECT_EQ(d2xx().serial(reinterpret_cast<void*>(static_cast<uintptr_t>(i)),
                                    buffer.data(), transport::kD2xxListSerialByIndex),
                      0u);
            serials.emplace_back(buffer.data());
        }
        return serials;
    }

    std::vector<FtHandle> opened;
};

// A dual-channel chip is listed once per channel, as D2XX names them, and each channel opens
// on its own interface with a configuration block of its own.
TEST_F(LibFtdiBinding, ChannelsOfOneChipAreListedAndOpenedApart) {
    add("DC000001A", "Dual probe A");
    SimD2xxDevice& b = add("DC000001B", "Dual probe B");
    add("SG000002", "Single probe");
    EXPECT_THAT(listed(), UnorderedElementsAre("DC000001A", "DC000001B", "SG000002"));

    const FtHandle hb = open("DC000001B");
    ASSERT_NE(hb, kNoFtdiHandle);
    const uint8_t bytes[] = {1, 2, 3};
    uint32_t n = 0;
    ASSERT_TRUE(d2xx().write(hb, const_cast<uint8_t*>(bytes), 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(b.written, (std::vector<uint8_t>{1, 2, 3}));

    struct Case {
        FtHandle handle;
        const char *serial, *description;
        uint16_t product;
    };
    const FtHandle ha = open("Dual probe A", 2); // by description
    const FtHandle hs = open("SG000002");
    ASSERT_NE(ha, kNoFtdiHandle);
    ASSERT_NE(hs, kNoFtdiHandle);
    for (const Case& c : {Case{ha, "DC000001A", "Dual probe A", 0x6010},
                          Case{hb, "DC000001B", "Dual probe B", 0x6010},
                          Case{hs, "SG000002", "Single probe", 0x6001}}) {
        SCOPED_TRACE(c.serial);
        std::array<char, 256> manufacturer{}, manufacturerId{}, description{}, serial{};
        transport::D2xxProgramData data;
        data.manufacturer = manufacturer.data();
        data.manufacturerId = manufacturerId.data();
        data.description = description.data();
        data.serialNumber = serial.data();
        ASSERT_EQ(d2xx().configuration(c.handle, &data), 0u);
        EXPECT_STREQ(serial.data(), c.serial);
        EXPECT_STREQ(description.data(), c.description);
        EXPECT_STREQ(manufacturer.data(), "FTDI");
        EXPECT_EQ(std::string(manufacturerId.data()), std::string(c.serial, 2));
        EXPECT_EQ(data.vendorId, 0x0403);
        EXPECT_EQ(data.productId, c.product);
    }
}

TEST_F(LibFtdiBinding, WhatCannotBeOpenedGivesNoHandle) {
    add("SG000001", "Single probe").failingRoles = sim::roleBit(D2xxRole::Open);
    add("SG000002", "Single probe");
    EXPECT_EQ(open("SG000001"), kNoFtdiHandle);
    EXPECT_EQ(open("NOSUCH01"), kNoFtdiHandle);
    ASSERT_NE(open("SG000002"), kNoFtdiHandle);
    EXPECT_EQ(open("SG000002"), kNoFtdiHandle); // already open
    // Calls on a handle the binding never gave out.
    int stranger = 0;
    uint32_t n = 7;
    EXPECT_EQ(d2xx().queue(&stranger, &n), 1u);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(d2xx().rate(&stranger, 9600), 1u);
    EXPECT_EQ(d2xx().close(&stranger), 0);
}

// The reader thread queues what the chip delivers; a read takes it, an overlapped read asked
// for more is pending until the rest has come.
TEST_F(LibFtdiBinding, ReadsTakeWhatTheReaderQueuedAndOverlappedReadsWaitForTheRest) {
    SimD2xxDevice& d = add("SG000001", "Single probe");
    const FtHandle h = open("SG000001");
    ASSERT_NE(h, kNoFtdiHandle);
    SimD2xx::instance().locked([&] {
        d.queue({10, 11, 12});
        return 0;
    });
    ASSERT_TRUE(eventually([&] { return queued(h) == 3; }));

    uint8_t in[8] = {};
    uint32_t n = 0;
    ASSERT_TRUE(d2xx().read(h, in, 2, &n, nullptr));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(in[0], 10);
    EXPECT_EQ(in[1], 11);

    platform::Overlapped io;
    EXPECT_FALSE(d2xx().read(h, in, 4, &n, io.system()));
    EXPECT_EQ(d2xx().lastError(h), platform::kErrorIoPending);
    EXPECT_FALSE(d2xx().result(h, io.system(), &n, 0));
    EXPECT_EQ(d2xx().lastError(h), platform::kErrorIoIncomplete);
    SimD2xx::instance().locked([&] {
        d.queue({13, 14, 15, 16});
        return 0;
    });
    ASSERT_TRUE(eventually([&] { return d2xx().result(h, io.system(), &n, 0) != 0; }));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::vector<uint8_t>(in, in + 4), (std::vector<uint8_t>{12, 13, 14, 15}));
    EXPECT_TRUE(eventually([&] { return queued(h) == 1; }));
}

// The reset empties what was queued; a pulled-out chip fails the queue call and transfers,
// and its handle still closes.
TEST_F(LibFtdiBinding, ResetEmptiesTheQueueAndAPulledChipFails) {
    SimD2xxDevice& d = add("SG000001", "Single probe");
    const FtHandle h = open("SG000001");
    ASSERT_NE(h, kNoFtdiHandle);
    SimD2xx::instance().locked([&] {
        d.queue({1, 2, 3});
        return 0;
    });
    ASSERT_TRUE(eventually([&] { return queued(h) == 3; }));
    EXPECT_EQ(d2xx().reset(h), 0u);
    EXPECT_EQ(queued(h), 0u);
    EXPECT_EQ(SimD2xx::instance().locked([&] { return d.history.back(); }),
              (D2xxCall{D2xxRole::Reset}));

    SimD2xx::instance().locked([&] {
        d.present = false;
        return 0;
    });
    uint32_t n = 0;
    EXPECT_TRUE(eventually([&] { return d2xx().queue(h, &n) == 4u; }));
    const uint8_t byte = 0;
    EXPECT_FALSE(d2xx().write(h, const_cast<uint8_t*>(&byte), 1, &n, nullptr));
    EXPECT_EQ(n, 0u);
    close(h);
}

// The chip requests carry D2XX's values: rates (a refused one answers 7), flow control with
// its characters, bit modes and DTR.
TEST_F(LibFtdiBinding, ControlCallsReachTheChipWithD2xxValues) {
    SimD2xxDevice& d = add("SG000001", "Single probe");
    d.refusedRates.insert(1234567);
    const FtHandle h = open("SG000001");
    ASSERT_NE(h, kNoFtdiHandle);
    for (uint32_t rate : {2304000u, 1728000u, 3000000u}) {
        EXPECT_EQ(d2xx().rate(h, rate), 0u);
        EXPECT_EQ(d.lineRate, rate);
    }
    EXPECT_EQ(d2xx().rate(h, 1234567), transport::kD2xxRateRefused);
    transport::D2xxLineSettings line;
    ASSERT_TRUE(d2xx().getLineSettings(h, &line));
    EXPECT_EQ(line.baudRate, 3000000u); // the rate last set, which the chip cannot report
    EXPECT_EQ(d2xx().flow(h, 0x0400, 0x11, 0x13), 0u);
    EXPECT_EQ(d2xx().bitMode(h, 0x20, 4), 0u);
    EXPECT_EQ(d2xx().bitMode(h, 0x20, 0), 0u);
    EXPECT_EQ(d2xx().lineLow(h), 0u);
    EXPECT_EQ(d2xx().lineHigh(h), 0u);
    std::vector<D2xxCall> controls;
    for (const D2xxCall& c : d.history)
        if (c.role != D2xxRole::Open && c.role != D2xxRole::Rate) controls.push_back(c);
    EXPECT_EQ(controls, (std::vector<D2xxCall>{{D2xxRole::Flow, 0x0400},
                                               {D2xxRole::BitMode, 0x20, 4},
                                               {D2xxRole::BitMode, 0x20, 0},
                                               {D2xxRole::LineLow},
                                               {D2xxRole::LineHigh}}));
}

TEST(LibFtdiLibrary, AMissingLibraryBindsNothing) {
    EXPECT_FALSE(transport::bindLibFtdi("libzs-no-such-ftdi.so.2").has_value());
}

} // namespace
} // namespace zs::test
#endif

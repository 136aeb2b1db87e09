#include "platform/clock.h"
#include "platform/dynlib.h"
#include "transport/d2xx.h"
#include "transport/ftdi_transport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace zs::test {
namespace {

using ::testing::ElementsAre;

// The simulated driver built as a shared library under the vendor's name sits beside the
// test program; the production binding finds it by name, as the shipped library does.
class ProductionD2xxBinding : public ::testing::Test {
  protected:
    void SetUp() override {
        transport::installD2xxForTests(nullptr);
        lib = platform::openVendorLibrary(transport::kD2xxLibraryName);
        ASSERT_TRUE(lib) << "simulated " << transport::kD2xxLibraryName << " not found";
        reset = fn<void (*)()>("ZsSimD2xx_Reset");
        addDevice = fn<void (*)(const char*, const char*)>("ZsSimD2xx_AddDevice");
        queueInput = fn<int (*)(const char*, const uint8_t*, uint32_t)>("ZsSimD2xx_QueueInput");
        written = fn<int (*)(const char*, uint8_t*, uint32_t)>("ZsSimD2xx_Written");
        lineRate = fn<uint32_t (*)(const char*)>("ZsSimD2xx_LineRate");
        refuseRate = fn<void (*)(const char*, uint32_t)>("ZsSimD2xx_RefuseRate");
        reset();
    }
    void TearDown() override {
        transport::installD2xxForTests(nullptr);
        if (reset) reset();
    }
    template <class F>
    F fn(const char* name) {
        void* p = lib->symbol(name);
        EXPECT_NE(p, nullptr) << name;
        return reinterpret_cast<F>(p);
    }
    std::vector<uint8_t> writtenTo(const char* serial) {
        std::vector<uint8_t> out(256);
        const int n = written(serial, out.data(), static_cast<uint32_t>(out.size()));
        out.resize(n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), out.size()));
        return out;
    }

    std::unique_ptr<platform::DynamicLibrary> lib;
    void (*reset)() = nullptr;
    void (*addDevice)(const char*, const char*) = nullptr;
    int (*queueInput)(const char*, const uint8_t*, uint32_t) = nullptr;
    int (*written)(const char*, uint8_t*, uint32_t) = nullptr;
    uint32_t (*lineRate)(const char*) = nullptr;
    void (*refuseRate)(const char*, uint32_t) = nullptr;
};

TEST_F(ProductionD2xxBinding, WriteReadAndRateStepThroughTheLibraryBoundByName) {
    const auto bound = transport::bindD2xx();
    ASSERT_TRUE(bound.has_value());
    transport::installD2xxForTests(&*bound);
    addDevice("FT000042", "Simulated analyser");

    const auto& api = transport::d2xx();
    uint32_t count = 0;
    ASSERT_EQ(api.count(&count, nullptr, transport::kD2xxListNumberOnly), 0u);
    EXPECT_EQ(count, 1u);
    char serial[128] = {};
    ASSERT_EQ(api.serial(reinterpret_cast<void*>(uintptr_t{0}), serial,
                         transport::kD2xxListSerialByIndex),
              0u);
    EXPECT_STREQ(serial, "FT000042");
    transport::FtHandle h =
        api.open(serial, 0xC0000000, 0, nullptr, 3, transport::kD2xxOpenFlags, nullptr);
    ASSERT_NE(h, transport::kNoFtdiHandle);
    char description[256] = {}, serialOut[256] = {}, maker[256] = {}, makerId[256] = {};
    transport::D2xxProgramData data;
    data.manufacturer = maker;
    data.manufacturerId = makerId;
    data.description = description;
    data.serialNumber = serialOut;
    ASSERT_EQ(api.configuration(h, &data), 0u);
    EXPECT_STREQ(description, "Simulated analyser");

    platform::Overlapped io;
    const uint8_t command[] = {0x4B, 0x01, 0x02};
    EXPECT_EQ(transport::ftdiWrite(h, command, 3, nullptr, io), 3u);
    EXPECT_THAT(writtenTo("FT000042"), ElementsAre(0x4B, 0x01, 0x02));

    const uint8_t reply[] = {0x11, 0x22, 0x33};
    ASSERT_TRUE(queueInput("FT000042", reply, 3));
    uint32_t waiting = 0;
    EXPECT_EQ(api.queue(h, &waiting), 0u);
    EXPECT_EQ(waiting, 3u);
    uint8_t in[16] = {};
    EXPECT_EQ(transport::ftdiRead(h, in, waiting, nullptr, io), 3u);
    EXPECT_THAT(std::vector<uint8_t>(in, in + 3), ElementsAre(0x11, 0x22, 0x33));

    // Direct rate change: the rate call sets the line rate; a refused rate skips the stage.
    int32_t linkState = 0x100;
    uint32_t stateTime = 0;
    EXPECT_EQ(transport::ftdiRateStep(h, transport::LinkKind::FtdiDirect, 921600, linkState,
                                      stateTime, nullptr, io),
              0);
    EXPECT_EQ(lineRate("FT000042"), 921600u);
    refuseRate("FT000042", 3000000);
    linkState = 0x100;
    EXPECT_EQ(transport::ftdiRateStep(h, transport::LinkKind::FtdiDirect, 3000000, linkState,
                                      stateTime, nullptr, io),
              1);
    EXPECT_EQ(linkState, 0x200);
    // Packet-switched: the rate packet goes out between line low and line high.
    linkState = 0x300;
    stateTime = platform::tickMs() - 100;
    EXPECT_EQ(transport::ftdiRateStep(h, transport::LinkKind::FtdiPacketSwitched, 115200, linkState,
                                      stateTime, nullptr, io),
              0);
    stateTime -= 100;
    EXPECT_EQ(transport::ftdiRateStep(h, transport::LinkKind::FtdiPacketSwitched, 115200, linkState,
                                      stateTime, nullptr, io),
              0);
    EXPECT_THAT(writtenTo("FT000042"),
                ElementsAre(0x4B, 0x01, 0x02, 0x00, 0x67, 0x00, 0x00, 0x00, 0x02));

    EXPECT_NE(api.close(h), 0);
}

// A break holds the transmit line low: bytes written meanwhile never reach the device, so
// the rate packet must not be framed by break calls.
TEST_F(ProductionD2xxBinding, BytesWrittenDuringABreakAreLostButDuringLineLowArrive) {
    const auto bound = transport::bindD2xx();
    ASSERT_TRUE(bound.has_value());
    addDevice("FT000043", "Simulated analyser");
    using Status = uint32_t(ZS_D2XX_API*)(transport::FtHandle);
    const auto breakOn = fn<Status>("FT_SetBreakOn");
    const auto breakOff = fn<Status>("FT_SetBreakOff");
    transport::FtHandle h =
        bound->open("FT000043", 0xC0000000, 0, nullptr, 3, transport::kD2xxOpenFlags, nullptr);
    ASSERT_NE(h, transport::kNoFtdiHandle);
    platform::Overlapped io;
    const uint8_t lost[] = {0xEE, 0xEE};
    const uint8_t kept[] = {0x01, 0x02};
    ASSERT_EQ(breakOn(h), 0u);
    transport::ftdiWrite(h, lost, 2, nullptr, io);
    ASSERT_EQ(breakOff(h), 0u);
    ASSERT_EQ(bound->lineLow(h), 0u);
    transport::ftdiWrite(h, kept, 2, nullptr, io);
    ASSERT_EQ(bound->lineHigh(h), 0u);
    EXPECT_THAT(writtenTo("FT000043"), ElementsAre(0x01, 0x02));
    EXPECT_NE(bound->close(h), 0);
}

TEST_F(ProductionD2xxBinding, ProcessTableBindsTheVendorLibraryWhenNothingIsInstalled) {
    addDevice("A1", "one");
    addDevice("B2", "two");
    EXPECT_TRUE(transport::d2xxPresent());
    uint32_t count = 0;
    ASSERT_EQ(transport::d2xx().count(&count, nullptr, transport::kD2xxListNumberOnly), 0u);
    EXPECT_EQ(count, 2u);
}

TEST(D2xxBinding, MissingLibraryBindsNothing) {
    EXPECT_FALSE(transport::bindD2xx("zs-no-such-driver-library").has_value());
}

} // namespace
} // namespace zs::test

#include "platform/debug_output.h"
#include "transport/packet_process.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace zs::test {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;
using transport::CDinPacketProcess;
using transport::CDoutPacketProcess;
using transport::CPacketProcess;

// Frames built independently of the parser, from the frame layouts.
Bytes tagged(uint8_t variant, const Bytes& payload, int sumDelta = 0, int lengthOverride = -1) {
    Bytes f = {'k', 'X', '-', 'w', 'a', 'v', 'e', variant};
    const size_t l = lengthOverride >= 0 ? static_cast<size_t>(lengthOverride) : payload.size();
    f.push_back(static_cast<uint8_t>(l));
    f.push_back(static_cast<uint8_t>(l >> 8));
    if (variant == '2' || variant == '3') {
        uint32_t s = 0;
        if (variant == '2') {
            for (size_t i = 0; i + 1 < payload.size(); i += 2)
                s += payload[i] | payload[i + 1] << 8;
        } else {
            for (size_t i = 0; i + 3 < payload.size(); i += 4)
                s += payload[i] | payload[i + 1] << 8 | payload[i + 2] << 16 |
                     static_cast<uint32_t>(payload[i + 3]) << 24;
            s = (s >> 16) + (s & 0xFFFF);
        }
        s += sumDelta;
        f.push_back(static_cast<uint8_t>(s));
        f.push_back(static_cast<uint8_t>(s >> 8));
        f.insert(f.end(), payload.begin(), payload.end());
    } else {
        uint32_t s = 0;
        for (uint8_t b : payload) s += b;
        f.insert(f.end(), payload.begin(), payload.end());
        f.push_back(static_cast<uint8_t>(s + sumDelta));
    }
    return f;
}

Bytes sync(const Bytes& payload, int sumDelta = 0) {
    Bytes f = {0x11,
               0x22,
               0x33,
               0x44,
               static_cast<uint8_t>(payload.size()),
               static_cast<uint8_t>(payload.size() >> 8)};
    uint32_t s = 0;
    for (size_t i = 0; i + 1 < payload.size(); i += 2) s += payload[i] | payload[i + 1] << 8;
    f.insert(f.end(), payload.begin(), payload.end());
    s += sumDelta;
    f.push_back(static_cast<uint8_t>(s));
    f.push_back(static_cast<uint8_t>(s >> 8));
    return f;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Feeds `input` in pieces of `chunk` bytes (0: all at once) and collects every payload.
std::vector<Bytes> feed(CPacketProcess& p, const Bytes& input, size_t chunk = 0) {
    std::vector<Bytes> out;
    if (chunk == 0) chunk = input.size() ? input.size() : 1;
    for (size_t at = 0; at < input.size(); at += chunk) {
        const uint32_t n = static_cast<uint32_t>(std::min(chunk, input.size() - at));
        uint32_t pos = 0;
        while (p.process(input.data() + at, n, pos))
            out.emplace_back(p.payload(), p.payload() + p.payloadLength());
        EXPECT_EQ(pos, n);
    }
    return out;
}

class Parsers : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::setDebugCapture([this](std::string_view t) { diagnostics.emplace_back(t); });
    }
    void TearDown() override { platform::setDebugCapture(nullptr); }
    std::vector<std::string> diagnostics;
};

TEST_F(Parsers, InputPacketExample) {
    CDinPacketProcess p(64);
    const Bytes good = {0x11, 0x22, 0x33, 0x44, 0x04, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00};
    uint32_t pos = 0;
    ASSERT_TRUE(p.process(good.data(), 12, pos));
    EXPECT_EQ(pos, 12u);
    EXPECT_THAT(Bytes(p.payload(), p.payload() + p.payloadLength()), ElementsAre(1, 0, 2, 0));
    EXPECT_EQ(p.variant(), 0);
    EXPECT_TRUE(diagnostics.empty());

    Bytes bad = good;
    bad[10] = 0x04;
    EXPECT_TRUE(feed(p, bad).empty());
    EXPECT_THAT(diagnostics, ElementsAre("CDinPacketProcess CSum error [3]\n"));
}

TEST_F(Parsers, InputLengthFieldOfFiveIsReadAsFour) {
    CDinPacketProcess p(64);
    const Bytes f = {0x11, 0x22, 0x33, 0x44, 0x05, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00};
    const auto got = feed(p, f);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_THAT(got[0], ElementsAre(1, 0, 2, 0));
}

TEST_F(Parsers, OutputPacketFormOneExample) {
    CDoutPacketProcess p(128);
    const Bytes payload = {0x8D, 0, 0, 0, 0, 0, 0, 0};
    const Bytes good = Bytes{'k', 'X', '-', 'w', 'a', 'v', 'e', '1', 8, 0} + payload + Bytes{0x8D};
    const auto got = feed(p, good);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], payload);
    EXPECT_EQ(p.variant(), '1');

    Bytes bad = good;
    bad.back() = 0x8C;
    EXPECT_TRUE(feed(p, bad).empty());
    EXPECT_THAT(diagnostics, ElementsAre("CDoutPacketProcess CSum error [1]\n"));
}

TEST_F(Parsers, OutputVariantsTwoAndThree) {
    CDoutPacketProcess p(128);
    const Bytes words = {0xFF, 0xFF, 0x01, 0x00, 0x34, 0x12, 0xFE, 0xFF}; // sums wrap
    for (uint8_t v : {uint8_t('2'), uint8_t('3'), uint8_t(0)}) {
        SCOPED_TRACE(v);
        const auto got = feed(p, tagged(v, words));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], words);
        EXPECT_EQ(p.variant(), v);
    }
    EXPECT_TRUE(diagnostics.empty());
    EXPECT_TRUE(feed(p, tagged('2', words, 1)).empty());
    EXPECT_TRUE(feed(p, tagged('3', words, -1)).empty());
    EXPECT_THAT(diagnostics, ElementsAre("CDoutPacketProcess CSum error [2]\n",
                                         "CDoutPacketProcess CSum error [3]\n"));
}

TEST_F(Parsers, BadLengthsAreDroppedWithoutDiagnostic) {
    CDoutPacketProcess out(16);
    const Bytes six = {1, 2, 3, 4, 5, 6};
    const Bytes next = tagged('3', {9, 9, 9, 9});
    struct Case {
        const char* name;
        Bytes frame;
    };
    const Case cases[] = {
        {"variant 3, length 6", tagged('3', six)},
        {"variant 2, odd length", tagged('2', {1, 2, 3})},
        {"form 1, length 0", tagged('1', {})},
        {"form 1, above capacity", tagged('1', Bytes(17, 1))},
        {"variant 2, above capacity", tagged('2', Bytes(18, 1))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto got = feed(out, c.frame + next);
        ASSERT_EQ(got.size(), 1u); // only the packet after it
        EXPECT_THAT(got[0], ElementsAre(9, 9, 9, 9));
    }
    CDinPacketProcess in(16);
    EXPECT_EQ(feed(in, sync(Bytes(18, 1)) + sync({5, 0})).size(), 1u);
    EXPECT_EQ(feed(in, Bytes{0x11, 0x22, 0x33, 0x44, 1, 0} + sync({5, 0})).size(), 1u);
    EXPECT_TRUE(diagnostics.empty());
}

TEST_F(Parsers, GarbageAndFalseStartsBeforeAPacket) {
    CDoutPacketProcess out(64);
    const Bytes garbage = {0x00, 'k', 'X', '-', 'k', 'X', '-', 'w', 'a', 'k', 0xFF, 'k'};
    const auto got = feed(out, garbage + tagged('2', {1, 2, 3, 4}));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_THAT(got[0], ElementsAre(1, 2, 3, 4));

    CDinPacketProcess in(64);
    const Bytes noise = {0x22, 0x11, 0x22, 0x11, 0x11, 0x22, 0x33, 0x11, 0x44};
    const auto got2 = feed(in, noise + sync({7, 0, 8, 0}));
    ASSERT_EQ(got2.size(), 1u);
    EXPECT_THAT(got2[0], ElementsAre(7, 0, 8, 0));
    EXPECT_TRUE(diagnostics.empty());
}

TEST_F(Parsers, BadChecksumByteThatStartsASignatureResynchronises) {
    // The failing checksum byte is itself the first signature byte of the next packet.
    CDoutPacketProcess out(64);
    // Payload 'k' - 1 sums to 'k' - 1; a checksum byte of 'k' is wrong and opens the next one.
    Bytes input = tagged('1', {'k' - 1});
    input.back() = 'k';
    Bytes rest = tagged('1', {5});
    rest.erase(rest.begin());
    const auto got = feed(out, input + rest);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_THAT(got[0], ElementsAre(5));
    EXPECT_EQ(diagnostics.size(), 1u);

    CDinPacketProcess in(64);
    Bytes din = sync({1, 0});
    din.back() = 0x11; // checksum 0x1101 instead of 0x0001
    Bytes next = sync({2, 0});
    next.erase(next.begin());
    const auto got2 = feed(in, din + next);
    ASSERT_EQ(got2.size(), 1u);
    EXPECT_THAT(got2[0], ElementsAre(2, 0));
}

TEST_F(Parsers, PacketsSplitAtEveryPointAndBackToBack) {
    const Bytes payload = {10, 20, 30, 40, 50, 60, 70, 80};
    struct Case {
        const char* name;
        Bytes frame;
        bool din;
    };
    const Case cases[] = {{"form 1", tagged('A', payload), false},
                          {"variant 2", tagged('2', payload), false},
                          {"variant 3", tagged('3', payload), false},
                          {"sync", sync(payload), true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t split = 1; split < c.frame.size(); ++split) {
            std::unique_ptr<CPacketProcess> p;
            if (c.din)
                p = std::make_unique<CDinPacketProcess>(64);
            else
                p = std::make_unique<CDoutPacketProcess>(64);
            uint32_t pos = 0;
            EXPECT_FALSE(p->process(c.frame.data(), static_cast<uint32_t>(split), pos)) << split;
            const uint8_t* second = c.frame.data() + split;
            const uint32_t n = static_cast<uint32_t>(c.frame.size() - split);
            pos = 0;
            ASSERT_TRUE(p->process(second, n, pos)) << split;
            EXPECT_EQ(pos, n);
            EXPECT_EQ(Bytes(p->payload(), p->payload() + p->payloadLength()), payload);
        }
        // Byte by byte, and three packets in one buffer.
        std::unique_ptr<CPacketProcess> p;
        if (c.din)
            p = std::make_unique<CDinPacketProcess>(64);
        else
            p = std::make_unique<CDoutPacketProcess>(64);
        EXPECT_EQ(feed(*p, c.frame, 1).size(), 1u);
        EXPECT_EQ(feed(*p, c.frame + c.frame + c.frame).size(), 3u);
    }
    EXPECT_TRUE(diagnostics.empty());
}

TEST_F(Parsers, LentBufferReceivesThePayloadAndIsNotOwned) {
    uint8_t buffer[32] = {};
    {
        CDinPacketProcess p(sizeof buffer, buffer);
        EXPECT_FALSE(p.ownsPayload());
        EXPECT_EQ(p.payload(), buffer);
        ASSERT_EQ(feed(p, sync({3, 0, 4, 0})).size(), 1u);
    }
    EXPECT_THAT(Bytes(buffer, buffer + 4), ElementsAre(3, 0, 4, 0)); // still ours, still there
    CDoutPacketProcess owned(8);
    EXPECT_TRUE(owned.ownsPayload());
    EXPECT_EQ(owned.capacity(), 8u);
    // The payload limit can be lowered and restored, never raised past the buffer.
    owned.setCapacity(4);
    EXPECT_TRUE(feed(owned, tagged('1', {1, 2, 3, 4, 5})).empty());
    owned.setCapacity(1000);
    EXPECT_EQ(owned.capacity(), 8u);
    EXPECT_TRUE(feed(owned, tagged('1', Bytes(9, 1))).empty());
    EXPECT_EQ(feed(owned, tagged('1', Bytes(8, 1))).size(), 1u);
    // Without a buffer nothing can be accepted.
    CDoutPacketProcess none(100, nullptr);
    EXPECT_TRUE(feed(none, tagged('1', {1})).empty());
}

} // namespace
} // namespace zs::test

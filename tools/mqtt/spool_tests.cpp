// The spool in front of the broker: order kept through memory and the ring file, the oldest
// dropped (and counted) when the file is full, the file bounded and removed at the end.
#include "spool.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

using zs::mqtt::Message;
using zs::mqtt::Spool;

namespace {

std::string spoolPath(const char* name) {
    return (std::filesystem::temp_directory_path() /
            (std::string("zs-spool-") + name + "-" + std::to_string(getpid())))
        .string();
}

// Message i: payloads of varying length, so records straddle the ring's end at changing offsets.
Message numbered(int i) {
    return {"zentrel/h/" + std::to_string(i % 4) + "/values",
            "{\"seq\":" + std::to_string(i) + ",\"pad\":\"" + std::string(i % 37, 'x') + "\"}"};
}

} // namespace

TEST(MqttSpool, KeepsTheOrderThroughMemoryAndAWrappingFile) {
    const struct {
        const char* name;
        uint64_t disk, memory;
        int batch; // pushed before each pop of one more or one fewer
    } cases[] = {
        {"memory-only", 0, 1 << 20, 50},
        {"small-memory", 4096, 300, 40},
        {"no-memory", 3000, 0, 20}, // every message through the file
        {"wraps-often", 700, 200, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = spoolPath(c.name);
        {
            Spool spool(path, c.disk, c.memory);
            int pushed = 0, popped = 0;
            for (int round = 0; round < 40; ++round) {
                for (int i = 0; i < c.batch; ++i) spool.push(numbered(pushed++));
                for (int i = 0; i < c.batch + (round % 2 ? 1 : -1) && !spool.empty(); ++i) {
                    const auto m = spool.pop();
                    ASSERT_TRUE(m);
                    EXPECT_EQ(m->topic, numbered(popped).topic);
                    ASSERT_EQ(m->payload, numbered(popped).payload);
                    ++popped;
                }
                EXPECT_EQ(spool.count(), static_cast<uint64_t>(pushed - popped));
                EXPECT_LE(spool.diskUsed(), c.disk);
            }
            ASSERT_EQ(spool.dropped(), 0u) << "sized to hold what waits";
            while (auto m = spool.pop()) ASSERT_EQ(m->payload, numbered(popped++).payload);
            EXPECT_EQ(popped, pushed);
            EXPECT_TRUE(spool.empty());
            if (c.disk > 0) {
                EXPECT_LE(std::filesystem::file_size(path), c.disk);
            }
        }
        EXPECT_FALSE(std::filesystem::exists(path)) << "removed with the spool";
    }
}

TEST(MqttSpool, AFullFileDropsTheOldestAndCountsThem) {
    const std::string path = spoolPath("full");
    Spool spool(path, 1500, 400);
    const int pushed = 500;
    for (int i = 0; i < pushed; ++i) spool.push(numbered(i));
    EXPECT_LE(spool.diskUsed(), 1500u);
    EXPECT_LE(std::filesystem::file_size(path), 1500u);
    EXPECT_GT(spool.dropped(), 0u);
    EXPECT_EQ(spool.dropped() + spool.count(), static_cast<uint64_t>(pushed));
    // What is left is the newest, in order, without gaps.
    int expected = static_cast<int>(spool.dropped());
    while (auto m = spool.pop()) ASSERT_EQ(m->payload, numbered(expected++).payload);
    EXPECT_EQ(expected, pushed);
}

TEST(MqttSpool, MessagesReturnedFromFlightGoBackInFrontInOrder) {
    Spool spool(spoolPath("front"), 600, 200);
    for (int i = 0; i < 30; ++i) spool.push(numbered(i));
    std::vector<Message> taken;
    for (int i = 0; i < 5; ++i) taken.push_back(*spool.pop());
    const uint64_t dropped = spool.dropped();
    spool.pushFront(std::move(taken));
    EXPECT_EQ(spool.dropped(), dropped) << "returning never drops";
    int expected = static_cast<int>(dropped);
    while (auto m = spool.pop()) ASSERT_EQ(m->payload, numbered(expected++).payload);
    EXPECT_EQ(expected, 30);
}

TEST(MqttSpool, MessageSizesAtTheLimits) {
    Spool spool(spoolPath("sizes"), 400, 100);
    const Message large{"t", std::string(250, 'L')}; // beyond memory, within the file
    const Message huge{"t", std::string(500, 'H')};  // beyond both: dropped itself
    spool.push(large);
    spool.push(huge);
    EXPECT_EQ(spool.dropped(), 1u);
    const Message small = numbered(1);
    spool.push(small);
    for (const Message* expected : {&large, &small}) {
        const auto m = spool.pop();
        ASSERT_TRUE(m);
        EXPECT_EQ(m->payload, expected->payload);
    }
    EXPECT_FALSE(spool.pop());
}

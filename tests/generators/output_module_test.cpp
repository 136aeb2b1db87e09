#include "generators/output_module.h"
#include "sim_output_module.h"
#include "transport/sim_fixtures.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

namespace zs::test {
namespace {

using generators::ModuleReader;
using generators::ModuleState;
using ::testing::ElementsAreArray;

TEST(ModuleSettings, FrequencyWordFromHertz) {
    const struct {
        double hz;
        int32_t word; // 0: refused, the earlier setting stays
    } cases[] = {
        {1000.0, 349525},    // 1000 / 48000 * 2^24, rounded
        {0.0, 1},            // zero would stop the module
        {0.001, 1},          // rounds to zero
        {1.0, 350},          // 349.525 rounds down
        {24000.0, 0x7FFFFF}, // above the word's range
        {1e12, 0x7FFFFF},    // far above it
        {-1000.0, 0},        // no module makes a negative frequency
        {-0.001, 0},
        {std::nan(""), 0},
        {HUGE_VAL, 0},
        {-HUGE_VAL, 0},
    };
    for (const auto& c : cases) {
        ModuleState s;
        s.freqWord = 777;
        s.pendingStep = 0;
        EXPECT_EQ(s.setFrequency(c.hz), c.word != 0) << c.hz;
        EXPECT_EQ(s.freqWord.load(), c.word != 0 ? c.word : 777) << c.hz;
        EXPECT_EQ(s.pendingStep.load(), c.word != 0 ? 1 : 0) << c.hz;
    }
}

TEST(ModuleSettings, LevelCodeInHalfDecibels) {
    const struct {
        double db;
        double levelDb;
        int32_t wordWhenOn;
    } cases[] = {
        {-3.3, -3.5, 0x8007},   {-3.2, -3.0, 0x8006},    {0.0, 0.0, 0x8000},     {6.0, 0.0, 0x8000},
        {-58.5, -58.5, 0x8075}, {-100.0, -58.5, 0x8075}, {-20.0, -20.0, 0x8028},
    };
    for (const auto& c : cases) {
        ModuleState off;
        off.setLevel(c.db);
        EXPECT_DOUBLE_EQ(off.levelDb.load(), c.levelDb) << c.db;
        EXPECT_EQ(off.levelWord.load(), 0) << "output off sends no level";
        ModuleState on;
        on.setOutput(true);
        on.setLevel(c.db);
        EXPECT_EQ(on.levelWord.load(), c.wordWhenOn) << c.db;
    }
}

TEST(ModuleSettings, OutputSwitchKeepsTheLevel) {
    ModuleState s;
    EXPECT_EQ(s.outputOff.load(), 1);
    s.setLevel(-3.3);
    s.setOutput(true);
    EXPECT_EQ(s.outputOff.load(), 0);
    EXPECT_EQ(s.levelWord.load(), 0x8007);
    s.setOutput(false);
    EXPECT_EQ(s.levelWord.load(), 0);
    s.setOutput(true);
    EXPECT_EQ(s.levelWord.load(), 0x8007);
}

TEST(ModuleFrames, BothFamiliesByteForByte) {
    const uint32_t word = generators::frequencyCommand(349525);
    EXPECT_EQ(word, 0x05555505u);
    const uint8_t tagged[] = {'k', 'X', '-',  'w',  'a',  'v',  'e', 0,
                              4,   0,   0x05, 0x55, 0x55, 0x05, 0xB4};
    EXPECT_THAT(generators::moduleFrame(true, word), ElementsAreArray(tagged));
    const uint8_t sync[] = {0x11, 0x22, 0x33, 0x44, 4, 0, 0x05, 0x55, 0x55, 0x05, 0x5A, 0x5A};
    EXPECT_THAT(generators::moduleFrame(false, word), ElementsAreArray(sync));
    EXPECT_EQ(generators::levelCommand(0x8007), 0x80070004u);
}

std::vector<uint8_t> status(uint16_t level) {
    return sim::OutputModuleModel::statusPayload(level);
}
std::vector<uint8_t> ack(uint16_t step, uint32_t value) {
    return sim::OutputModuleModel::acknowledgePayload(step, value);
}

TEST(ModuleReaderRules, StatusAndAcknowledgement) {
    ModuleState s; // 1000 Hz pending, output off (level word 0)
    uint32_t command = 0;
    auto answer = [&](const std::vector<uint8_t>& p) {
        command = 0;
        return ModuleReader::answer(p.data(), static_cast<uint32_t>(p.size()), s, command);
    };
    ASSERT_TRUE(answer(status(0)));
    EXPECT_EQ(command, generators::frequencyCommand(349525)) << "pending frequency goes first";
    EXPECT_FALSE(answer(ack(1, 349524)));
    EXPECT_EQ(s.pendingStep.load(), 1) << "a different value is no acknowledgement";
    EXPECT_FALSE(answer(ack(2, 349525)));
    EXPECT_EQ(s.pendingStep.load(), 1) << "nor is another step";
    EXPECT_FALSE(answer(ack(1, 349525)));
    EXPECT_EQ(s.pendingStep.load(), 0);
    EXPECT_FALSE(answer(status(0))) << "level word matches: nothing to send";
    s.setOutput(true);
    s.setLevel(-3.3);
    ASSERT_TRUE(answer(status(0)));
    EXPECT_EQ(command, generators::levelCommand(0x8007));
    EXPECT_FALSE(answer(status(0x8007)));
    std::vector<uint8_t> shortStatus = status(0);
    shortStatus.resize(6);
    EXPECT_FALSE(answer(shortStatus)) << "payloads under 8 bytes are ignored";
    const std::vector<uint8_t> other = {99, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(answer(other));
}

// The module acknowledges 1000 Hz again and again while the host sets 1000 Hz and at once
// 2000 Hz: the newer setting must stay pending, whatever moment it lands in.
TEST(ModuleReaderRules, AcknowledgementNeverSwallowsANewerFrequency) {
    ModuleState s;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> answers{0};
    const std::vector<uint8_t> acknowledged = ack(1, 349525); // 1000 Hz
    std::thread module([&] {
        while (!stop.load()) {
            uint32_t command = 0;
            ModuleReader::answer(acknowledged.data(), static_cast<uint32_t>(acknowledged.size()), s,
                                 command);
            answers.fetch_add(1);
        }
    });
    // Two whole answers after a moment: any answer that had started before it has ended.
    auto settle = [&] {
        const uint64_t from = answers.load();
        while (answers.load() < from + 2) std::this_thread::yield();
    };
    int lost = 0;
    for (int round = 0; round < 5000; ++round) {
        s.setFrequency(1000.0);
        s.setFrequency(2000.0); // perhaps while 1000 Hz is being acknowledged
        settle();
        if (s.pendingStep.load() == 0) ++lost; // nothing acknowledges 2000 Hz
    }
    stop = true;
    module.join();
    EXPECT_EQ(lost, 0);
}

// The reader thread against a simulated module on the simulated D2XX.
class ModuleReaderThread : public SimD2xxTest,
                           public ::testing::WithParamInterface<sim::OutputModuleModel::Family> {
  protected:
    template <class Pred>
    bool eventually(Pred pred, int timeoutMs = 3000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (sim::SimD2xx::instance().locked(pred)) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    bool tagged() const { return GetParam() == sim::OutputModuleModel::Family::Tagged; }
};

TEST_P(ModuleReaderThread, BringsTheModuleToTheRequestedState) {
    auto& device = sim::SimD2xx::instance().addDevice("ZS41000A", "Brevane DOUT20");
    sim::OutputModuleModel model;
    model.family = GetParam();
    model.statusPeriodMs = 1;
    auto module = sim::OutputModuleModel::attach(device, model);
    const auto h = transport::d2xx().open("ZS41000A", 0xC0000000, 0, nullptr, 3,
                                          transport::kD2xxOpenFlagsOverlapped, nullptr);
    ASSERT_NE(h, transport::kNoFtdiHandle);

    ModuleState state;
    transport::CDinPacketProcess syncParser(128);
    transport::CDoutPacketProcess taggedParser(128);
    transport::CPacketProcess& parser =
        tagged() ? static_cast<transport::CPacketProcess&>(taggedParser) : syncParser;
    ModuleReader reader;
    reader.start(h, tagged(), parser, state);

    ASSERT_TRUE(eventually([&] { return module->frequencyCommands > 0; }));
    EXPECT_EQ(module->freqWord, 349525u);
    ASSERT_TRUE(eventually([&] { return state.pendingStep.load() == 0; }));

    state.setOutput(true);
    state.setLevel(-3.3);
    ASSERT_TRUE(eventually([&] { return module->levelWord == 0x8007; }));
    // Once the module reports the level asked for, further status packets get no command.
    const uint32_t levels = sim::SimD2xx::instance().locked([&] { return module->levelCommands; });
    const uint32_t seen = sim::SimD2xx::instance().locked([&] { return module->statusSent; });
    ASSERT_TRUE(eventually([&] { return module->statusSent >= seen + 5; }));
    EXPECT_EQ(sim::SimD2xx::instance().locked([&] { return module->levelCommands; }), levels);

    state.setFrequency(2000.0);
    ASSERT_TRUE(eventually([&] { return module->freqWord == 699051u; }));
    ASSERT_TRUE(eventually([&] { return state.pendingStep.load() == 0; }));
    reader.stop();
    EXPECT_FALSE(reader.running());
    transport::d2xx().close(h);
}

TEST_P(ModuleReaderThread, UnacknowledgedFrequencyIsSentAgainAtEveryStatus) {
    auto& device = sim::SimD2xx::instance().addDevice("ZS41000A", "Brevane DOUT20");
    sim::OutputModuleModel model;
    model.family = GetParam();
    model.statusPeriodMs = 1;
    model.acknowledgeOffset = 1; // acknowledges a value it was not sent
    auto module = sim::OutputModuleModel::attach(device, model);
    const auto h = transport::d2xx().open("ZS41000A", 0xC0000000, 0, nullptr, 3,
                                          transport::kD2xxOpenFlagsOverlapped, nullptr);
    ModuleState state;
    transport::CDinPacketProcess syncParser(128);
    transport::CDoutPacketProcess taggedParser(128);
    transport::CPacketProcess& parser =
        tagged() ? static_cast<transport::CPacketProcess&>(taggedParser) : syncParser;
    ModuleReader reader;
    reader.start(h, tagged(), parser, state);
    ASSERT_TRUE(eventually([&] { return module->frequencyCommands >= 3; }));
    EXPECT_EQ(state.pendingStep.load(), 1);
    reader.stop();
    transport::d2xx().close(h);
}

INSTANTIATE_TEST_SUITE_P(Families, ModuleReaderThread,
                         ::testing::Values(sim::OutputModuleModel::Family::Tagged,
                                           sim::OutputModuleModel::Family::Sync));

TEST_F(SimD2xxTest, ModuleReaderReadsAtMost4096BytesATurn) {
    auto& device = sim::SimD2xx::instance().addDevice("ZS41000A", "Brevane DOUT21");
    // The queue is looked at once a turn, so what left it between two looks is one read.
    std::vector<size_t> queued;
    device.onPoll = [&](sim::SimD2xxDevice& d) { queued.push_back(d.input.size()); };
    device.queue(std::vector<uint8_t>(10000, 0xEE));
    const auto h = transport::d2xx().open("ZS41000A", 0xC0000000, 0, nullptr, 3,
                                          transport::kD2xxOpenFlagsOverlapped, nullptr);
    ModuleState state;
    transport::CDinPacketProcess parser(128);
    ModuleReader reader;
    reader.start(h, false, parser, state);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (;;) {
        const bool drained =
            sim::SimD2xx::instance().locked([&] { return !queued.empty() && queued.back() == 0; });
        if (drained || std::chrono::steady_clock::now() > end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    reader.stop();
    transport::d2xx().close(h);
    ASSERT_FALSE(queued.empty());
    EXPECT_EQ(queued.back(), 0u);
    std::vector<size_t> reads;
    for (size_t i = 1; i < queued.size(); ++i) reads.push_back(queued[i - 1] - queued[i]);
    reads.erase(std::remove(reads.begin(), reads.end(), 0u), reads.end());
    EXPECT_THAT(reads, ElementsAreArray({4096u, 4096u, 1808u}));
}

} // namespace
} // namespace zs::test

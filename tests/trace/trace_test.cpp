// The diagnostic trace written to a file: its setting, its line format, the exports' calls and
// results, the exceptions they swallow, and the stages of an identification that finds nothing.
#include "discovery/identification.h"
#include "frame/library.h"
#include "sim_d2xx.h"
#include "sim_ftdi_instrument.h"
#include "trace/trace.h"
#include "transport/d2xx.h"
#include "zentrel_signal.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace zs::test {
namespace {

using frame::DevStruct;
using sim::FtdiInstrument;
using sim::SimD2xx;

constexpr const char* kTraceFile = "trace-test.log";

std::vector<std::string> fileLines(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

struct Line {
    std::string thread; // "t3"
    std::string text;   // after the time and the thread
};

// Every line must carry its time (seconds, three decimals) and thread.
std::vector<Line> traceLines() {
    static const std::regex format(R"(^[0-9]+\.[0-9]{3} (t[0-9]+) (.*)$)");
    std::vector<Line> lines;
    for (const std::string& raw : fileLines(kTraceFile)) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(raw, m, format)) << raw;
        if (!m.empty()) lines.push_back({m[1], m[2]});
    }
    return lines;
}

// The texts of the lines that start with `prefix`, the prefix cut off, in order.
std::vector<std::string> linesAfter(const std::vector<Line>& lines, const std::string& prefix) {
    std::vector<std::string> found;
    for (const Line& l : lines)
        if (l.text.rfind(prefix, 0) == 0) found.push_back(l.text.substr(prefix.size()));
    return found;
}

class TraceFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::remove(kTraceFile);
        ASSERT_TRUE(trace::configure(kTraceFile));
    }
    void TearDown() override {
        trace::stop();
        std::remove(kTraceFile);
    }
};

TEST(TraceSetting, OffWritesNothingAndAFileIsAppendedTo) {
    std::remove(kTraceFile);
    {
        std::ofstream earlier(kTraceFile, std::ios::binary);
        earlier << "earlier run\n";
    }
    int evaluated = 0;
    const auto counted = [&] { return ++evaluated; };
    for (const char* off : {"", "0"}) {
        EXPECT_TRUE(trace::configure(off)) << off;
        EXPECT_FALSE(trace::on()) << off;
        ZS_TRACE_LINE("unseen ", counted());
    }
    EXPECT_EQ(evaluated, 0); // no text is built while the trace is off

    ASSERT_TRUE(trace::configure(kTraceFile));
    EXPECT_TRUE(trace::on());
    ZS_TRACE_LINE("main ", counted());
    std::thread([&] { ZS_TRACE_LINE("other ", counted()); }).join();
    trace::stop();
    ZS_TRACE_LINE("after stop");

    const auto raw = fileLines(kTraceFile);
    ASSERT_EQ(raw.size(), 4u);
    EXPECT_EQ(raw[0], "earlier run");
    std::vector<Line> lines;
    for (size_t i = 1; i < raw.size(); ++i) {
        static const std::regex format(R"(^[0-9]+\.[0-9]{3} (t[0-9]+) (.*)$)");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(raw[i], m, format)) << raw[i];
        lines.push_back({m[1], m[2]});
    }
    EXPECT_EQ(lines[0].text.rfind("trace on: process ", 0), 0u) << lines[0].text;
    EXPECT_EQ(lines[1].text, "main 1");
    EXPECT_EQ(lines[2].text, "other 2");
    EXPECT_NE(lines[1].thread, lines[2].thread);

    // A file that cannot be opened leaves the trace off.
    EXPECT_FALSE(trace::configure("no-such-folder/trace.log"));
    EXPECT_FALSE(trace::on());
    std::remove(kTraceFile);
}

// A driver whose device count throws, as a broken driver binding might.
uint32_t ZS_D2XX_API throwingCount(void*, void*, uint32_t) {
    throw std::runtime_error("driver fault");
}

class TracedExports : public TraceFile {
  protected:
    void SetUp() override {
        TraceFile::SetUp();
        frame::libraryLoad();
    }
    void TearDown() override {
        frame::libraryUnload();
        transport::installD2xxForTests(nullptr);
        TraceFile::TearDown();
    }
};

// Entry with the arguments and the result, also for calls refused before the library state is
// looked at, for exports without a result, and around an exception the export swallowed.
TEST_F(TracedExports, EntryAndResultOfEachCallAndTheExceptionsCaught) {
    std::u16string path = u"no-such-file.bin";
    EXPECT_EQ(K427_GetLibraryVersion(), 0x0002000B);
    EXPECT_EQ(K427_GetData(7, 9, 0, 0, 1), -1.0);
    EXPECT_EQ(K427_OpenFile(reinterpret_cast<const ZS_WCHAR*>(path.c_str())), -1);
    K427_CloseFile(300);
    transport::D2xxApi broken;
    broken.count = throwingCount;
    transport::installD2xxForTests(&broken);
    EXPECT_EQ(K427_BuildFList(), 0);

    const auto lines = traceLines();
    std::vector<std::string> texts;
    for (const Line& l : lines) texts.push_back(l.text);
    const std::vector<std::string> expected[] = {
        {"K427_GetLibraryVersion()", "K427_GetLibraryVersion -> 131083"},
        {"K427_GetData(7, 9, 0, 0, 1)", "K427_GetData -> -1"},
        {"K427_OpenFile(\"no-such-file.bin\")", "K427_OpenFile -> -1"},
        {"K427_CloseFile(300)", "K427_CloseFile -> done"},
        {"K427_BuildFList()", "K427_BuildFList: exception caught: driver fault",
         "K427_BuildFList -> 0"},
    };
    for (const auto& call : expected) {
        auto at = texts.begin();
        for (const std::string& text : call) {
            at = std::find(at, texts.end(), text);
            ASSERT_NE(at, texts.end()) << "missing or out of order: " << text;
        }
    }
}

class SilentIdentification : public TraceFile {
  protected:
    void SetUp() override {
        TraceFile::SetUp();
        SimD2xx::instance().reset();
        transport::installD2xxForTests(&SimD2xx::table());
        frame::libraryLoad();
    }
    void TearDown() override {
        frame::libraryUnload();
        transport::installD2xxForTests(nullptr);
        SimD2xx::instance().reset();
        TraceFile::TearDown();
    }

    // A simulated instrument that talks at no rate identification tries, opened and listed.
    std::shared_ptr<DevStruct> addSilent(const char* serial, transport::LinkKind linkKind,
                                         FtdiInstrument::Family family) {
        auto& device = SimD2xx::instance().addDevice(serial, "Simulated analyser");
        FtdiInstrument model;
        model.family = family;
        model.rate = 9600;
        instruments_.push_back(FtdiInstrument::attach(device, model));
        auto record = std::make_shared<DevStruct>();
        record->ftdiHandle = transport::d2xx().open(serial, 0xC0000000, 0, nullptr, 3,
                                                    transport::kD2xxOpenFlags, nullptr);
        record->ftdiSerial = serial;
        record->linkKind = linkKind;
        frame::lib().devices.push_back(record);
        return record;
    }

  private:
    std::vector<std::shared_ptr<FtdiInstrument>> instruments_;
};

// Every stage each family tries, what it waited for, and why identification gave up: silent
// instruments of both families, a record without a link and a driver whose rate call fails.
TEST_F(SilentIdentification, TraceShowsEachStageTriedAndWhyItGaveUp) {
    addSilent("TR000001", transport::LinkKind::FtdiDirect, FtdiInstrument::Family::Tagged);
    addSilent("TR000002", transport::LinkKind::FtdiDirectSync, FtdiInstrument::Family::Sync);
    auto unlinked = std::make_shared<DevStruct>();
    unlinked->linkKind = transport::LinkKind::FtdiDirect;
    frame::lib().devices.push_back(unlinked);
    addSilent("TR000003", transport::LinkKind::FtdiDirect, FtdiInstrument::Family::Tagged);
    SimD2xx::instance().locked([] {
        return SimD2xx::instance().find("TR000003")->failingRoles =
                   sim::roleBit(sim::D2xxRole::Rate);
    });

    EXPECT_EQ(discovery::identifyDevices(true, 0), 0);
    EXPECT_TRUE(frame::lib().devices.empty());

    const auto lines = traceLines();
    std::vector<std::string> tagged;
    for (const char* rate : {"2304000", "115200", "2048000"}) {
        const std::string stage = std::string("query at ") + rate + " baud";
        tagged.insert(tagged.end(), {stage, stage + ": query sent",
                                     stage + ": no reply to the query within 100 ms"});
    }
    for (const char* rate : {"2304000", "115200", "2048000"}) {
        const std::string stage = std::string("acknowledge at ") + rate + " baud";
        tagged.insert(tagged.end(), {stage, stage + ": acknowledge sent",
                                     stage + ": no identification record within 2000 ms"});
    }
    tagged.push_back("gave up: no answer at any rate; removed from the list");
    EXPECT_EQ(linesAfter(lines, "identify USB TR000001 (kind 2): "), tagged);

    const std::vector<std::string> sync = {
        "reset pulse",
        "reset pulse: line pulled",
        "reset pulse: line released",
        "reset pulse over after 800 ms",
        "program list at 768000 baud",
        "program list at 768000 baud: program list requested",
        "program list at 768000 baud: no program list within 100 ms",
        "listen at 230400 baud",
        "listen at 230400 baud: no identification record within 1000 ms",
        "wake-up at 1728000 baud",
        "wake-up at 1728000 baud: wake-up sent",
        "wake-up at 1728000 baud: no identification record within 2000 ms",
        "listen at 115200 baud",
        "listen at 115200 baud: no identification record within 1000 ms",
        "gave up: no answer at any rate; removed from the list",
    };
    EXPECT_EQ(linesAfter(lines, "identify USB TR000002 (kind 4): "), sync);

    EXPECT_EQ(linesAfter(lines, "identify record without a link (kind 2): "),
              std::vector<std::string>{"gave up: no link (the instrument went before it was "
                                       "opened again); removed from the list"});

    // Each stage waits on its rate call, then gives it up.
    std::vector<std::string> stalled;
    for (std::string text : linesAfter(lines, "identify USB TR000003 (kind 2): "))
        stalled.push_back(std::regex_replace(text, std::regex("for [0-9]+ ms"), "for N ms"));
    std::vector<std::string> expectedStalls;
    for (const char* stage : {"query", "acknowledge"})
        for (const char* rate : {"2304000", "115200", "2048000"}) {
            const std::string name = std::string(stage) + " at " + rate + " baud";
            expectedStalls.insert(expectedStalls.end(),
                                  {name, name + ": the rate call kept failing for N ms; stage "
                                                "given up"});
        }
    expectedStalls.push_back("gave up: no answer at any rate; removed from the list");
    EXPECT_EQ(stalled, expectedStalls);
}

// At a preset rate a tagged record only waits for what the instrument streams, three times.
TEST_F(SilentIdentification, PresetRateWaitsAreCountedUntilIdentificationGivesUp) {
    addSilent("TR000004", transport::LinkKind::FtdiDirect, FtdiInstrument::Family::Tagged)
        ->keepOnFailure = 1;

    EXPECT_EQ(discovery::identifyDevices(false, 768000), 0);

    const std::string stage = "preset-rate wait at 768000 baud";
    std::vector<std::string> expected;
    for (int wait = 1; wait <= 3; ++wait)
        expected.insert(expected.end(), {stage + ", wait " + std::to_string(wait) + " of 3",
                                         stage + ": no identification record within 2000 ms"});
    expected.push_back("gave up: no record at the preset rate in 3 waits; kept, marked done");
    EXPECT_EQ(linesAfter(traceLines(), "identify USB TR000004 (kind 2): "), expected);
}

} // namespace
} // namespace zs::test

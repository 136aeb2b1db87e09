// SCPI generators on serial ports: simulated generators behind pseudo-terminals.
#ifndef _WIN32
#include "generators/generator_fixture.h"
#include "platform/clock.h"
#include "sim_scpi_serial.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <gmock/gmock.h>
#include <unistd.h>

namespace zs::test {
namespace {

using sim::SimScpiSerial;
using ::testing::ElementsAre;
using ::testing::EndsWith;

class SerialGeneratorTest : public GeneratorTest {
  protected:
    SimScpiSerial& add(const std::string& identity) {
        sims.push_back(std::make_unique<SimScpiSerial>(identity));
        EXPECT_TRUE(sims.back()->ready());
        ports.push_back(sims.back()->path());
        return *sims.back();
    }
    std::vector<std::unique_ptr<SimScpiSerial>> sims;
};

TEST_F(SerialGeneratorTest, ListsPortsWhoseReplyHasFourFields) {
    auto& four = add("Zentrel Simulation,SG-20,ZS0001,1.0");
    add("Zentrel Simulation,SG-20,ZS0002"); // three fields
    add("Zentrel,Simulation,SG,20,ZS0003"); // five
    add("").setReply(SimScpiSerial::Reply::Silent);
    ports.push_back("/dev/zs-no-such-port");
    ASSERT_EQ(K427_BuildGenList(), 1);
    EXPECT_EQ(K427_GetGenCount(), 1);
    EXPECT_THAT(entryNames(), ElementsAre(four.path()));
    for (auto& s : sims) EXPECT_EQ(s->commands().at(0), "*IDN?") << s->path();
    // Naming opens the port (output mode 0, identification) and asks for the name.
    four.clearLog();
    EXPECT_EQ(name(0), "Zentrel Simulation,SG-20");
    EXPECT_EQ(four.received(), "OUTM 0\r\n*IDN?\r\n*IDN?\r\n");
}

TEST_F(SerialGeneratorTest, AnsweringPortsAreListedInPathTextOrder) {
    // Ports named COM2 and COM10: the text order puts COM10 first.
    const auto dir = std::filesystem::path("/dev/shm") /
                     ("zs-gen-" + std::to_string(::getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) GTEST_SKIP() << "no /dev/shm to name ports in";
    SimScpiSerial com2("Zentrel Simulation,SG-20,COM2,1.0");
    SimScpiSerial com10("Zentrel Simulation,SG-20,COM10,1.0");
    std::filesystem::create_symlink(com2.path(), dir / "COM2");
    std::filesystem::create_symlink(com10.path(), dir / "COM10");
    ports = {(dir / "COM2").string(), (dir / "COM10").string()};
    EXPECT_EQ(K427_BuildGenList(), 2);
    EXPECT_THAT(entryNames(), ElementsAre((dir / "COM10").string(), (dir / "COM2").string()));
    std::filesystem::remove_all(dir, ec);
}

TEST_F(SerialGeneratorTest, CommandsEndWithCarriageReturnAndLineFeed) {
    auto& generic = add("Zentrel Simulation,SG-20,ZS0001,1.0");
    ASSERT_EQ(K427_BuildGenList(), 1);
    EXPECT_EQ(K427_GenSetFreq(0, 1000.0, 0), 1);
    EXPECT_EQ(K427_GenSetFreq(0, 1000.0, 1), 1);
    EXPECT_EQ(K427_GenSetOffset(0, 0.0, 0), 0);
    EXPECT_EQ(K427_GenSetSignalType(0, 3, 0), 0);
    EXPECT_EQ(K427_GenSetFreq(0, 1000.0, 9), 0);
    ASSERT_TRUE(generic.waitForCommands(5, 2000));
    EXPECT_THAT(generic.received(), EndsWith("*IDN?\r\nOUTM 0\r\n*IDN?\r\nFREQ 1000.000000\r\n"
                                             "SOURCE2:FREQ 1000.000000\r\n"));
    EXPECT_THAT(generic.commands(), ElementsAre("*IDN?", "OUTM 0", "*IDN?", "FREQ 1000.000000",
                                                "SOURCE2:FREQ 1000.000000"));
}

TEST_F(SerialGeneratorTest, StanfordGeneratorOverSerial) {
    auto& srs = add("StanfordResearchSystems,DS360,ZS0002,1.0");
    ASSERT_EQ(K427_BuildGenList(), 1);
    EXPECT_EQ(K427_GenSetUnits(0, 2, 0), 1);
    EXPECT_EQ(K427_GenSetLevel(0, 0.5, 0), 1);
    EXPECT_EQ(K427_GenSetOutputLoad(0, 50.5, 0), 1);
    EXPECT_EQ(K427_GenSetOutputLoad(0, 75.0, 0), 0);
    EXPECT_EQ(K427_GenSetSignalType(0, 3, 0), 1);
    EXPECT_EQ(K427_GenSetOffset(0, 0.0, 0), 0);
    ASSERT_TRUE(srs.waitForCommands(6, 2000));
    EXPECT_THAT(srs.received(), EndsWith("*IDN?\r\nAMPL 0.500000 VP\r\nTERM 0\r\nFUNC 2\r\n"));
}

// A silent generator, an endless reply and a vanished port: every export comes back within
// a bound set by the port's time-outs, and the reply buffer is never overrun.
TEST_F(SerialGeneratorTest, SilentEndlessAndVanishedGeneratorsDoNotHoldExports) {
    auto& answering = add("Zentrel Simulation,SG-20,ZS0001,1.0");
    ASSERT_EQ(K427_BuildGenList(), 1);
    constexpr uint32_t kBoundMs = 2500;

    answering.setReply(SimScpiSerial::Reply::Silent);
    uint32_t start = platform::tickMs();
    EXPECT_EQ(name(0), "");
    EXPECT_LT(platform::tickMs() - start, kBoundMs);

    answering.setReply(SimScpiSerial::Reply::Endless);
    start = platform::tickMs();
    EXPECT_EQ(name(0), ""); // digits without end and without commas: no maker and model
    EXPECT_LT(platform::tickMs() - start, kBoundMs);

    answering.setReply(SimScpiSerial::Reply::Identity);
    ASSERT_EQ(K427_GenSetFreq(0, 1000.0, 0), 1); // open from now on
    answering.vanish();
    start = platform::tickMs();
    EXPECT_EQ(K427_GenSetFreq(0, 2000.0, 0), 0);
    EXPECT_EQ(name(0), "");
    EXPECT_LT(platform::tickMs() - start, kBoundMs);
}

TEST(SerialPort, ReadEndsAtTheTimeOutsAndFailsOnceThePortIsGone) {
    SimScpiSerial generator("Zentrel Simulation,SG-20,ZS0001,1.0");
    ASSERT_TRUE(generator.ready());
    auto port = platform::SerialPort::open(generator.path());
    ASSERT_TRUE(port);
    EXPECT_FALSE(platform::SerialPort::open("/dev/zs-no-such-port"));
    EXPECT_FALSE(platform::SerialPort::open("/dev/null")) << "not a terminal";
    char buffer[64];
    EXPECT_EQ(port->read(buffer, sizeof buffer), 0) << "nothing sent: the read times out";
    ASSERT_TRUE(port->write("*IDN?\r\n", 7));
    std::string reply;
    for (int i = 0; i < 20 && reply.find('\n') == std::string::npos; ++i) {
        const int32_t n = port->read(buffer, sizeof buffer);
        ASSERT_GE(n, 0);
        reply.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(reply, "Zentrel Simulation,SG-20,ZS0001,1.0\r\n");
    generator.vanish();
    EXPECT_EQ(port->read(buffer, sizeof buffer), -1);
    EXPECT_FALSE(port->write("*IDN?\r\n", 7));
}

TEST(SerialPort, CandidatesTakeTheUsersPortsInPathOrder) {
    struct Case {
        const char* variable;
        std::vector<std::string> added; // beyond the system's own ports
    };
    const Case cases[] = {
        {"/dev/zs-b:/dev/zs-a", {"/dev/zs-a", "/dev/zs-b"}},
        {"/dev/zs-a::/dev/zs-a:", {"/dev/zs-a"}},            // empty entries, repeats
        {"zs-a:/tmp/zs-b:/dev/:/dev/pts/7", {"/dev/pts/7"}}, // only "/dev/" paths
        {"", {}},
    };
    const auto system = [] {
        ::unsetenv(platform::kExtraPortsVariable);
        return platform::systemSerialCandidates();
    }();
    for (const Case& c : cases) {
        ::setenv(platform::kExtraPortsVariable, c.variable, 1);
        auto expected = system;
        expected.insert(expected.end(), c.added.begin(), c.added.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(platform::systemSerialCandidates(), expected) << c.variable;
    }
    ::unsetenv(platform::kExtraPortsVariable);
}

} // namespace
} // namespace zs::test
#endif

// zsig watch --mqtt against a real Mosquitto broker that each test starts on a loopback port of
// its own, with its own configuration, and a subscriber on libmosquitto: every record once
// with exact values, nothing lost while the broker is away, the spool's bound, the on-line
// states and the last will, TLS and credentials.
#include "broker_harness.h"

#include <cstdlib>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <regex>
#include <set>

using namespace zs::mqtt::harness;

namespace {

const char* const kTwoInstruments =
    "ZS_SIM_D2XX=TG000001A|Brevane DOUT20|family=tagged,rate=2304000,vin=0x31001,records=20;"
    "SY000004B|QRNT|family=sync,rate=230400,streams,type=38,vin=0x31004";
const char* const kOneInstrument =
    "ZS_SIM_D2XX=TG000001A|Brevane DOUT20|family=tagged,rate=2304000,vin=0x31001,records=20";

// Sequence numbers of each instrument's records, sorted, duplicates kept.
std::map<int, std::vector<uint64_t>> sequences(const std::map<int, std::vector<json>>& records) {
    std::map<int, std::vector<uint64_t>> out;
    for (const auto& [serial, list] : records) {
        for (const auto& r : list) out[serial].push_back(r.at("seq").get<uint64_t>());
        std::sort(out[serial].begin(), out[serial].end());
    }
    return out;
}

// What the summary line says: records, published, dropped, not sent.
std::vector<uint64_t> summary(const std::string& out) {
    std::smatch m;
    const std::regex line(
        R"((\d+) records from \d+ instruments?: (\d+) published, (\d+) dropped, (\d+) not sent)");
    if (!std::regex_search(out, m, line)) return {};
    return {std::stoull(m[1]), std::stoull(m[2]), std::stoull(m[3]), std::stoull(m[4])};
}

// The last count of dropped records zsig printed.
uint64_t lastDropped(const std::string& err) {
    static const std::regex dropped(R"(spool full: (\d+) oldest)");
    uint64_t last = 0;
    for (auto it = std::sregex_iterator(err.begin(), err.end(), dropped);
         it != std::sregex_iterator(); ++it)
        last = std::stoull((*it)[1]);
    return last;
}

// Whether the simulated instrument of that identity streams `value` in that cell.
int valueSent(uint32_t type, uint32_t serial, int channel, int set, int averaging, int band,
              double value) {
    static void* sim = dlopen((fs::current_path() / "libftd2xx.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    using Fn = int (*)(uint32_t, uint32_t, uint32_t, int, int, int, int, double);
    static auto fn = sim ? reinterpret_cast<Fn>(dlsym(sim, "ZsSim_ValueSent")) : nullptr;
    return fn ? fn(type, 40, serial, channel, set, averaging, band, value) : -2;
}

} // namespace

TEST(ZsigMqtt, EveryRecordArrivesOnceWithExactValuesAndCtrlCFlushes) {
    const Scratch scratch("once");
    const fs::path& dir = scratch.dir;
    Broker broker(dir);
    broker.start();
    Subscriber sub(broker.port(), "zentrel/test/#", nullptr, false);
    ASSERT_TRUE(sub.waitSubscribed());
    Zsig zsig(dir, {"watch", "--mqtt", broker.url(), "--topic", "zentrel/test"}, {kTwoInstruments});
    ASSERT_TRUE(eventually([&] { return sub.recordCount() >= 16; })) << zsig.stderrText();
    EXPECT_EQ(sub.last("zentrel/test/status"), R"({"online":true,"dropped":0})");
    zsig.process->signal(SIGINT);
    const auto ctrlC = Clock::now();
    ASSERT_EQ(zsig.process->wait(), 0) << zsig.stderrText();
    EXPECT_LT(Clock::now() - ctrlC, std::chrono::seconds(5));
    const auto counts = summary(slurp(zsig.out));
    ASSERT_EQ(counts.size(), 4u) << slurp(zsig.out);
    EXPECT_EQ(counts[1], counts[0]) << "all published";
    EXPECT_EQ(counts[3], 0u);
    // Acknowledged means delivered to the broker; the subscriber gets the last ones shortly.
    ASSERT_TRUE(eventually([&] { return sub.recordCount() >= counts[0]; }));

    const auto records = sub.records();
    ASSERT_EQ(records.size(), 2u);
    size_t checked = 0;
    const std::regex isoUtcMs(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    for (const auto& [serial, list] : records) {
        SCOPED_TRACE(serial);
        const auto seq = sequences(records).at(serial);
        for (size_t i = 0; i < seq.size(); ++i) ASSERT_EQ(seq[i], i + 1) << "each record once";
        const int type = serial == 0x31001 ? 28 : 38;
        for (const json& r : list) {
            EXPECT_EQ(r.at("type"), type);
            EXPECT_EQ(r.at("link"), "USB");
            EXPECT_TRUE(std::regex_match(r.at("time").get<std::string>(), isoUtcMs))
                << r.at("time");
            ASSERT_FALSE(r.at("sets").empty());
            for (const json& set : r.at("sets")) {
                ASSERT_EQ(set.at("bands").size(), set.at("values").size());
                for (size_t band = 0; band < set.at("values").size(); ++band) {
                    const json& v = set.at("values")[band];
                    if (v.is_null()) continue;
                    // Parsed from the text as a double: equal only if the text was exact.
                    const int sent =
                        valueSent(type, serial, set.at("channel"), set.at("band_set"),
                                  set.at("averaging"), static_cast<int>(band), v.get<double>());
                    ASSERT_NE(sent, 0) << set.at("channel") << "/" << set.at("band_set") << "/"
                                       << band << " " << v.dump();
                    checked += sent == 1;
                }
            }
        }
        EXPECT_EQ(sub.last("zentrel/test/" + std::to_string(serial) + "/status"),
                  R"({"serial":)" + std::to_string(serial) + R"(,"type":)" + std::to_string(type) +
                      R"(,"link":"USB","online":false})");
    }
    EXPECT_GT(checked, 100u) << "values of the simulators' band sets compared";
    EXPECT_EQ(sub.last("zentrel/test/status"), R"({"online":false,"dropped":0})");
}

TEST(ZsigMqtt, BrokerAwayMidStreamLosesNoRecord) {
    const Scratch scratch("outage");
    const fs::path& dir = scratch.dir;
    Broker broker(dir);
    broker.start();
    auto sub = std::make_unique<Subscriber>(broker.port(), "zentrel/outage/#");
    ASSERT_TRUE(sub->waitSubscribed());
    const fs::path spool = dir / "zsig.spool";
    Zsig zsig(dir,
              {"watch", "--mqtt", broker.url(), "--topic", "zentrel/outage", "--spool",
               spool.string(), "--spool-size", "2M", "--reconnect-max", "0.5"},
              {kTwoInstruments});
    ASSERT_TRUE(eventually([&] { return sub->recordCount() >= 6; })) << zsig.stderrText();
    broker.stop();
    // Away long enough that records fill memory (a quarter of the spool size) and reach the file.
    ASSERT_TRUE(eventually([&] { return fs::exists(spool) && fs::file_size(spool) > 200000; }))
        << zsig.stderrText();
    EXPECT_NE(zsig.stderrText().find("connection to " + broker.url() + " lost"), std::string::npos)
        << zsig.stderrText();
    broker.start();
    // The spool drains once zsig is back, then the file is emptied.
    ASSERT_TRUE(eventually([&] {
        const std::string err = zsig.stderrText();
        return err.rfind("connected to") > err.find("lost");
    })) << zsig.stderrText();
    const size_t before = sub->recordCount();
    ASSERT_TRUE(eventually([&] { return sub->recordCount() >= before + 60; }));
    zsig.process->signal(SIGINT);
    ASSERT_EQ(zsig.process->wait(), 0) << zsig.stderrText();
    const auto counts = summary(slurp(zsig.out));
    ASSERT_EQ(counts.size(), 4u);
    EXPECT_EQ(counts[2], 0u) << "nothing dropped";
    EXPECT_FALSE(fs::exists(spool)) << "the spool is removed at the end";
    ASSERT_TRUE(eventually([&] { return sub->recordCount() >= counts[0]; }));
    // QoS 1 may deliver a record twice across the outage; none may be missing.
    uint64_t distinct = 0;
    for (const auto& [serial, seq] : sequences(sub->records())) {
        const std::set<uint64_t> unique(seq.begin(), seq.end());
        ASSERT_EQ(*unique.begin(), 1u) << serial;
        ASSERT_EQ(*unique.rbegin(), unique.size()) << serial << ": sequence numbers with a gap";
        distinct += unique.size();
    }
    EXPECT_EQ(distinct, counts[0]);
}

TEST(ZsigMqtt, AFullSpoolDropsTheOldestAndReportsTheCount) {
    const Scratch scratch("full");
    const fs::path& dir = scratch.dir;
    Broker broker(dir);
    broker.start();
    {
        // The subscriber's session is made while the broker is up, and kept while it is away.
        Subscriber sub(broker.port(), "zentrel/full/#");
        ASSERT_TRUE(sub.waitSubscribed());
    }
    broker.stop();
    Zsig zsig(dir,
              {"watch", "--mqtt", broker.url(), "--topic", "zentrel/full", "--spool-size", "64k",
               "--reconnect-max", "0.5"},
              {kOneInstrument});
    ASSERT_TRUE(eventually([&] { return lastDropped(zsig.stderrText()) >= 3; }))
        << zsig.stderrText();
    broker.start();
    Subscriber sub(broker.port(), "zentrel/full/#");
    ASSERT_TRUE(eventually([&] { return sub.recordCount() >= 10; })) << zsig.stderrText();
    zsig.process->signal(SIGINT);
    ASSERT_EQ(zsig.process->wait(), 0) << zsig.stderrText();
    const auto counts = summary(slurp(zsig.out));
    ASSERT_EQ(counts.size(), 4u);
    ASSERT_GE(counts[2], 3u);
    EXPECT_EQ(lastDropped(zsig.stderrText()), counts[2]) << "the final count printed";
    ASSERT_TRUE(eventually([&] { return sub.recordCount() >= counts[0] - counts[2]; }));
    // The dropped are the oldest: what arrives is every later record, without a gap.
    const auto seq = sequences(sub.records()).at(0x31001);
    const std::set<uint64_t> unique(seq.begin(), seq.end());
    EXPECT_EQ(*unique.begin(), counts[2] + 1);
    EXPECT_EQ(*unique.rbegin(), counts[0]);
    EXPECT_EQ(unique.size(), counts[0] - counts[2]);
    // The host's status carries the count too.
    ASSERT_TRUE(eventually([&] {
        return sub.last("zentrel/full/status") ==
               R"({"online":false,"dropped":)" + std::to_string(counts[2]) + "}";
    })) << sub.last("zentrel/full/status");
}

TEST(ZsigMqtt, OnLineStatesAreRetainedAndTheLastWillMarksADeadHostOffLine) {
    const Scratch scratch("will");
    const fs::path& dir = scratch.dir;
    Broker broker(dir);
    broker.start();
    Zsig zsig(dir, {"watch", "--mqtt", broker.url(), "--topic", "zentrel/will"}, {kOneInstrument});
    {
        // A subscriber that comes later still sees the states: they are retained.
        ASSERT_TRUE(
            eventually([&] { return slurp(zsig.err).find("connected") != std::string::npos; }));
        Subscriber late(broker.port(), "zentrel/will/+/status", nullptr, false);
        ASSERT_TRUE(eventually([&] {
            return late.last("zentrel/will/200705/status") ==
                   R"({"serial":200705,"type":28,"link":"USB","online":true})";
        }));
    }
    Subscriber sub(broker.port(), "zentrel/will/status", nullptr, false);
    ASSERT_TRUE(eventually(
        [&] { return sub.last("zentrel/will/status") == R"({"online":true,"dropped":0})"; }));
    zsig.process->signal(SIGKILL); // dies without a word: the broker publishes the will
    ASSERT_TRUE(eventually([&] {
        return sub.last("zentrel/will/status") == R"({"online":false})";
    })) << sub.last("zentrel/will/status");
    Subscriber after(broker.port(), "zentrel/will/status", nullptr, false);
    ASSERT_TRUE(eventually([&] {
        const auto m = after.messages();
        return !m.empty() && m.back().retained && m.back().payload == R"({"online":false})";
    }));
}

TEST(ZsigMqtt, TlsWithATestCertificateAndCredentials) {
    const Scratch scratch("tls");
    const fs::path& dir = scratch.dir;
    const std::string d = dir.string();
    // A certificate authority, and the broker's certificate for 127.0.0.1 signed by it; another
    // authority that signed nothing of this broker's.
    const std::string make =
        "cd " + d +
        " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=zsig-test-ca "
        "-keyout ca.key -out ca.crt && openssl req -x509 -newkey rsa:2048 -nodes -days 2 "
        "-subj /CN=other-ca -keyout other.key -out other.crt && openssl req -newkey rsa:2048 "
        "-nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr && printf "
        "'subjectAltName=IP:127.0.0.1\\n' > san.ext && openssl x509 -req -in server.csr -CA ca.crt "
        "-CAkey ca.key -CAcreateserial -days 2 -extfile san.ext -out server.crt && "
        "mosquitto_passwd -b -c passwords station s3cret";
    ASSERT_EQ(std::system(("(" + make + ") >" + d + "/openssl.log 2>&1").c_str()), 0)
        << slurp(dir / "openssl.log");
    Broker broker(dir, "allow_anonymous false\npassword_file " + d + "/passwords\ncafile " + d +
                           "/ca.crt\ncertfile " + d + "/server.crt\nkeyfile " + d +
                           "/server.key\n");
    broker.start();
    const Subscriber::Tls tls{d + "/ca.crt", "station", "s3cret"};
    Subscriber sub(broker.port(), "zentrel/tls/#", &tls, false);
    ASSERT_TRUE(sub.waitSubscribed());
    std::ofstream(dir / "user") << "station\n";
    std::ofstream(dir / "secret") << "s3cret\n";
    std::ofstream(dir / "wrong") << "guess\n";

    const struct {
        const char* name;
        std::string ca;
        std::vector<std::string> credentials, env;
        bool delivers;
        const char* message; // on stderr when nothing can be delivered
    } cases[] = {
        {"from the environment",
         "ca.crt",
         {},
         {"ZSIG_MQTT_USERNAME=station", "ZSIG_MQTT_PASSWORD=s3cret"},
         true,
         ""},
        {"from files",
         "ca.crt",
         {"--username", "file:" + d + "/user", "--password", "file:" + d + "/secret"},
         {},
         true,
         ""},
        {"named variables",
         "ca.crt",
         {"--username", "env:STATION", "--password", "env:SECRET"},
         {"STATION=station", "SECRET=s3cret"},
         true,
         ""},
        {"wrong password",
         "ca.crt",
         {"--username", "file:" + d + "/user", "--password", "file:" + d + "/wrong"},
         {},
         false,
         "not authori"},
        {"unknown authority",
         "other.crt",
         {"--username", "file:" + d + "/user", "--password", "file:" + d + "/secret"},
         {},
         false,
         "cannot connect"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = sub.recordCount();
        std::vector<std::string> args = {"watch",        "--mqtt",      broker.url("mqtts"),
                                         "--topic",      "zentrel/tls", "--cafile",
                                         d + "/" + c.ca, "--duration",  "1.5"};
        args.insert(args.end(), c.credentials.begin(), c.credentials.end());
        std::vector<std::string> env = c.env;
        env.emplace_back(kOneInstrument);
        Zsig zsig(dir, args, env);
        const int status = zsig.process->wait();
        const auto counts = summary(slurp(zsig.out));
        ASSERT_EQ(counts.size(), 4u) << zsig.stderrText();
        if (c.delivers) {
            EXPECT_EQ(status, 0) << zsig.stderrText();
            EXPECT_GT(counts[1], 0u);
            EXPECT_TRUE(eventually([&] { return sub.recordCount() >= before + counts[1]; }));
        } else {
            EXPECT_EQ(status, 1) << "records not sent";
            EXPECT_EQ(counts[1], 0u);
            EXPECT_NE(zsig.stderrText().find(c.message), std::string::npos) << zsig.stderrText();
            EXPECT_EQ(sub.recordCount(), before);
        }
    }
}

TEST(ZsigMqtt, CommandLinesThatMakeNoSense) {
    const Scratch scratch("usage");
    const fs::path& dir = scratch.dir;
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"watch"}, "INDEX"},
        {{"watch", "--mqtt", "http://127.0.0.1"}, "mqtt://"},
        {{"watch", "--mqtt", "mqtt://127.0.0.1:99999"}, "port"},
        {{"watch", "--mqtt", "mqtt://:1883"}, "host"},
        {{"watch", "--mqtt", "mqtt://127.0.0.1", "--password", "s3cret"}, "never the text"},
        {{"watch", "--mqtt", "mqtt://127.0.0.1", "--cafile", "zsig"}, "mqtts"},
        {{"watch", "0", "--mqtt", "mqtt://127.0.0.1", "--csv", "x.csv"}, "excludes"},
    };
    for (const auto& c : cases) {
        Zsig zsig(dir, c.args, {});
        EXPECT_EQ(zsig.process->wait(), 2) << c.args.back();
        EXPECT_NE(zsig.stderrText().find(c.message), std::string::npos) << zsig.stderrText();
    }
}

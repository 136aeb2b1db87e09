// Identification of FTDI instruments against simulated instruments of both families, each
// answering only at its own line rate with a record built from the reference description.
#include "description_json.h"
#include "description_source.h"
#include "discovery/identification.h"
#include "frame/library.h"
#include "record_encoder.h"
#include "sim_d2xx.h"
#include "sim_ftdi_instrument.h"
#include "transport/d2xx.h"
#include "transport/loopback.h"
#include "transport/sim_fixtures.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>
#include <vector>

namespace zs::test {
namespace {

using discovery::identifyDevices;
using frame::DevStruct;
using sim::D2xxCall;
using sim::D2xxRole;
using sim::FtdiInstrument;
using sim::SimD2xx;
using Family = FtdiInstrument::Family;

const zsdesc::Description& reference() {
    static const zsdesc::Description d = [] {
        std::ifstream in("TeleDescFile.json");
        return zsdesc::descriptionFromJson(nlohmann::json::parse(in));
    }();
    return d;
}

// An identification record of `type` as the instrument sends it.
std::vector<uint8_t> identificationRecord(uint16_t type, uint16_t program, uint32_t serial) {
    for (const auto& layout : reference().layouts) {
        if (layout.typeCode != type) continue;
        sim::RecordContent content;
        content.deviceType = type;
        content.programNumber = program;
        content.serialNumber = serial;
        content.sequence = 1;
        return sim::encodeRecord(layout.words, layout.wideColumns, content,
                                 layout.recordSize.value_or(0));
    }
    throw std::runtime_error("no layout for the type");
}

struct Added {
    std::shared_ptr<DevStruct> record;
    std::shared_ptr<FtdiInstrument> instrument;
    sim::SimD2xxDevice* device;
};

using K = transport::LinkKind;

// Every case runs through each FTDI binding.
class Identification : public ::testing::TestWithParam<FtdiBinding> {
  protected:
    void SetUp() override {
        SimD2xx::instance().reset();
        installFtdiBinding(GetParam());
        frame::libraryLoad();
        ASSERT_FALSE(frame::lib().description.layouts.empty());
    }
    void TearDown() override {
        frame::libraryUnload();
        transport::installD2xxForTests(nullptr);
        SimD2xx::instance().reset();
    }

    // Opens a simulated instrument as a list builder does and appends its record.
    Added add(const char* serial, transport::LinkKind linkKind, FtdiInstrument model) {
        Added a;
        a.device = &SimD2xx::instance().addDevice(serial, "Simulated analyser");
        a.instrument = FtdiInstrument::attach(*a.device, std::move(model));
        a.record = std::make_shared<DevStruct>();
        a.record->ftdiHandle = transport::d2xx().open(serial, 0xC0000000, 0, nullptr, 3,
                                                      transport::kD2xxOpenFlags, nullptr);
        a.record->linkKind = linkKind;
        frame::lib().devices.push_back(a.record);
        return a;
    }

    static bool listed(const std::shared_ptr<DevStruct>& record) {
        for (const auto& d : frame::lib().devices)
            if (d == record) return true;
        return false;
    }

    static FtdiInstrument tagged(uint32_t rate, std::vector<uint8_t> record) {
        FtdiInstrument m;
        m.family = Family::Tagged;
        m.rate = rate;
        m.record = std::move(record);
        return m;
    }
    static FtdiInstrument sync(uint32_t rate, std::vector<uint8_t> record) {
        FtdiInstrument m;
        m.family = Family::Sync;
        m.rate = rate;
        m.record = std::move(record);
        return m;
    }
    static FtdiInstrument silent() { return tagged(9600, {}); }
};
INSTANTIATE_TEST_SUITE_P(Bindings, Identification, ::testing::ValuesIn(ftdiBindings()),
                         ftdiBindingName);

// Identification on a socket, where the FTDI binding plays no part.
class IdentificationOnTcp : public Identification {
    // The test's own sockets are opened before the library has used any.
    platform::SocketsInUse sockets_;
};
INSTANTIATE_TEST_SUITE_P(Socket, IdentificationOnTcp, ::testing::Values(FtdiBinding::D2xx),
                         ftdiBindingName);

// The query is answered in the first stage whose rate the instrument talks at; on a
// direct-rate link the fastest listed rate wins over the stage's.
TEST_P(Identification, TaggedInstrumentAnswersTheQueryAtItsRate) {
    struct Case {
        transport::LinkKind linkKind;
        uint32_t rate;
        bool packetRate;
        std::vector<uint32_t> rateList;
        uint32_t baudRate, maxBaudRate;
    };
    const Case cases[] = {
        {K::FtdiDirect, 2304000, false, {921600, 3000000}, 3000000, 3000000},
        {K::FtdiPacketSwitched, 115200, true, {3000000}, 115200, 3000000},
        {K::FtdiDirect, 2048000, false, {}, 2048000, 0},
    };
    const auto bytes = identificationRecord(28, 41, 0x00031001);
    std::vector<Added> added;
    int n = 0;
    for (const Case& c : cases) {
        auto model = tagged(c.rate, bytes);
        model.packetRate = c.packetRate;
        model.rateList = c.rateList;
        const std::string serial = "ZS00000" + std::to_string(++n);
        added.push_back(add(serial.c_str(), c.linkKind, model));
    }

    EXPECT_GT(identifyDevices(true, 0), 0);

    ASSERT_EQ(frame::lib().devices.size(), 3u);
    for (size_t i = 0; i < added.size(); ++i) {
        SCOPED_TRACE(i);
        const DevStruct& d = *added[i].record;
        EXPECT_EQ(d.linkState, -1);
        EXPECT_EQ(d.baudRate, cases[i].baudRate);
        EXPECT_EQ(d.maxBaudRate, cases[i].maxBaudRate);
        EXPECT_EQ(d.state.deviceType, 28);
        EXPECT_EQ(d.state.programNumber, 41);
        EXPECT_EQ(d.state.serialNumber, 0x00031001u);
        EXPECT_EQ(added[i].instrument->queriesAnswered, 1u);
        EXPECT_TRUE(dynamic_cast<transport::CDoutPacketProcess*>(d.packetProcessor.get()));
        EXPECT_TRUE(d.stopEvent);
    }
    // The query, then the acknowledge at once.
    const std::vector<uint8_t>& w = added[0].device->written;
    const std::vector<uint8_t> expected = {'k', 'X', '-', 'w', 'a', 'v', 'e',  0,   4,
                                           0,   0,   0,   0,   0,   0,   0xA0, 0x1A};
    ASSERT_GE(w.size(), expected.size());
    EXPECT_EQ(std::vector<uint8_t>(w.begin(), w.begin() + 17), expected);
}

// Line set-up: handshake only on packet-switched kinds, parity checking off, 8 data bits,
// the set-up rate only without a preset.
TEST_P(Identification, LineSetUpFollowsTheLinkKind) {
    auto direct =
        add("ZS000001", K::FtdiDirect, tagged(2304000, identificationRecord(28, 40, 0x00031002)));
    auto packet = add("ZS000002", K::FtdiPacketSwitched,
                      tagged(2304000, identificationRecord(28, 40, 0x00031003)));
    for (auto* dev : {direct.device, packet.device}) {
        dev->lineSettings.flags = 0xFFFF;
        dev->lineSettings.byteSize = 7;
        dev->lineSettings.stopBits = 2;
    }
    packet.instrument->packetRate = true;

    identifyDevices(true, 0);

    for (auto* a : {&direct, &packet}) {
        // The calls after the open, one repeated at once counted once: libftdi sets the event
        // and the error character by two chip requests.
        std::vector<D2xxCall> h;
        for (size_t i = 1; i < a->device->history.size(); ++i)
            if (h.empty() || h.back().role != a->device->history[i].role)
                h.push_back(a->device->history[i]);
        const bool handshake = a == &packet;
        ASSERT_GE(h.size(), 4u);
        EXPECT_EQ(h[0], (D2xxCall{D2xxRole::Flow, handshake ? 0x0100u : 0u, 0}));
        EXPECT_EQ(h[1].role, D2xxRole::SetLineSettings);
        EXPECT_EQ(h[2].role, D2xxRole::Characters);
        EXPECT_EQ(h[2].a, 0u);
        EXPECT_EQ(h[3], (D2xxCall{D2xxRole::Rate, 3000000, 0}));
        // Parity checking is the host driver's: no chip request carries it.
        if (GetParam() == FtdiBinding::D2xx) {
            EXPECT_EQ(a->device->lineSettings.flags, 0xFFFDu);
        }
        EXPECT_EQ(a->device->lineSettings.byteSize, 8);
        EXPECT_EQ(a->device->lineSettings.stopBits, 1);
        EXPECT_EQ(a->device->lineSettings.length, 28u);
    }
}

// An instrument that ignores the query is reached by the acknowledge alone; status packets
// are passed over, and type 29 is stored as 28 with the program from word 1.
TEST_P(Identification, AcknowledgeStageIdentifiesAnInstrumentThatIgnoresTheQuery) {
    auto model = tagged(115200, identificationRecord(29, 41, 0x00041001));
    model.answersQuery = false;
    model.statusFirst = true;
    auto a = add("ZS000001", K::FtdiDirect, model);

    EXPECT_GT(identifyDevices(true, 0), 0);

    ASSERT_TRUE(listed(a.record));
    EXPECT_EQ(a.record->linkState, -1);
    EXPECT_EQ(a.record->baudRate, 115200u);
    EXPECT_EQ(a.record->state.deviceType, 28);
    EXPECT_EQ(a.record->state.programNumber, 41);
    EXPECT_EQ(a.instrument->queriesAnswered, 0u);
}

// Program selection at 768000 after the reset pulse: the requested program when listed,
// else the first of the list.
TEST_P(Identification, SyncInstrumentGetsTheRequestedProgramOrTheFirstListed) {
    struct Case {
        uint32_t requested;
        uint16_t program;
    };
    const Case cases[] = {{44, 44}, {0xFFFF, 42}, {7, 42}};
    std::vector<Added> added;
    int n = 0;
    for (const Case& c : cases) {
        auto model = sync(768000, identificationRecord(43, 42, 0x00051001));
        model.programs = {42, 44};
        const std::string serial = "ZS00000" + std::to_string(++n);
        added.push_back(add(serial.c_str(), K::FtdiDirectSync, model));
        added.back().record->requestedProgram = c.requested;
    }

    EXPECT_GT(identifyDevices(true, 0), 0);

    ASSERT_EQ(frame::lib().devices.size(), 3u);
    for (size_t i = 0; i < added.size(); ++i) {
        SCOPED_TRACE(i);
        const DevStruct& d = *added[i].record;
        EXPECT_EQ(d.linkState, -1);
        EXPECT_EQ(d.baudRate, 768000u);
        EXPECT_EQ(added[i].instrument->selectedProgram, cases[i].program);
        EXPECT_EQ(d.state.deviceType, 43);
        EXPECT_EQ(d.state.programNumber, cases[i].program);
        EXPECT_EQ(d.state.decodeCount, 1u);
        EXPECT_TRUE(dynamic_cast<transport::CDinPacketProcess*>(d.packetProcessor.get()));
        EXPECT_TRUE(added[i].instrument->pulseSeen);
    }
}

// Sync instruments that stream at 230400 or 115200, or wake at 1728000, on both rate kinds.
TEST_P(Identification, SyncInstrumentsAreFoundAtEveryStageRate) {
    const auto bytes = identificationRecord(43, 42, 0x00051002);
    auto streaming = sync(230400, bytes);
    streaming.packetRate = true;
    streaming.streams = true;
    auto slow = sync(115200, bytes);
    slow.streams = true;
    auto a = add("ZS000001", K::FtdiPacketSwitchedSync, streaming);
    auto b = add("ZS000002", K::FtdiDirectSync, sync(1728000, bytes));
    auto c = add("ZS000003", K::FtdiDirectSync, slow);

    EXPECT_GT(identifyDevices(true, 0), 0);

    ASSERT_EQ(frame::lib().devices.size(), 3u);
    const uint32_t rates[] = {230400, 1728000, 115200};
    const Added* all[] = {&a, &b, &c};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(all[i]->record->linkState, -1);
        EXPECT_EQ(all[i]->record->baudRate, rates[i]);
        EXPECT_EQ(all[i]->record->state.deviceType, 43);
        EXPECT_EQ(all[i]->record->state.decodeCount, 1u);
    }
}

// A silent record is removed; a multi-port output module that does not answer the tagged
// protocol is tried again as kind 13 (its reset pulse on mask 0x40); the others stay.
TEST_P(Identification, FailuresAreRemovedAndMultiPortModulesFallBackToSyncPackets) {
    auto gone = add("ZS000001", K::FtdiDirect, silent());
    auto module = sync(768000, identificationRecord(43, 42, 0x00051003));
    module.programs = {42};
    module.resetMask = 0x40;
    auto multi = add("ZS000002", K::FtdiDirect, module);
    multi.record->multiDout = 1;
    auto good =
        add("ZS000003", K::FtdiDirect, tagged(2304000, identificationRecord(28, 40, 0x00031004)));

    EXPECT_GT(identifyDevices(true, 0), 0);

    EXPECT_FALSE(listed(gone.record));
    ASSERT_TRUE(listed(multi.record));
    ASSERT_TRUE(listed(good.record));
    EXPECT_EQ(frame::lib().devices.size(), 2u);
    EXPECT_EQ(multi.record->linkKind, transport::LinkKind::MultiPortOutput);
    EXPECT_EQ(multi.record->linkState, -1);
    EXPECT_EQ(multi.record->state.deviceType, 43);
    EXPECT_EQ(multi.record->baudRate, 768000u);
    EXPECT_TRUE(dynamic_cast<transport::CDinPacketProcess*>(multi.record->packetProcessor.get()));
    EXPECT_EQ(good.record->state.deviceType, 28);
    // A second call leaves the identified records alone.
    const auto writes = good.device->written.size();
    EXPECT_EQ(identifyDevices(true, 0), 0);
    EXPECT_EQ(good.device->written.size(), writes);
}

// With a preset rate the rate search is skipped: tagged records wait, without query or
// acknowledge, for the record streamed at the preset rate, and give up after three waits; sync
// records fail at once. Kept failures are marked done.
TEST_P(Identification, PresetRateSkipsTheSearchAndKeptFailuresAreMarkedDone) {
    auto streaming = tagged(768000, identificationRecord(28, 40, 0x00031005));
    streaming.streams = true;
    auto answering = add("ZS000001", K::FtdiDirect, streaming);
    auto quiet = add("ZS000002", K::FtdiDirect, silent());
    quiet.record->keepOnFailure = 1;
    auto syncRecord =
        add("ZS000003", K::FtdiDirectSync, sync(768000, identificationRecord(43, 42, 0x00051004)));

    EXPECT_GT(identifyDevices(false, 768000), 0);

    EXPECT_EQ(frame::lib().devices.size(), 3u);
    EXPECT_EQ(answering.record->linkState, -1);
    EXPECT_EQ(answering.record->state.serialNumber, 0x00031005u);
    // The record arrives in the acknowledge stage of 115200, whose rate it is applied at.
    EXPECT_EQ(answering.record->baudRate, 115200u);
    EXPECT_EQ(quiet.record->linkState, -1);
    EXPECT_EQ(quiet.record->baudRate, 0u);
    EXPECT_EQ(syncRecord.record->linkState, -1);
    EXPECT_EQ(syncRecord.record->baudRate, 0u);
    for (const Added* a : {&answering, &quiet, &syncRecord}) {
        // No set-up rate; the preset is the only rate the line is given.
        for (const D2xxCall& call : a->device->history)
            if (call.role == D2xxRole::Rate) {
                EXPECT_EQ(call.a, 768000u);
            }
    }
    EXPECT_EQ(quiet.device->written, (std::vector<uint8_t>{}));
}

// Identification ends for every record, whatever its link does: a record with no link at
// all (an instrument pulled out before its reconnect) and an instrument whose rate call keeps
// failing are given up as failures rather than turned for ever.
TEST_P(Identification, EndsForRecordsWithoutLinkOrWithARateCallThatKeepsFailing) {
    std::vector<std::shared_ptr<DevStruct>> kept;
    for (auto kind : {transport::LinkKind::FtdiDirect, transport::LinkKind::FtdiDirectSync}) {
        auto unlinked = std::make_shared<DevStruct>();
        unlinked->linkKind = kind;
        unlinked->keepOnFailure = 1;
        frame::lib().devices.push_back(unlinked);
        kept.push_back(unlinked);
    }
    auto failing = add("ZS000001", K::FtdiDirect, tagged(2304000, identificationRecord(28, 40, 1)));
    // Under the driver's lock: the libftdi binding's reader thread asks the device meanwhile.
    SimD2xx::instance().locked(
        [&] { return failing.device->failingRoles = sim::roleBit(D2xxRole::Rate); });
    failing.record->keepOnFailure = 1;
    kept.push_back(failing.record);

    EXPECT_EQ(identifyDevices(false, 0), 0);
    for (const auto& d : kept) {
        EXPECT_TRUE(listed(d));
        EXPECT_EQ(d->linkState, -1);
        EXPECT_EQ(d->state.deviceType, 0);
    }
}

// A TCP channel-0 instrument: the tagged protocol over the socket, where the query reply is
// not acknowledged at once and the acknowledge stage sends the only acknowledge.
TEST_P(IdentificationOnTcp, TaggedInstrumentOnTcpChannelZero) {
    TcpPair pair;
    ASSERT_TRUE(pair.ok());
    const auto recordBytes = identificationRecord(28, 40, 0x00031006);
    std::atomic<bool> done{false};
    std::atomic<int> queries{0}, acknowledges{0};
    std::thread instrument([&] {
        static constexpr uint8_t query[15] = {'k', 'X', '-', 'w', 'a', 'v', 'e', 0,
                                              4,   0,   0,   0,   0,   0,   0};
        std::vector<uint8_t> seen;
        size_t scanned = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done && std::chrono::steady_clock::now() < deadline) {
            uint8_t buffer[256];
            const int n = platform::receiveTimed(pair.far, buffer, sizeof buffer, 20);
            if (n <= 0) continue;
            seen.insert(seen.end(), buffer, buffer + n);
            for (; scanned < seen.size(); ++scanned) {
                const uint8_t* at = seen.data() + scanned;
                const size_t left = seen.size() - scanned;
                if (left >= sizeof query && std::equal(query, query + sizeof query, at)) {
                    const uint8_t reply[8] = {};
                    const auto frame = sim::taggedFrame(reply);
                    platform::sendAll(pair.far, frame.data(), frame.size());
                    ++queries;
                    scanned += sizeof query - 1;
                } else if (queries > 0 && left >= 2 && at[0] == 0xA0 && at[1] == 0x1A) {
                    const auto frame = sim::taggedFrame(recordBytes);
                    platform::sendAll(pair.far, frame.data(), frame.size());
                    ++acknowledges;
                    ++scanned;
                } else if (left < sizeof query) {
                    break; // wait for the rest of a possible query
                }
            }
        }
    });
    auto record = std::make_shared<DevStruct>();
    record->tcpSocket = pair.near;
    pair.near = platform::kNoSocket; // the record closes it
    record->linkKind = transport::LinkKind::TcpChannel0;
    record->maxBaudRate = 0;
    frame::lib().devices.push_back(record);

    const int count = identifyDevices(true, 0);
    done = true;
    instrument.join();

    EXPECT_GT(count, 0);
    ASSERT_TRUE(listed(record));
    EXPECT_EQ(record->linkState, -1);
    EXPECT_EQ(record->baudRate, 2304000u);
    EXPECT_EQ(record->state.serialNumber, 0x00031006u);
    EXPECT_EQ(queries, 1);
    EXPECT_EQ(acknowledges, 1);
}

} // namespace
} // namespace zs::test

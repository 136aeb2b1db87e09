// Instruments that misbehave on every measurement link, through the exports: each link kind
// (FTDI, Wi-Fi, Ethernet, WinUSB) crossed with each fault. In every cell the exports return
// within a bound, the host's reads stay inside its buffers, and the device streams again
// after K427_ReconnectDevice once the fault is gone.
#include "frame/library.h"
#include "instrument_records.h"
#include "network_instruments.h"
#include "platform/adapters.h"
#include "platform/clock.h"
#include "plugged_instruments.h"
#include "sim_winusb_instrument.h"
#include "stream_instruments.h"
#include "support/library_fixture.h"
#include "support/loopback_address.h"
#include "transport/sim_fixtures.h"
#include "zentrel_signal.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zs::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Chunks = std::vector<Bytes>;

// Runs `call` on a thread of its own. A call still running after `limitMs` is a hang: the
// process ends there with a message, as a hung host would never get its thread back.
template <class Call>
auto within(uint32_t limitMs, const char* what, Call&& call) {
    using Result = decltype(call());
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    Result result{};
    std::thread t([&] {
        Result r = call();
        std::lock_guard lock(m);
        result = r;
        done = true;
        cv.notify_all();
    });
    {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return done; })) {
            std::fprintf(stderr, "%s did not return within %u ms\n", what, limitMs);
            std::fflush(stderr);
            std::_Exit(3);
        }
    }
    t.join();
    return result;
}

bool eventually(const std::function<bool()>& done, uint32_t limitMs) {
    const uint32_t start = platform::tickMs();
    while (!done()) {
        if (platform::tickMs() - start >= limitMs) return done();
        platform::sleepMs(5);
    }
    return true;
}

enum class Fault {
    Unplugged,     // the driver's calls start failing, or the peer goes
    Garbage,       // noise and a record with a bad checksum
    ShortRecord,   // a record cut short, then good ones
    Oversized,     // a record far longer than its layout
    SplitRecord,   // a record in pieces of every length from one byte up
    Flood,         // thousands of records at once
    StalledAtStop, // transfers that never complete while the list is released
};

const char* name(Fault f) {
    switch (f) {
    case Fault::Unplugged:
        return "unplugged";
    case Fault::Garbage:
        return "garbage";
    case Fault::ShortRecord:
        return "short record";
    case Fault::Oversized:
        return "oversized record";
    case Fault::SplitRecord:
        return "split record";
    case Fault::Flood:
        return "flood";
    case Fault::StalledAtStop:
        return "stalled at stop";
    }
    return "";
}

constexpr uint16_t kType = 28, kProgram = 40;
constexpr uint32_t kSerial = 0x00031001;

// One instrument on one link, listed at position 0 and streaming records the test sends.
class Link {
  public:
    virtual ~Link() = default;
    virtual const char* name() const = 0;
    // Lists the instrument; false when this machine cannot host it (a port taken).
    virtual bool list() = 0;
    // The transfers that carry `record` on this link.
    virtual Chunks frame(const Bytes& record) const = 0;
    // Whether transfers may be joined: a byte stream keeps no boundaries.
    virtual bool byteStream() const { return false; }
    // Delivers transfers as they are: every chunk arrives as a read or datagram of its own
    // where the link keeps them apart.
    virtual void deliver(const Chunks& chunks) = 0;
    virtual void unplug(bool out) = 0;
    // Transfers in both directions stop completing (false where the link cannot stall).
    virtual bool stall(bool on) = 0;
};

sim::StreamSource source() {
    return sim::StreamSource(sim::referenceLayout(kType), {kType, kProgram, kSerial}, 0);
}

class FtdiLink : public Link {
    bool plugged_ = false;
    template <class Fn>
    static auto device(Fn&& fn) {
        auto& sim = sim::SimD2xx::instance();
        return sim.locked([&] { return fn(*sim.find("FT00001A")); });
    }

  public:
    const char* name() const override { return "ftdi"; }
    bool list() override {
        if (!plugged_ && !sim::plugInstruments(
                             "FT00001A|Brevane DOUT20|family=tagged,type=28,program=40,records=0",
                             sim::referenceDescription()))
            return false;
        plugged_ = true; // listed again after a release: the same instrument
        return K427_BuildFList() == 1;
    }
    Chunks frame(const Bytes& record) const override {
        return {sim::frameRecord(sim::Framing::Tagged, record)};
    }
    bool byteStream() const override { return true; }
    void deliver(const Chunks& chunks) override {
        for (const auto& c : chunks) {
            device([&](sim::SimD2xxDevice& d) { d.queue(c); });
            // One chunk per read: the next waits until the stream thread took this one.
            eventually(
                [&] { return device([](sim::SimD2xxDevice& d) { return d.input.empty(); }); },
                2000);
        }
    }
    void unplug(bool out) override {
        using sim::D2xxRole;
        device([&](sim::SimD2xxDevice& d) {
            d.present = !out;
            d.failingRoles = out ? sim::roleBit(D2xxRole::Read) | sim::roleBit(D2xxRole::Write) |
                                       sim::roleBit(D2xxRole::Queue) |
                                       sim::roleBit(D2xxRole::Result)
                                 : 0;
            return 0;
        });
    }
    bool stall(bool on) override {
        device([&](sim::SimD2xxDevice& d) {
            d.readCompletion = d.writeCompletion =
                on ? sim::Completion::Stuck : sim::Completion::Immediate;
            return 0;
        });
        return true;
    }
};

class WiFiLink : public Link {
  public:
    const char* name() const override { return "wifi"; }
    bool list() override {
        sim::WiFiOptions o;
        o.address = freshLoopbackAddress();
        o.channelCode = 0;
        o.identity[0] = {kType, kProgram, kSerial};
        o.recordsPerSecond = 0;
        instrument_ = std::make_unique<sim::SimWiFiInstrument>(o);
        if (!instrument_->listening()) return false;
        const std::u16string address = wide(dotted(o.address));
        const auto* text = reinterpret_cast<const ZS_WCHAR*>(address.c_str());
        int32_t index = -1;
        return K427_AttachWiFiDevice(text, text, &index) == 1 && index == 0 &&
               eventually([&] { return instrument_->stream(0).streaming(); }, 5000);
    }
    Chunks frame(const Bytes& record) const override {
        return {sim::frameRecord(sim::Framing::Tagged, record)};
    }
    bool byteStream() const override { return true; }
    void deliver(const Chunks& chunks) override {
        for (const auto& c : chunks) instrument_->sendData(0, c);
    }
    void unplug(bool out) override {
        if (out) instrument_->dropConnections();
    }
    bool stall(bool on) override {
        instrument_->setReading(!on);
        return true;
    }

  private:
    std::unique_ptr<sim::SimWiFiInstrument> instrument_;
};

class EthernetLink : public Link {
  public:
    const char* name() const override { return "ethernet"; }
    bool list() override {
        options_.address = freshLoopbackAddress();
        options_.identity = {kType, kProgram, kSerial};
        options_.recordsPerSecond = 0;
        instrument_ = std::make_unique<sim::SimEthernetInstrument>(options_);
        if (!instrument_->listening()) return false;
        const std::u16string address = wide(dotted(options_.address));
        int32_t index = -1;
        return K427_AttachEthDevice(reinterpret_cast<const ZS_WCHAR*>(address.c_str()), &index) ==
                   1 &&
               index == 0 && eventually([&] { return instrument_->stream().streaming(); }, 5000);
    }
    Chunks frame(const Bytes& record) const override {
        return {sim::UdpStreamInstrument::datagram(record)};
    }
    void deliver(const Chunks& chunks) override {
        for (const auto& c : chunks) instrument_->sendDatagram(c);
    }
    // The instrument's port vanishes, and comes back on the same address.
    void unplug(bool out) override {
        instrument_.reset();
        if (!out) instrument_ = std::make_unique<sim::SimEthernetInstrument>(options_);
    }
    bool stall(bool) override { return false; } // datagrams never wait for the peer

  private:
    sim::EthernetOptions options_;
    std::unique_ptr<sim::SimEthernetInstrument> instrument_;
};

class WinUsbLink : public Link {
  public:
    const char* name() const override { return "winusb"; }
    bool list() override {
        if (device_) return K427_BuildFList() == 1; // listed again: the same instrument
        device_ = &sim::SimWinUsb::instance().addDevice(u"\\\\?\\usb#vid_fade&pid_0001#1");
        sim::WinUsbInstrument model;
        model.deviceType = kType;
        model.serialNumber = kSerial;
        model.record =
            sim::identificationRecord(sim::referenceDescription(), kType, kProgram, kSerial);
        instrument_ = sim::WinUsbInstrument::attach(*device_, model);
        return K427_BuildFList() == 1;
    }
    Chunks frame(const Bytes& record) const override {
        return sim::WinUsbStreamInstrument::fragments(record);
    }
    void deliver(const Chunks& chunks) override {
        for (const auto& c : chunks) sim::SimWinUsb::instance().queueInput(*device_, c);
    }
    void unplug(bool out) override {
        sim::SimWinUsb::instance().locked([&] {
            device_->present = !out;
            device_->failingCalls =
                out ? sim::winUsbBit(sim::WinUsbCall::Read) | sim::winUsbBit(sim::WinUsbCall::Write)
                    : 0;
            return 0;
        });
    }
    bool stall(bool on) override {
        sim::SimWinUsb::instance().locked([&] {
            device_->writeMode = on ? sim::WinUsbWrite::Stuck : sim::WinUsbWrite::Immediate;
            return 0;
        });
        return true;
    }

  private:
    sim::SimWinUsbDevice* device_ = nullptr;
    std::shared_ptr<sim::WinUsbInstrument> instrument_;
};

struct LinkCase {
    const char* name;
    std::function<std::unique_ptr<Link>()> make;
};

class FaultMatrix : public SimWinUsbTest, public ::testing::WithParamInterface<LinkCase> {
  protected:
    void SetUp() override {
        SimWinUsbTest::SetUp();
        frame::libraryLoad();
    }
    void TearDown() override {
        within(20000, "K427_FreeFList", [] { return K427_FreeFList(); });
        frame::libraryUnload();
        SimWinUsbTest::TearDown();
    }

    // Record n of the instrument's source, and whether the host reads its values.
    Bytes record(uint64_t n) const { return source_.record(n); }
    bool shows(uint64_t n) const {
        const auto& items = source_.items();
        for (size_t i = 0; i < items.size() && i < 4; ++i) {
            const auto& it = items[i];
            if (K427_GetData(0, it.channel, it.set - 1, it.index, it.column) !=
                source_.value(n, it))
                return false;
        }
        return true;
    }
    // Sends fresh records until one shows (a link may lose the first ones after a fault).
    bool streams(Link& link, uint32_t limitMs = 8000) {
        const uint32_t start = platform::tickMs();
        while (platform::tickMs() - start < limitMs) {
            const uint64_t n = next_++;
            link.deliver(link.frame(record(n)));
            if (eventually([&] { return shows(n); }, 400)) return true;
        }
        return false;
    }

    void run(Link& link, Fault fault);

    sim::StreamSource source_ = source();
    uint64_t next_ = 1;
};

Bytes noise(size_t length, uint32_t seed) {
    Bytes out(length);
    for (auto& b : out) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return out;
}

void FaultMatrix::run(Link& link, Fault fault) {
    ASSERT_TRUE(streams(link)) << "streams before the fault";
    switch (fault) {
    case Fault::Unplugged: {
        link.unplug(true);
        EXPECT_TRUE(eventually([] { return K427_IsDeviceOnLine(0) == 0; }, 5000));
        within(2000, "a command to an unplugged device", [] {
            K427_SendRangeCmd(0, 3);
            return 0;
        });
        // Reconnecting while it is out gives a defined answer and keeps it listed.
        const int32_t whileOut =
            within(20000, "K427_ReconnectDevice while out", [] { return K427_ReconnectDevice(0); });
        EXPECT_TRUE(whileOut == 0 || whileOut == 1);
        EXPECT_EQ(K427_GetDeviceCount(), 1);
        link.unplug(false);
        break;
    }
    case Fault::Garbage: {
        link.deliver({noise(3000, 7), noise(517, 11), noise(64, 13)});
        Bytes bad = link.frame(record(next_)).front();
        bad.back() ^= 0x5A; // the checksum, or the record's last byte
        link.deliver({bad});
        break;
    }
    case Fault::ShortRecord: {
        Chunks cut = link.frame(record(next_++));
        cut.front().resize(cut.front().size() / 2);
        cut.resize(1);
        link.deliver(cut);
        break;
    }
    case Fault::Oversized: {
        Bytes big = record(next_++);
        const Bytes tail = noise(40000, 17);
        big.insert(big.end(), tail.begin(), tail.end());
        link.deliver(link.frame(big));
        break;
    }
    case Fault::SplitRecord: {
        // Pieces of 1, 2, 3, ... bytes: every split point of a short prefix and many more.
        const uint64_t n = next_++;
        Chunks pieces;
        for (const Bytes& whole : link.frame(record(n)))
            for (size_t at = 0, len = 1; at < whole.size(); at += len, ++len)
                pieces.emplace_back(whole.begin() + static_cast<long>(at),
                                    whole.begin() +
                                        static_cast<long>(std::min(whole.size(), at + len)));
        link.deliver(pieces);
        break;
    }
    case Fault::Flood: {
        Chunks flood;
        for (int i = 0; i < 3000; ++i)
            for (auto& c : link.frame(record(next_ + static_cast<uint64_t>(i % 16))))
                flood.push_back(std::move(c));
        next_ += 16;
        if (link.byteStream()) { // all at once, as one burst
            Bytes joined;
            for (const auto& c : flood) joined.insert(joined.end(), c.begin(), c.end());
            flood = {std::move(joined)};
        }
        within(60000, "delivering the flood", [&] {
            link.deliver(flood);
            return 0;
        });
        EXPECT_EQ(K427_GetDeviceCount(), 1);
        break;
    }
    case Fault::StalledAtStop: {
        if (!link.stall(true)) return; // datagrams never wait for the peer
        for (int32_t range = 0; range < 4; ++range) K427_SendRangeCmd(0, range);
        EXPECT_EQ(
            within(20000, "K427_FreeFList with stalled transfers", [] { return K427_FreeFList(); }),
            0);
        link.stall(false);
        ASSERT_TRUE(link.list()) << "listed again once the transfers complete";
        EXPECT_TRUE(streams(link));
        return;
    }
    }
    EXPECT_EQ(within(20000, "K427_ReconnectDevice", [] { return K427_ReconnectDevice(0); }), 1);
    // A link that takes one record a turn drains a flood's backlog (what the socket buffer
    // kept) at that pace before fresh records show.
    EXPECT_TRUE(streams(link, fault == Fault::Flood ? 60000 : 8000))
        << "streams again after the reconnect";
}

} // namespace

TEST_P(FaultMatrix, EveryFault) {
    const LinkCase& l = GetParam();
    const Fault faults[] = {Fault::Unplugged,    Fault::Garbage,     Fault::ShortRecord,
                            Fault::Oversized,    Fault::SplitRecord, Fault::Flood,
                            Fault::StalledAtStop};
    for (const Fault f : faults) {
        SCOPED_TRACE(name(f));
        // Each cell from a fresh library and fresh simulators.
        TearDown();
        SetUp();
        next_ = 1;
        auto link = l.make();
        if (!link->list()) {
            if (std::string(l.name) == "ethernet") GTEST_SKIP() << "UDP port 22 is taken here";
            FAIL() << "not listed";
        }
        const uint32_t start = platform::tickMs();
        run(*link, f);
        std::printf("%-9s %-17s %5u ms\n", l.name, name(f), platform::tickMs() - start);
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Links, FaultMatrix,
    ::testing::Values(LinkCase{"ftdi", [] { return std::make_unique<FtdiLink>(); }},
                      LinkCase{"wifi", [] { return std::make_unique<WiFiLink>(); }},
                      LinkCase{"ethernet", [] { return std::make_unique<EthernetLink>(); }},
                      LinkCase{"winusb", [] { return std::make_unique<WinUsbLink>(); }}),
    [](const ::testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

} // namespace zs::test

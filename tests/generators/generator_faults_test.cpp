// Generators that misbehave, on every generator link (VISA, output module, and on a serial
// port where pseudo-terminals exist), through the exports: while the fault lasts every export
// returns within a bound with a defined result, and once it is gone a rebuilt list sets the
// generator again.
#include "generators/generator_fixture.h"
#include "platform/clock.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#ifndef _WIN32
#include "sim_scpi_serial.h"
#endif

namespace zs::test {
namespace {

constexpr char kResource[] = "USB0::0x2A8D::0x0001::ZS0009::INSTR";
constexpr char kIdentity[] = "Zentrel Simulation,SG-20,ZS0009,1.0";
constexpr uint32_t kBoundMs = 3000;

enum class Fault { Unplugged, Garbage, Silent, Stalled };

const char* faultName(Fault f) {
    switch (f) {
    case Fault::Unplugged:
        return "unplugged";
    case Fault::Garbage:
        return "garbage";
    case Fault::Silent:
        return "silent";
    case Fault::Stalled:
        return "stalled";
    }
    return "";
}

// One generator on one link; `fault(f, true)` starts it, `fault(f, false)` ends it. The last
// frequency the generator took, to see a setting arrive.
struct GenLink {
    // Set exports that store the setting for the link's own thread to send (they succeed
    // while the generator is out, and it gets the setting once back).
    bool stores;
    std::function<void()> add;
    std::function<bool(Fault, bool)> fault; // false: the link has no such fault
    std::function<bool(double hz)> tookFrequency;
};

class GeneratorFaults : public GeneratorTest {
  protected:
    GenLink visa() {
        return {false, [] { sim::SimVisa::instance().addInstrument(kResource, kIdentity); },
                [](Fault f, bool on) {
                    std::lock_guard lock(sim::SimVisa::instance().mutex());
                    {
                        auto& in = *sim::SimVisa::instance().find(kResource);
                        switch (f) {
                        case Fault::Unplugged:
                            in.gone = on;
                            return true;
                        case Fault::Garbage:
                            in.garbage = on ? std::string(300, '\x7f') : "";
                            return true;
                        case Fault::Silent:
                            in.silent = on;
                            return true;
                        case Fault::Stalled:
                            return false;
                        }
                        return false;
                    }
                },
                [](double hz) {
                    const auto log = sim::SimVisa::instance().log(kResource);
                    return !log.empty() && log.back() == "FREQ " + std::to_string(hz);
                }};
    }

    GenLink module() {
        return {true, [this] { module_ = addModule("ZS41000A", "Brevane DOUT20", true); },
                [this](Fault f, bool on) {
                    return sim::SimD2xx::instance().locked([&] {
                        auto& d = *sim::SimD2xx::instance().find("ZS41000A");
                        switch (f) {
                        case Fault::Unplugged:
                            d.present = !on;
                            d.failingRoles = on ? ~0u : 0u;
                            return true;
                        case Fault::Garbage:
                            if (on)
                                for (int i = 0; i < 4000; ++i)
                                    d.input.push_back(static_cast<uint8_t>(i * 37 + 11));
                            return true;
                        case Fault::Silent:
                            module_->sendsStatus = !on;
                            return true;
                        case Fault::Stalled:
                            d.writeCompletion = d.readCompletion =
                                on ? sim::Completion::Stuck : sim::Completion::Immediate;
                            return true;
                        }
                        return false;
                    });
                },
                [this](double hz) {
                    // The module's word for a frequency: 2^24 counts of 48 kHz.
                    const auto want = static_cast<uint32_t>(hz * 16777216.0 / 48000.0 + 0.5);
                    return eventually([&] { return module_->freqWord == want; });
                }};
    }

#ifndef _WIN32
    GenLink serial() {
        return {false,
                [this] {
                    serial_ = std::make_unique<sim::SimScpiSerial>(kIdentity);
                    ports = {serial_->path()};
                },
                [this](Fault f, bool on) {
                    using Reply = sim::SimScpiSerial::Reply;
                    switch (f) {
                    case Fault::Unplugged:
                        if (on) {
                            serial_->vanish();
                        } else { // plugged back: the port comes again, perhaps under a new name
                            serial_ = std::make_unique<sim::SimScpiSerial>(kIdentity);
                            ports = {serial_->path()};
                        }
                        return true;
                    case Fault::Garbage:
                        serial_->setReply(on ? Reply::Endless : Reply::Identity);
                        return true;
                    case Fault::Silent:
                        serial_->setReply(on ? Reply::Silent : Reply::Identity);
                        return true;
                    case Fault::Stalled:
                        return false;
                    }
                    return false;
                },
                [this](double hz) {
                    return serial_->waitForCommand("FREQ " + std::to_string(hz), kBoundMs);
                }};
    }
    std::unique_ptr<sim::SimScpiSerial> serial_;
#endif
    std::shared_ptr<sim::OutputModuleModel> module_;

    // Runs `call` and checks it returned within the bound.
    template <class Call>
    static auto timed(const char* what, Call&& call) {
        const uint32_t start = platform::tickMs();
        const auto result = call();
        EXPECT_LT(platform::tickMs() - start, kBoundMs) << what;
        return result;
    }

    void run(const GenLink& link, Fault f) {
        link.add();
        ASSERT_EQ(K427_BuildGenList(), 1);
        ASSERT_EQ(K427_GenSetFreq(0, 1000.0, 0), 1);
        ASSERT_TRUE(link.tookFrequency(1000.0));
        if (!link.fault(f, true)) return; // no such fault on this link

        ZS_WCHAR buffer[64] = {'#'};
        const int32_t named =
            timed("K427_GetGenName", [&] { return K427_GetGenName(0, buffer, 64); });
        EXPECT_TRUE(named == 0 || buffer[named] == 0) << "a terminated text";
        const int32_t set = timed("K427_GenSetFreq", [] { return K427_GenSetFreq(0, 2000.0, 0); });
        EXPECT_TRUE(set == 0 || set == 1);
        if (f == Fault::Unplugged) {
            EXPECT_EQ(set, link.stores ? 1 : 0) << "a setting that cannot arrive fails";
        }
        timed("K427_GenSetLevel", [] { return K427_GenSetLevel(0, 0.5, 0); });
        timed("K427_BuildGenList", [] { return K427_BuildGenList(); });

        link.fault(f, false);
        ASSERT_GE(timed("K427_BuildGenList", [] { return K427_BuildGenList(); }), 1);
        EXPECT_EQ(K427_GenSetFreq(0, 3000.0, 0), 1);
        EXPECT_TRUE(link.tookFrequency(3000.0));
    }
};

TEST_F(GeneratorFaults, EveryGeneratorLinkSurvivesEveryFault) {
    struct Column {
        const char* name;
        std::function<GenLink()> make;
    };
    std::vector<Column> links = {{"visa", [this] { return visa(); }},
                                 {"output module", [this] { return module(); }}};
#ifndef _WIN32
    links.push_back({"serial", [this] { return serial(); }});
#endif
    for (const auto& l : links)
        for (const Fault f : {Fault::Unplugged, Fault::Garbage, Fault::Silent, Fault::Stalled}) {
            SCOPED_TRACE(std::string(l.name) + " / " + faultName(f));
            TearDown(); // each cell from a fresh library and fresh simulators
            SetUp();
            run(l.make(), f);
            if (HasFatalFailure()) return;
        }
}

} // namespace
} // namespace zs::test

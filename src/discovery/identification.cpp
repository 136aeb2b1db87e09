#include "discovery/identification.h"

#include "frame/library.h"
#include "platform/clock.h"
#include "platform/little_endian.h"
#include "telemetry/record_decoder.h"
#include "telemetry/record_identity.h"
#include "trace/trace.h"
#include "transport/dispatch.h"
#include "transport/ftdi_transport.h"
#include "transport/socket_transport.h"

#include <map>
#include <memory>
#include <span>

namespace zs::discovery {

using frame::DevStruct;
using transport::CPacketProcess;
using transport::LinkKind;

namespace {

constexpr uint32_t kRates[3] = {2304000, 115200, 2048000};
constexpr uint32_t kNetworkExtraMs = 150;
constexpr uint32_t kReadSize = static_cast<uint32_t>(transport::kRxBufferSize);

constexpr uint8_t kQuery[15] = {'k', 'X', '-', 'w', 'a', 'v', 'e', 0, 4, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kAcknowledge[2] = {0xA0, 0x1A};
constexpr uint8_t kProgramListRequest[12] = {0x11, 0x22, 0x33, 0x44, 4, 0, 0, 0, 0, 0, 0, 0};

// Without an FTDI handle the link is a network one, whose time-outs get an extra allowance.
bool isNetwork(const DevStruct& d) {
    return !d.hasFtdi();
}

uint32_t stageOf(const DevStruct& d) {
    return static_cast<uint32_t>(d.linkState) >> 8;
}
uint32_t stepOf(const DevStruct& d) {
    return static_cast<uint32_t>(d.linkState) & 0xFF;
}
void setStep(DevStruct& d, uint32_t step, uint32_t now) {
    d.linkState = static_cast<int32_t>((static_cast<uint32_t>(d.linkState) & ~0xFFu) | step);
    d.stateTime = now;
}
void setState(DevStruct& d, uint32_t state, uint32_t now) {
    d.linkState = static_cast<int32_t>(state);
    d.stateTime = now;
}

struct StepClock {
    int32_t linkState;
    uint32_t since;
};

struct Pass {
    bool removeFailed;
    uint32_t presetRate;
    int count = 0;
    std::map<const DevStruct*, uint32_t> presetWaits;
    std::map<const DevStruct*, StepClock> rateClocks;
    std::map<const DevStruct*, uint32_t> tracedStages; // only while the trace is on
};

// Tries of a tagged-packet record at a preset rate, each a 2000 ms wait; then it fails.
constexpr uint32_t kPresetTries = 3;

// The stage as the trace names it, after what the turn functions do in it.
std::string stageName(const DevStruct& d, uint32_t stage, const Pass& pass) {
    const auto at = [](uint32_t rate) { return " at " + std::to_string(rate) + " baud"; };
    if (transport::identifiedByTaggedPackets(d.linkKind)) {
        if (pass.presetRate != 0) return "preset-rate wait" + at(pass.presetRate);
        if (stage <= 2) return "query" + at(kRates[stage]);
        if (stage <= 5) return "acknowledge" + at(kRates[stage - 3]);
        return "tagged stages over";
    }
    switch (stage) {
    case 0:
        return isNetwork(d) ? "reset line" : "reset pulse";
    case 1:
        return "program list" + at(768000);
    case 2:
        return "listen" + at(230400);
    case 3:
        return "wake-up" + at(1728000);
    case 4:
        return "listen" + at(115200);
    default:
        return "sync stages over";
    }
}

// What the stage waits for at its step when its time runs out.
const char* awaited(const DevStruct& d, uint32_t stage, uint32_t step, const Pass& pass) {
    if (transport::identifiedByTaggedPackets(d.linkKind))
        return pass.presetRate == 0 && stage <= 2 ? "reply to the query" : "identification record";
    if (stage == 0) return nullptr; // the pulse's pause, not a wait for the instrument
    if (stage == 1 && step == 5) return "program list";
    return "identification record";
}

std::string traceName(const DevStruct& d) {
    return "identify " + transport::linkName(d) + " (kind " +
           std::to_string(transport::code(d.linkKind)) + ")";
}

// Moves to the next stage once `timeoutMs` (lengthened on network links) has passed.
void nextStageAfter(DevStruct& d, const Pass& pass, uint32_t now, uint32_t timeoutMs) {
    if (isNetwork(d)) timeoutMs += kNetworkExtraMs;
    if (d.linkState == -1 || now - d.stateTime < timeoutMs) return;
    if (trace::on()) {
        const char* what = awaited(d, stageOf(d), stepOf(d), pass);
        const std::string stage = stageName(d, stageOf(d), pass);
        if (what)
            trace::emit(traceName(d), ": ", stage, ": no ", what, " within ", timeoutMs, " ms");
        else
            trace::emit(traceName(d), ": ", stage, " over after ", timeoutMs, " ms");
    }
    d.linkState = static_cast<int32_t>((static_cast<uint32_t>(d.linkState) & ~0xFFu) + 0x100);
}

void ensureLinkObjects(DevStruct& d, bool tagged) {
    if (!d.packetProcessor) {
        if (tagged)
            d.packetProcessor = std::make_unique<transport::CDoutPacketProcess>(8192);
        else
            d.packetProcessor = std::make_unique<transport::CDinPacketProcess>(5120);
    }
    if (!d.stopEvent)
        d.stopEvent = std::make_unique<platform::Event>(platform::Event::Reset::Manual, false);
}

void send(DevStruct& d, const uint8_t* bytes, uint32_t length) {
    transport::deviceWrite(d, bytes, length, d.stopEvent.get(), d.ioOverlapped);
}

// One read into rxBuffer: on FTDI only what waits (never blocking), else a socket read with
// the time-out. Returns the bytes read.
uint32_t readOnce(DevStruct& d, uint32_t timeoutMs) {
    if (d.hasFtdi()) {
        uint32_t waiting = 0;
        if (transport::d2xx().queue(d.ftdiHandle, &waiting) != transport::kD2xxOk || waiting == 0)
            return 0;
        if (waiting > kReadSize) waiting = kReadSize;
        return transport::ftdiRead(d.ftdiHandle, d.rxBuffer.data(), waiting, d.stopEvent.get(),
                                   d.ioOverlapped);
    }
    return transport::deviceRead(d, d.rxBuffer.data(), kReadSize, d.stopEvent.get(), d.ioOverlapped,
                                 &d.readPending, timeoutMs + kNetworkExtraMs);
}

// Reads once and hands every completed packet to `onPacket` (payload, length); `onPacket`
// returns false to stop looking at the rest. The packet-size limit is `limit` meanwhile
// (0: unchanged).
template <class Fn>
void readPackets(DevStruct& d, uint32_t timeoutMs, uint32_t limit, Fn&& onPacket) {
    const uint32_t n = readOnce(d, timeoutMs);
    if (n == 0) return;
    CPacketProcess& p = *d.packetProcessor;
    const uint32_t saved = p.capacity();
    if (limit != 0 && limit < saved) p.setCapacity(limit);
    uint32_t position = 0;
    while (p.process(d.rxBuffer.data(), n, position))
        if (!onPacket(p.payload(), p.payloadLength())) break;
    p.setCapacity(saved);
}

enum class Outcome { Going, Remove };

// A failed record the caller keeps is marked done even without keepOnFailure: left in a
// failure stage it would get turns for ever.
Outcome failure(DevStruct& d, bool removeFailed, const char* reason) {
    ZS_TRACE_LINE(traceName(d), ": gave up: ", reason,
                  removeFailed ? "; removed from the list" : "; kept, marked done");
    if (removeFailed) return Outcome::Remove;
    d.linkState = -1;
    return Outcome::Going;
}

// A rate step waits at most 100 ms before its next turn moves it on. One that has not moved
// for this long, its turn taken, has a driver call that keeps failing (an instrument pulled
// out), and its stage is given up.
constexpr uint32_t kRateStallMs = 400;

// The rate step while the step is below 4.
void rateStep(DevStruct& d, uint32_t rate, Pass& pass) {
    if (stepOf(d) >= 4) return;
    const int32_t before = d.linkState;
    transport::deviceRateStep(d, rate, d.stopEvent.get());
    const uint32_t now = platform::tickMs();
    if (trace::on() && stageOf(d) != (static_cast<uint32_t>(before) >> 8))
        trace::emit(traceName(d), ": ", stageName(d, static_cast<uint32_t>(before) >> 8, pass),
                    ": the driver refused the rate");
    StepClock& clock = pass.rateClocks.try_emplace(&d, StepClock{before, now}).first->second;
    if (d.linkState != before || clock.linkState != before) {
        clock = StepClock{d.linkState, now};
        return;
    }
    if (now - clock.since >= kRateStallMs) {
        ZS_TRACE_LINE(traceName(d), ": ", stageName(d, stageOf(d), pass),
                      ": the rate call kept failing for ", now - clock.since,
                      " ms; stage given up");
        setState(d, (stageOf(d) + 1) << 8, now);
    }
}

bool hasLink(const DevStruct& d) {
    return d.hasFtdi() || d.hasTcp() || d.hasUdp() || d.hasWinUsb();
}

Outcome taggedTurn(DevStruct& d, Pass& pass) {
    ensureLinkObjects(d, true);
    uint32_t now = platform::tickMs();
    if (pass.presetRate != 0) {
        transport::deviceRateStep(d, pass.presetRate, d.stopEvent.get());
        // A wait that timed out comes back as the next stage at step 0; count it.
        if (stageOf(d) == 5 && stepOf(d) != 5 && ++pass.presetWaits[&d] >= kPresetTries) {
            d.linkState = 0x600;
        } else {
            d.linkState = 0x405;
        }
        now = platform::tickMs();
    }
    const uint32_t stage = stageOf(d);
    const uint32_t step = stepOf(d);
    const bool network = isNetwork(d);

    if (stage <= 2) {
        const uint32_t rate = kRates[stage];
        if (step < 4) {
            rateStep(d, rate, pass);
        } else if (step == 4) {
            if (network && d.hasTcp()) readOnce(d, 50);
            send(d, kQuery, sizeof kQuery);
            setStep(d, 5, now);
        } else {
            readPackets(d, 50, 64, [&](const uint8_t* p, uint32_t length) {
                if (length < 4 || platform::le16(p) != 0) return true;
                d.maxBaudRate = 0;
                if (length >= 16 && platform::le16(p + 4) == 0xAAAA) {
                    uint32_t count = platform::le16(p + 12);
                    if (count > length / 4) count = length / 4;
                    for (uint32_t i = 0; i < count && 14 + 4 * i + 4 <= length; ++i) {
                        const uint8_t* r = p + 14 + 4 * i;
                        const uint32_t listed = platform::le32(r);
                        if (listed > d.maxBaudRate) d.maxBaudRate = listed;
                    }
                }
                if (!network)
                    transport::ftdiWrite(d.ftdiHandle, kAcknowledge, sizeof kAcknowledge,
                                         d.stopEvent.get(), d.ioOverlapped);
                setState(d, ((stage + 3) << 8) + 4, now);
                return true;
            });
            if (stageOf(d) == stage) nextStageAfter(d, pass, now, 100);
        }
        return Outcome::Going;
    }
    if (stage <= 5) {
        const uint32_t rate = kRates[stage - 3];
        if (step < 4) {
            rateStep(d, rate, pass);
        } else if (step == 4) {
            send(d, kAcknowledge, sizeof kAcknowledge);
            setStep(d, 5, now);
        } else {
            readPackets(d, 50, 0, [&](const uint8_t* p, uint32_t length) {
                if (length >= 2 && platform::le16(p) == 61) return true;
                applyIdentificationAtRate(d, rate, p, length);
                ++pass.count;
                return true;
            });
            nextStageAfter(d, pass, now, 2000);
        }
        return Outcome::Going;
    }
    if (d.multiDout && !d.keepOnFailure) {
        ZS_TRACE_LINE(traceName(d), ": no answer to tagged packets; trying sync packets");
        d.linkState = 0;
        d.linkKind = LinkKind::MultiPortOutput;
        d.packetProcessor.reset();
        return Outcome::Going;
    }
    return failure(d, pass.removeFailed,
                   pass.presetRate != 0 ? "no record at the preset rate in 3 waits"
                                        : "no answer at any rate");
}

// The first packet of at least `minLength` bytes is the identification record.
void readIdentification(DevStruct& d, Pass& pass, uint32_t timeoutMs, uint32_t minLength,
                        uint32_t rate) {
    readPackets(d, timeoutMs, 0, [&](const uint8_t* p, uint32_t length) {
        if (length < minLength) return true;
        if (rate != 0) d.baudRate = rate;
        applyIdentification(d, p, length);
        ++pass.count;
        return false;
    });
}

// The network line command of a sync-packet link: code by channel, `value` on or off.
void networkLine(DevStruct& d, uint32_t value);

Outcome syncTurn(DevStruct& d, Pass& pass) {
    ensureLinkObjects(d, false);
    if (pass.presetRate != 0) {
        transport::deviceRateStep(d, pass.presetRate, d.stopEvent.get());
        d.linkState = 0x705;
    }
    const uint32_t now = platform::tickMs();
    const uint32_t stage = stageOf(d);
    const uint32_t step = stepOf(d);
    const bool network = isNetwork(d);
    const uint8_t mask = transport::resetLine(d.linkKind);

    switch (stage) {
    case 0:
        if (step == 0) {
            if (network) {
                networkLine(d, 0x41);
            } else {
                transport::d2xx().bitMode(d.ftdiHandle, mask, 4);
                const uint8_t pulse = 0x20;
                transport::ftdiWrite(d.ftdiHandle, &pulse, 1, d.stopEvent.get(), d.ioOverlapped);
            }
            setStep(d, 1, now);
        } else if (step == 1) {
            if (!network && readOnce(d, 0) != 0) d.stateTime = now;
            if (now - d.stateTime >= 400) {
                if (network)
                    networkLine(d, 0);
                else
                    transport::d2xx().bitMode(d.ftdiHandle, mask, 0);
                setStep(d, 2, now);
            }
        } else {
            nextStageAfter(d, pass, now, 800);
        }
        break;
    case 1:
        if (step < 4) {
            rateStep(d, 768000, pass);
        } else if (step == 4) {
            if (network && d.hasTcp()) readOnce(d, 250);
            send(d, kProgramListRequest, sizeof kProgramListRequest);
            setStep(d, 5, now);
        } else if (step == 5) {
            readPackets(d, 150, 22, [&](const uint8_t* p, uint32_t length) {
                if (length <= 2 || platform::le16(p) != 0) return true;
                d.baudRate = 768000;
                uint16_t program = platform::le16(p + 2);
                for (uint32_t i = 1; i < length / 2; ++i)
                    if (platform::le16(p + 2 * i) == d.requestedProgram)
                        program = platform::le16(p + 2 * i);
                const uint8_t select[12] = {0x11,
                                            0x22,
                                            0x33,
                                            0x44,
                                            4,
                                            0,
                                            0,
                                            0,
                                            static_cast<uint8_t>(program),
                                            static_cast<uint8_t>(program >> 8),
                                            static_cast<uint8_t>(program),
                                            static_cast<uint8_t>(program >> 8)};
                send(d, select, sizeof select);
                setStep(d, 6, now);
                return false;
            });
            if (stepOf(d) == 5) nextStageAfter(d, pass, now, 100);
        } else {
            readIdentification(d, pass, 2000, 17, 0);
            nextStageAfter(d, pass, now, 2000);
        }
        break;
    case 2:
        if (step < 4) {
            rateStep(d, 230400, pass);
        } else {
            readIdentification(d, pass, 1000, 17, 230400);
            nextStageAfter(d, pass, now, 1000);
        }
        break;
    case 3:
        if (step < 4) {
            rateStep(d, 1728000, pass);
        } else if (step == 4) {
            uint8_t wake[60] = {0x11, 0x22, 0x33, 0x44, 0x32, 0x00, 0xCD, 0xFF};
            send(d, wake, sizeof wake);
            setStep(d, 5, now);
        } else {
            readIdentification(d, pass, 2000, 1, 1728000);
            nextStageAfter(d, pass, now, 2000);
        }
        break;
    case 4:
        if (step < 4) {
            rateStep(d, 115200, pass);
        } else {
            readIdentification(d, pass, 2000, 8, 115200);
            nextStageAfter(d, pass, now, 1000);
        }
        break;
    default:
        return failure(d, pass.removeFailed,
                       pass.presetRate != 0 ? "sync-packet instruments have no preset-rate wait"
                                            : "no answer at any rate");
    }
    return Outcome::Going;
}

void networkLine(DevStruct& d, uint32_t value) {
    transport::lineCommand(d.commandSocketHandle(), d.channelIndex != 0 ? 1 : 64, value,
                           d.stopEvent.get(), d.ioOverlapped);
}

void lineSetUp(DevStruct& d, uint32_t presetRate) {
    const transport::D2xxApi& api = transport::d2xx();
    api.flow(d.ftdiHandle, transport::usesHandshake(d.linkKind) ? 0x0100 : 0, 0, 0);
    transport::D2xxLineSettings line;
    api.getLineSettings(d.ftdiHandle, &line);
    line.flags &= ~2u;
    line.length = 28;
    line.byteSize = 8;
    line.stopBits = 1;
    api.setLineSettings(d.ftdiHandle, &line);
    api.characters(d.ftdiHandle, 0, 0, 0, 0);
    if (presetRate == 0) api.rate(d.ftdiHandle, 3000000);
}

constexpr const char* kNoLink = "no link (the instrument went before it was opened again)";

bool stopSignalled(const DevStruct& d) {
    return d.stopEvent && d.stopEvent->wait(0);
}

// The turn's news: a stage entered, a step of it that talks to the instrument, an identity.
void traceTurn(DevStruct& d, Pass& pass, int32_t before, bool applied) {
    if (d.linkState == -1) {
        if (applied)
            trace::emit(traceName(d), ": identified: type ", d.state.deviceType, ", program ",
                        d.state.programNumber, ", serial ", d.state.serialNumber, " at ",
                        d.baudRate, " baud");
        return;
    }
    const uint32_t stage = stageOf(d), step = stepOf(d);
    const bool tagged = transport::identifiedByTaggedPackets(d.linkKind);
    if (tagged && pass.presetRate != 0) {
        // Each wait at the preset rate is stage 4 at step 5; what lies between is bookkeeping.
        if (d.linkState == 0x405 && before != 0x405) {
            const auto waits = pass.presetWaits.find(&d);
            const uint32_t done = waits == pass.presetWaits.end() ? 0 : waits->second;
            trace::emit(traceName(d), ": ", stageName(d, stage, pass), ", wait ", done + 1, " of ",
                        kPresetTries);
        }
        return;
    }
    // Past the last stage the next turn gives up, and says why.
    if (stage > (tagged ? 5u : 4u)) return;
    // A stage is named on its first turn, even one whose rate call does not move it.
    const auto traced = pass.tracedStages.find(&d);
    if (traced == pass.tracedStages.end() || traced->second != stage) {
        pass.tracedStages[&d] = stage;
        trace::emit(traceName(d), ": ", stageName(d, stage, pass));
    }
    if (d.linkState == before) return;
    const char* news = nullptr;
    if (tagged) {
        if (step == 5) news = stage <= 2 ? "query sent" : "acknowledge sent";
    } else if (stage == 0) {
        if (step == 1) news = "line pulled";
        if (step == 2) news = "line released";
    } else if (stage == 1 && step == 5) {
        news = "program list requested";
    } else if (stage == 1 && step == 6) {
        news = "program selected";
    } else if (stage == 3 && step == 5) {
        news = "wake-up sent";
    }
    if (news) trace::emit(traceName(d), ": ", stageName(d, stage, pass), ": ", news);
}

} // namespace

int identifyDevices(bool removeFailed, uint32_t presetRate) {
    frame::DeviceList& list = frame::lib().devices;
    for (const auto& d : list)
        if (!d->ioThread && d->hasFtdi()) lineSetUp(*d, presetRate);

    Pass pass{removeFailed, presetRate, 0, {}, {}, {}};
    for (;;) {
        bool active = false;
        for (auto it = list.begin(); it != list.end();) {
            const std::shared_ptr<DevStruct> d = *it; // kept alive through a removal
            if (d->linkKind == LinkKind::NoneOrWinUsb || d->linkState == -1) {
                ++it;
                continue;
            }
            active = true;
            // A record with nothing to talk to (its instrument went before it was reopened)
            // fails at once.
            const int32_t before = d->linkState;
            const int countBefore = pass.count;
            const Outcome outcome = !hasLink(*d) ? failure(*d, removeFailed, kNoLink)
                                    : transport::identifiedByTaggedPackets(d->linkKind)
                                        ? taggedTurn(*d, pass)
                                        : syncTurn(*d, pass);
            if (trace::on() && outcome == Outcome::Going)
                traceTurn(*d, pass, before, pass.count != countBefore);
            if (outcome == Outcome::Remove) {
                pass.presetWaits.erase(d.get());
                pass.rateClocks.erase(d.get());
                pass.tracedStages.erase(d.get());
                it = list.erase(it);
                if (it == list.end()) break;
                continue;
            }
            if (stopSignalled(**it) || (*it)->linkKind == LinkKind::NoneOrWinUsb) break;
            ++it;
        }
        if (!active) return pass.count;
    }
}

void applyIdentificationAtRate(DevStruct& device, uint32_t rate, const uint8_t* record,
                               uint32_t length) {
    device.linkState = -1;
    if (device.linkKind == LinkKind::FtdiDirect && device.maxBaudRate > rate)
        rate = device.maxBaudRate;
    device.baudRate = rate;
    if (length < 4) return;
    const telemetry::RecordIdentity id = telemetry::recordIdentity({record, length});
    device.state.deviceType = id.deviceType;
    device.state.programNumber = id.programNumber;
    const auto& table = frame::lib().description;
    if (device.selectLayout(table))
        telemetry::decodeCheckedByTable(table, std::span<const uint8_t>(record, length & ~1u),
                                        device.rows, device.state);
}

void applyIdentification(DevStruct& device, const uint8_t* record, uint32_t length) {
    device.linkState = -1;
    if (length < 4) return;
    device.state.deviceType = platform::le16(record);
    device.state.programNumber = platform::le16(record + 2);
    const auto& table = frame::lib().description;
    if (device.selectLayout(table))
        telemetry::decodeCheckedByTable(table, std::span<const uint8_t>(record, length),
                                        device.rows, device.state);
}

} // namespace zs::discovery

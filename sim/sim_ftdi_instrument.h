#pragma once
// Simulated FTDI instruments answering the identification exchanges: they talk only at
// their own line rate (set by the rate call, or told by the rate packet framed by line
// low/high), the sync family only after a bit-mode reset pulse on its mask, and they reply
// with the identification record the test gives them.
#include "sim_d2xx.h"
#include "sim_signal.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace zs::sim {

// A tagged packet of form 1: "kX-wave", variant, length, payload, byte sum.
std::vector<uint8_t> taggedFrame(std::span<const uint8_t> payload, uint8_t variant = 0);
// A sync packet: 11 22 33 44, length, payload (even), word sum.
std::vector<uint8_t> syncFrame(std::span<const uint8_t> payload);

struct FtdiInstrument {
    enum class Family { Tagged, Sync };
    Family family = Family::Tagged;
    uint32_t rate = 2304000; // the line rate it talks at
    bool packetRate = false; // told its rate by the rate packet, not by the rate call

    // Tagged family.
    bool answersQuery = true;       // replies to the query; else only to the acknowledge
    std::vector<uint32_t> rateList; // rates listed in the query reply
    bool statusFirst = false;       // a status packet (word 0 = 61) before the record

    // Sync family: the bit-mode mask of its reset pulse, and at 768000 the program list.
    uint8_t resetMask = 0x20;
    std::vector<uint16_t> programs;

    std::vector<uint8_t> record; // identification record payload (type, program, ...)
    bool streams = false;        // sends the record unasked whenever its rate is set

    // Raw-signal mode (tagged family): after the signal-mode command (fast or normal speed)
    // it streams tagged packets of signal blocks until it is told to stream records again.
    std::optional<SignalModel> signalFast;
    std::optional<SignalModel> signalNormal;

    // Observed by the test.
    uint32_t queriesAnswered = 0;
    uint32_t recordsSent = 0;
    uint16_t selectedProgram = 0xFFFF;
    uint32_t currentRate = 0; // 0 while unknown
    bool pulseSeen = false;
    uint32_t signalStarts = 0;
    uint64_t signalBlocksSent() const { return streamer_ ? streamer_->blocksSent() : 0; }

    // Makes `device` this instrument (hooks hold a shared reference to it).
    static std::shared_ptr<FtdiInstrument> attach(SimD2xxDevice& device, FtdiInstrument model);

  private:
    void onCall(SimD2xxDevice& d, const D2xxCall& call);
    void onWrite(SimD2xxDevice& d, const uint8_t* bytes, size_t length);
    void rateChanged(SimD2xxDevice& d, uint32_t newRate);
    void sendRecord(SimD2xxDevice& d, uint16_t program);
    bool talking() const { return currentRate == rate && (family == Family::Tagged || pulseSeen); }

    void startSignal(SimD2xxDevice& d, const SignalModel& model);

    std::shared_ptr<SignalStreamer> streamer_;
    bool lineLow_ = false;
    std::vector<uint8_t> ratePacket_;
    bool pulseStarted_ = false;
};

} // namespace zs::sim

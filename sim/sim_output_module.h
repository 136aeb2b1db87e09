#pragma once
// Simulated output module on the simulated D2XX: it sends a status packet (141, carrying its
// current level word) whenever its queue is looked at and its period has passed, takes the
// frequency and level commands written to it, and acknowledges each frequency (154, step 1,
// the value taken).
#include "sim_d2xx.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace zs::sim {

struct OutputModuleModel {
    enum class Family { Tagged, Sync };
    Family family = Family::Tagged;
    uint32_t statusPeriodMs = 20;
    bool sendsStatus = true;
    bool acknowledges = true;
    uint32_t acknowledgeOffset = 0; // added to the acknowledged value (0: the true one)

    // The module's own state and what it received, observed by the test.
    uint16_t levelWord = 0;
    uint32_t freqWord = 0;
    uint32_t statusSent = 0;
    uint32_t frequencyCommands = 0;
    uint32_t levelCommands = 0;
    std::vector<uint32_t> commands; // every command word, in order

    // Makes `device` this module (its hooks hold a shared reference to it).
    static std::shared_ptr<OutputModuleModel> attach(SimD2xxDevice& device,
                                                     OutputModuleModel model);

    // Payloads the module sends.
    static std::vector<uint8_t> statusPayload(uint16_t levelWord);
    static std::vector<uint8_t> acknowledgePayload(uint16_t step, uint32_t value);

  private:
    void poll(SimD2xxDevice& d);
    void take(SimD2xxDevice& d, const uint8_t* bytes, size_t length);
    void command(SimD2xxDevice& d, uint32_t word);
    void send(SimD2xxDevice& d, const std::vector<uint8_t>& payload);

    std::vector<uint8_t> received_;
    uint32_t lastStatus_ = 0;
    bool sentOnce_ = false;
};

} // namespace zs::sim

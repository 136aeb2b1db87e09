#pragma once
// What a streaming instrument sends: records of one layout of the description source,
// built by the simulator's own encoder, with values that move from record to record, due at
// a chosen rate.
#include "description_source.h"
#include "record_encoder.h"

#include <cstdint>
#include <vector>

namespace zs::sim {

struct StreamIdentity {
    uint16_t deviceType = 28;
    uint16_t programNumber = 40;
    uint32_t serialNumber = 0x00031001;
};

class StreamSource {
  public:
    // `recordsPerSecond` 0: records go out only when pushed.
    StreamSource(const zsdesc::Layout& layout, StreamIdentity identity, double recordsPerSecond);

    // Encodes `count` records once and sends them in turn from then on (record n is then
    // record n % count), so a fast stream costs its sender no encoding.
    void precompute(uint32_t count);

    // Record n (from 0) and what it carries.
    RecordContent content(uint64_t n) const;
    std::vector<uint8_t> record(uint64_t n) const;
    // The value a reader decodes from record n for a value item of the layout.
    double value(uint64_t n, const ValueItem& item) const;
    const std::vector<ValueItem>& items() const { return items_; }
    const StreamIdentity& identity() const { return identity_; }
    // The program the instrument runs from now on (its records say so).
    void setProgram(uint16_t program) {
        identity_.programNumber = program;
        cache_.clear();
    }
    uint32_t recordSize() const { return recordSize_; }

    // The clock starts (first record due at once) or stops; a restart goes on numbering.
    void start(uint32_t nowMs);
    void stop() { running_ = false; }
    bool running() const { return running_; }
    double rate() const { return rate_; }
    void setRate(double recordsPerSecond) { rate_ = recordsPerSecond; }

    // How many records are due by `nowMs` and not yet taken, marking them taken. A backlog
    // of more than a second's worth is skipped, as an instrument's buffer would overflow.
    uint64_t takeDue(uint32_t nowMs);
    // Numbers the next `count` records as taken now (records pushed by hand); returns the
    // first one's number.
    uint64_t take(uint64_t count);
    uint64_t taken() const { return next_; }

  private:
    std::vector<uint32_t> words_;
    uint32_t wideColumns_;
    uint32_t recordSize_;
    StreamIdentity identity_;
    double rate_;
    std::vector<ValueItem> items_;
    std::vector<std::vector<uint8_t>> cache_;
    bool running_ = false;
    uint32_t startMs_ = 0;
    uint64_t startCount_ = 0;
    uint64_t next_ = 0;
};

// The layout of `typeCode` in the reference description beside the test programs
// (TeleDescFile.json); throws when there is none.
const zsdesc::Layout& referenceLayout(uint16_t typeCode);

} // namespace zs::sim

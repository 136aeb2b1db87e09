#include "stream_source.h"

#include "description_json.h"

#include <cmath>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace zs::sim {

StreamSource::StreamSource(const zsdesc::Layout& layout, StreamIdentity identity,
                           double recordsPerSecond)
    : words_(layout.words), wideColumns_(layout.wideColumns), identity_(identity),
      rate_(recordsPerSecond), items_(valueItems(layout.words, layout.wideColumns)) {
    recordSize_ = static_cast<uint32_t>(record(0).size());
}

void StreamSource::precompute(uint32_t count) {
    cache_.clear();
    for (uint32_t n = 0; n < count; ++n)
        cache_.push_back(encodeRecord(words_, wideColumns_, content(n)));
}

RecordContent StreamSource::content(uint64_t n) const {
    if (!cache_.empty()) n %= cache_.size();
    RecordContent c;
    c.deviceType = identity_.deviceType;
    c.programNumber = identity_.programNumber;
    c.sequence = static_cast<uint16_t>(n);
    c.packedDate = (2025 - 1980) << 9 | 3 << 5 | 14;
    c.packedTime = 9u << 12 | 15u << 6 | static_cast<uint32_t>(2 * (n % 30));
    c.serialNumber = identity_.serialNumber;
    c.range = 1;
    c.startStop = 1;
    c.overflow = n % 3 == 0 ? 0x0001 : 0;
    c.untagged = {0, 0};
    const double phase = 0.7 * static_cast<double>(n % 1000);
    // Band levels of a noise spectrum that swells and settles from record to record.
    c.value = [phase](int channel, int set, int index, int column) {
        return 55.0 + 2.0 * channel + 3.0 * set + 0.5 * index - 0.4 * column +
               8.0 * std::sin(phase + 0.4 * column + channel);
    };
    c.bandFrequency = [](int, int column) {
        return std::round(1000.0 * std::pow(10.0, (column - 4) / 10.0) * 100.0) / 100.0;
    };
    return c;
}

std::vector<uint8_t> StreamSource::record(uint64_t n) const {
    if (!cache_.empty()) return cache_[n % cache_.size()];
    return encodeRecord(words_, wideColumns_, content(n));
}

double StreamSource::value(uint64_t n, const ValueItem& item) const {
    return representable(item.word >> 28,
                         content(n).value(item.channel, item.set, item.index, item.column));
}

void StreamSource::start(uint32_t nowMs) {
    running_ = true;
    startMs_ = nowMs;
    startCount_ = next_;
}

uint64_t StreamSource::takeDue(uint32_t nowMs) {
    if (!running_ || rate_ <= 0) return 0;
    const double elapsed = static_cast<uint32_t>(nowMs - startMs_) / 1000.0;
    const uint64_t due = startCount_ + static_cast<uint64_t>(elapsed * rate_) + 1;
    if (due <= next_) return 0;
    const auto backlog = static_cast<uint64_t>(std::max(1.0, rate_));
    if (due - next_ > backlog) next_ = due - backlog;
    const uint64_t count = due - next_;
    next_ = due;
    return count;
}

uint64_t StreamSource::take(uint64_t count) {
    const uint64_t first = next_;
    next_ += count;
    if (running_) startCount_ += count; // pushed records do not count against the clock
    return first;
}

const zsdesc::Layout& referenceLayout(uint16_t typeCode) {
    static std::once_flag once;
    static zsdesc::Description description;
    std::call_once(once, [] {
        std::ifstream in("TeleDescFile.json");
        if (!in) throw std::runtime_error("TeleDescFile.json is not beside the program");
        description = zsdesc::descriptionFromJson(nlohmann::json::parse(in));
    });
    for (const auto& layout : description.layouts)
        if (layout.typeCode == typeCode) return layout;
    throw std::runtime_error("the reference description has no layout for type " +
                             std::to_string(typeCode));
}

} // namespace zs::sim

#include "telemetry/record_decoder.h"

#include "platform/little_endian.h"
#include "platform/local_time.h"
#include "telemetry/description_file.h"
#include "telemetry/instrument_text.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace zs::telemetry {
namespace {

// 10^x, exact for whole exponents on every platform: some C runtimes' pow is off by a unit in
// the last place there, and the library's values must not depend on the platform.
double powerOfTen(double x) {
    static constexpr double kExact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (x == std::floor(x) && std::fabs(x) <= 22.0) {
        const double p = kExact[static_cast<int>(std::fabs(x))];
        return x < 0 ? 1.0 / p : p;
    }
    return std::pow(10.0, x);
}

int32_t readI32(const uint8_t* p) {
    return static_cast<int32_t>(platform::le32(p));
}
float readF32(const uint8_t* p) {
    const uint32_t bits = platform::le32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
double readF64(const uint8_t* p) {
    const uint64_t bits = uint64_t(platform::le32(p)) | uint64_t(platform::le32(p + 4)) << 32;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

bool isValueItem(uint32_t word) {
    const uint32_t kind = (word >> 24) & 0xF;
    return kind == 1 || kind == 2;
}

// How many bytes the decoder takes for an item.
size_t itemLength(uint32_t word) {
    const uint32_t e = word >> 28;
    if (isValueItem(word)) return e < 5 || e == 6 ? 2 : e == 12 ? 8 : 4;
    switch (word >> 16) {
    case 0xF003:
        return 10;
    case 0xF005:
        return 66;
    case 0xF01A:
        return 6;
    case 0xF02F:
        return 2 * (((word >> 8) & 0xFF) + 1);
    case 0xF037:
        return 2 * (word & 0xFFF);
    default:
        break;
    }
    if (word < 0x50000000 || e == 6) return 2;
    if (e == 12) return 8;
    if (e == 13) return 0;
    return 4;
}

double automationDate(uint32_t packed) {
    const InstrumentDateTime t = unpackInstrumentDateTime(packed);
    // An impossible time of day has no date to stand for: the cell keeps saying "no value".
    if (!t.valid) return kNoValue;
    platform::CalendarTime c;
    c.year = t.year;
    c.month = t.month;
    c.day = t.day;
    c.hour = t.hour;
    c.minute = t.minute;
    c.second = t.second;
    return platform::oleDateFromCalendar(c);
}

double valueOf(uint32_t e, const uint8_t* p) {
    switch (e) {
    case 0:
        return platform::le16(p) / 256.0;
    case 2:
        return platform::le16(p);
    case 5:
        return readI32(p) / 65536.0;
    case 7:
        return platform::le32(p);
    case 10:
        return automationDate(platform::le32(p));
    case 11:
        return readF32(p);
    case 12:
        return readF64(p);
    default:
        return 0.0;
    }
}

template <size_t N>
void copyText(std::array<char16_t, N>& to, const uint8_t* units, size_t count) {
    count = std::min(count, N - 1);
    for (size_t i = 0; i < count; ++i) to[i] = static_cast<char16_t>(platform::le16(units + 2 * i));
    to[count] = 0;
}

uint32_t bcd(uint8_t b, uint8_t tensMask) {
    return (b & 0xF) + 10u * ((b >> 4) & tensMask);
}

struct Pending {
    std::optional<double> correctionFactor;
    std::optional<double> inverseSensitivity;
    std::optional<double> factor500D;
};

// Everything a record carries besides the state: which items it had, and what is written
// only when the record is complete.
struct RecordScratch {
    bool status06 = false;
    bool word4012 = false;
    bool startStop = false;
    bool date = false;
    bool time = false;
    bool text = false;
    bool range = false;
    bool serial = false;
    bool serial2 = false;
    bool nameCodes = false;
    bool word2032 = false;

    std::array<Pending, kRowCount> pending{};
    int32_t histogramPosition = -1;
    uint32_t histogramEntryCount = 0;
    std::array<int32_t, 256> histogramEntries{};
    uint32_t valueChannels = 0;
    size_t untagged = 0;
    std::array<bool, 3> interpolate{};
};

class RecordWalk {
  public:
    RecordWalk(std::span<ChannelRow> rows, DecoderState& state, uint32_t sensorCount,
               uint32_t wideColumns)
        : rows_(rows), state_(state), sensorCount_(sensorCount), wideColumns_(wideColumns) {}

    // Applies one item; false when it ends the record.
    bool apply(uint32_t word, const uint8_t* p);
    void finish();

    uint16_t result = 0;
    RecordScratch s;

  private:
    ChannelRow* row(uint32_t index) { return index < rows_.size() ? &rows_[index] : nullptr; }
    void value(uint32_t word, const uint8_t* p);
    void coefficient(uint32_t code, uint32_t word, const uint8_t* p);
    void bandFrequency(uint32_t code, uint32_t word, uint32_t raw);
    void statisticsLevel(uint32_t word, uint16_t v);
    void percentileName(uint32_t word, uint16_t v);
    void text(uint32_t word, const uint8_t* p);
    void dateTime(uint32_t packed);

    std::span<ChannelRow> rows_;
    DecoderState& state_;
    uint32_t sensorCount_;
    uint32_t wideColumns_;
};

bool RecordWalk::apply(uint32_t word, const uint8_t* p) {
    DecoderState& st = state_;
    if (word == 0) {
        if (st.untaggedWords.size() <= s.untagged) st.untaggedWords.resize(s.untagged + 1);
        st.untaggedWords[s.untagged++] = platform::le16(p);
        return true;
    }
    if (isValueItem(word)) {
        value(word, p);
        return true;
    }
    const uint32_t code = word >> 16;
    const uint32_t ch = word & 0xFF;
    switch (code) {
    case 0x0001:
        st.packedDate = platform::le16(p);
        s.date = true;
        break;
    case 0x0002:
        st.packedTime = 2u * platform::le16(p);
        st.rangeWord &= 0x7FFF;
        s.time = true;
        break;
    case 0x0006:
        st.status06 = platform::le16(p);
        s.status06 = true;
        break;
    case 0x0017:
        statisticsLevel(word, platform::le16(p));
        break;
    case 0x0028:
        st.word0028 = platform::le16(p);
        break;
    case 0x200E:
        st.streamConfig = platform::le16(p);
        break;
    case 0x2011:
        st.rangeWord = static_cast<uint16_t>((st.rangeWord & 0x8000) | (platform::le16(p) & 3));
        s.range = true;
        break;
    case 0x2019:
        st.byte2019 = p[0];
        break;
    case 0x201B: {
        const uint16_t type = platform::le16(p);
        result = type;
        if (type != st.deviceType) return false;
        break;
    }
    case 0x201C:
        st.programNumber = platform::le16(p);
        break;
    case 0x2021: {
        const uint16_t v = platform::le16(p);
        const uint16_t range = v == 3 || v == 0x3FFF ? v : static_cast<uint16_t>(2 - (v & 3));
        st.rangeWord = static_cast<uint16_t>((st.rangeWord & 0x8000) | range);
        s.range = true;
        break;
    }
    case 0x2022:
        st.word2022 = platform::le16(p);
        break;
    case 0x2025: {
        const uint16_t v = platform::le16(p);
        if (v != st.nextSequence) {
            st.lostRecords += static_cast<uint16_t>(v - st.nextSequence);
            st.nextSequence = v;
        }
        ++st.nextSequence;
        break;
    }
    case 0x202E:
        st.channelNameCodes = platform::le16(p);
        s.nameCodes = true;
        break;
    case 0x2030:
        st.word2030 = platform::le16(p);
        break;
    case 0x2032:
        st.word2032 = platform::le16(p);
        s.word2032 = true;
        break;
    case 0x2036: {
        const uint32_t k = word & 0xF;
        if (k >= 1 && k <= 6) st.words2036[k - 1] = platform::le16(p);
        break;
    }
    case 0x3018:
    case 0x500A:
    case 0x500B:
    case 0x500C:
    case 0x500D:
        coefficient(code, word, p);
        break;
    case 0x4010:
        st.startStopState = platform::le16(p);
        s.startStop = true;
        break;
    case 0x4012:
        st.word4012 = platform::le16(p);
        s.word4012 = true;
        break;
    case 0x4013:
        if (ChannelRow* r = row(ch)) r->overflowFlags = platform::le16(p);
        break;
    case 0x4014:
        if (ChannelRow* r = row(ch)) r->underrangeFlags = platform::le16(p);
        break;
    case 0x401E:
        st.word401E = platform::le16(p);
        break;
    case 0x5004:
        st.serialNumber = platform::le32(p);
        s.serial = true;
        break;
    case 0x5007:
        dateTime(platform::le32(p));
        break;
    case 0x5008:
        st.secondsCount = readI32(p);
        break;
    case 0x502C:
        st.serialNumber2 = platform::le32(p);
        s.serial2 = true;
        break;
    case 0x5033: {
        const uint32_t seconds = bcd(p[1], 7), minutes = bcd(p[2], 7), hours = bcd(p[3], 3);
        st.packedTime = hours << 12 | minutes << 6 | seconds;
        st.rangeWord = static_cast<uint16_t>((st.rangeWord & 0x7FFF) | (seconds & 1) << 15);
        s.time = true;
        break;
    }
    case 0x6016:
        percentileName(word, platform::le16(p));
        break;
    case 0x700E:
        st.streamConfig = platform::le32(p);
        break;
    case 0x701D:
        st.value701D = platform::le32(p);
        break;
    case 0x7020:
    case 0x8020:
    case 0x901F:
        bandFrequency(code, word, platform::le32(p));
        break;
    case 0x7023:
        s.histogramPosition = readI32(p);
        break;
    case 0x7024:
        s.histogramEntries[ch] = readI32(p);
        s.histogramEntryCount = std::max(s.histogramEntryCount, ch + 1);
        break;
    case 0x800F:
        st.samplingRate = readI32(p) / 256.0;
        break;
    case 0x8031:
        st.real8031 = static_cast<float>(platform::le32(p) / 256.0);
        break;
    case 0xB034:
        st.realB034 = readF32(p);
        break;
    case 0xB035: {
        const uint32_t k = (word >> 12) & 0xF;
        if (k < 1 || k > 4) break;
        auto& list = st.lists[k - 1];
        const uint32_t col = word & 0xFFF;
        if (list.size() < col + 1) list.resize(col + 1);
        list[col] = readF32(p);
        break;
    }
    case 0xF003:
        for (size_t i = 0; i < 10; ++i) st.deviceText[i] = instrumentCharacter(p[i], st.byte2019);
        st.deviceText[10] = 0;
        s.text = true;
        break;
    case 0xF005:
        copyText(st.deviceText, p, 33);
        s.text = true;
        break;
    case 0xF01A: {
        const uint16_t h0 = platform::le16(p), h1 = platform::le16(p + 2),
                       h2 = platform::le16(p + 4);
        st.secondsCount = h2 > 255 ? -1 : (h0 & 0xFF) + 60 * ((h1 & 0xFF) + 60 * h2);
        break;
    }
    case 0xF02F:
        text(word, p);
        break;
    default:
        break; // 0xF037 and codes this decoder does not know: skipped
    }
    return true;
}

void RecordWalk::value(uint32_t word, const uint8_t* p) {
    const uint32_t ch = (word >> 16) & 0xF;
    const uint32_t set = (word >> 20) & 0xF;
    const uint32_t idx = wideColumns_ == 0 ? (word >> 8) & 0xFF : (word >> 12) & 0xF;
    const uint32_t col = wideColumns_ == 0 ? word & 0xFF : word & 0xFFF;
    const double v = valueOf(word >> 28, p);
    ChannelRow* r = row(ch);
    if (!r || set < 1 || set > 3) return;
    auto& values = r->values[set - 1];
    // Only cells the layout shaped are written.
    if (idx < values.size() && col < values[idx].size()) values[idx][col] = v;
    s.valueChannels = std::max(s.valueChannels, ch + 1);
}

void RecordWalk::coefficient(uint32_t code, uint32_t word, const uint8_t* p) {
    const uint32_t sel = (word >> 8) & 0xFF;
    const uint32_t ch = word & 0xFF;
    // sel names a sensor when the device has that many; otherwise the item is the channel's.
    const bool own = sel == 0 || sel > sensorCount_;
    ChannelRow* target = row(own ? ch : sel - 1);
    Pending* pending = ch < s.pending.size() ? &s.pending[ch] : nullptr;
    const bool pend = pending && (own || sel == 2);
    switch (code) {
    case 0x3018:
        if (target) target->correction = static_cast<int16_t>(platform::le16(p)) / 256.0;
        break;
    case 0x500A: {
        const double c = readI32(p) / 65536.0;
        if (target) target->correction = c;
        if (pend) pending->correctionFactor = std::pow(10.0, c / 20.0);
        break;
    }
    case 0x500B: {
        if (own && sel != 0) break;
        const double k = powerOfTen(readI32(p) / 65536.0);
        if (target) target->kBase = k;
        if (sel == 0 || sel == 2)
            if (ChannelRow* r = row(ch)) r->kBaseCopy = k;
        break;
    }
    case 0x500C: {
        const double x = readI32(p) / 65536.0;
        if (target) target->sensitivity = powerOfTen(x);
        if (pend) pending->inverseSensitivity = powerOfTen(-x);
        break;
    }
    case 0x500D:
        if (pending) pending->factor500D = powerOfTen(readI32(p) / 65536.0);
        break;
    default:
        break;
    }
}

void RecordWalk::bandFrequency(uint32_t code, uint32_t word, uint32_t raw) {
    if (raw == 0xFFFFFFFF) raw = 0;
    uint32_t k = (word >> 12) & 0xF;
    double clock = 1152000.0;
    if (k >= 7) {
        k -= 6;
        clock = 1228800.0;
    } else if (k >= 4) {
        k -= 3;
        clock = 96000.0;
    }
    if (k < 1 || k > 3) return;
    const double value = code == 0x8020   ? raw / 256.0
                         : code == 0x7020 ? double(raw)
                                          : clock * raw / 4294967296.0;
    auto& frequencies = state_.bandFrequencies[k - 1];
    const uint32_t col = word & 0xFFF;
    const size_t at = col == 0xFFE ? 0 : col == 0xFFF ? 1 : col;
    if (at < frequencies.size()) frequencies[at] = value;
    if (col == 0xFFF) s.interpolate[k - 1] = true;
}

void RecordWalk::statisticsLevel(uint32_t word, uint16_t v) {
    ChannelRow* r = row((word >> 12) & 0xF);
    if (!r || r->statBlocks.empty() || r->statBlocks[0].items.empty()) return;
    const size_t n = r->statBlocks[0].items.size();
    const size_t block = (word & 0xFF) / n, item = (word & 0xFF) % n;
    if (block < r->statBlocks.size() && item < r->statBlocks[block].items.size())
        r->statBlocks[block].items[item].level = v / 256.0;
}

void RecordWalk::percentileName(uint32_t word, uint16_t v) {
    const uint32_t percent = ((uint32_t(v) * 100 >> 15) + 1) >> 1;
    char digits[8];
    const int length = std::snprintf(digits, sizeof digits, "L%u", percent);
    const std::u16string name(digits, digits + length);
    for (ChannelRow& r : rows_) {
        if (r.statBlocks.empty() || r.statBlocks[0].items.empty()) continue;
        const size_t item = (word & 0xFF) % r.statBlocks[0].items.size();
        for (StatBlock& block : r.statBlocks)
            if (item < block.items.size()) block.items[item].name = name;
    }
}

void RecordWalk::text(uint32_t word, const uint8_t* p) {
    const size_t units = ((word >> 8) & 0xFF) + 1;
    const uint32_t kind = (word >> 4) & 0xF;
    const uint32_t c = word & 0xF;
    if (kind == 0) {
        copyText(state_.deviceText, p, units);
        s.text = true;
    } else if (ChannelRow* r = row(c); r && kind == 1) {
        copyText(r->name, p, units);
    } else if (r && kind >= 2 && kind <= 5) {
        copyText(r->subNames[kind - 2], p, units);
    }
}

void RecordWalk::dateTime(uint32_t packed) {
    const InstrumentDateTime t = unpackInstrumentDateTime(packed);
    DecoderState& st = state_;
    uint32_t bit = 1;
    if (t.valid) {
        st.packedDate = static_cast<uint16_t>((t.year - 1980) << 9 | t.month << 5 | t.day);
        st.packedTime = uint32_t(t.hour) << 12 | uint32_t(t.minute) << 6 | uint32_t(t.second);
        bit = t.second & 1;
    } else {
        st.packedDate = 0xFFFF;
        st.packedTime = 0xFFFFFFFF;
    }
    st.rangeWord = static_cast<uint16_t>((st.rangeWord & 0x7FFF) | bit << 15);
    s.date = s.time = true;
}

void RecordWalk::finish() {
    DecoderState& st = state_;
    if (!s.status06) st.status06 = 0;
    if (!s.word4012) st.word4012 = 0xFFFE;
    if (!s.startStop) st.startStopState = 0;
    if (!s.date) st.packedDate = 0;
    if (!s.time) st.packedTime = 0;
    if (!s.text) st.deviceText[0] = 0;
    if (!s.range) st.rangeWord = 0x3FFF;
    if (!s.serial2) st.serialNumber2 = 0;
    if (!s.serial && s.serial2) st.serialNumber = 0;
    if (!s.nameCodes) st.channelNameCodes = 0xFFFF;
    if (!s.word2032) st.word2032 = 0xFFFF;
    if (st.serialNumber == 0 && st.serialNumber2 != 0) st.serialNumber = st.serialNumber2;

    for (size_t r = 0; r < std::min(rows_.size(), s.pending.size()); ++r) {
        const Pending& p = s.pending[r];
        if (p.correctionFactor) rows_[r].correctionFactor = *p.correctionFactor;
        if (p.inverseSensitivity) rows_[r].inverseSensitivity = *p.inverseSensitivity;
        if (p.factor500D) rows_[r].factor500D = *p.factor500D;
    }

    // The position counts entry groups across the blocks of the value channels, channel
    // fastest. Without entries or value channels there is nowhere to put them.
    const int32_t position = s.histogramPosition;
    const uint32_t m = s.histogramEntryCount;
    if (position >= 0 && m > 0 && s.valueChannels > 0) {
        const uint32_t per = kHistogramSize / m;
        const uint32_t group = uint32_t(position) / per;
        ChannelRow* r = row(group % s.valueChannels);
        const uint32_t block = group / s.valueChannels;
        if (r && block < r->statBlocks.size()) {
            auto& histogram = r->statBlocks[block].histogram;
            const size_t base = size_t(uint32_t(position) % per) * m;
            for (uint32_t j = 0; j < m && base + j < histogram.size(); ++j)
                histogram[base + j] = s.histogramEntries[j];
        }
    }

    for (size_t t = 0; t < 3; ++t) {
        auto& f = st.bandFrequencies[t];
        if (!s.interpolate[t] || f.size() < 2) continue; // no span to spread
        const double f0 = f[0], f1 = f[1];
        const double steps = static_cast<double>(f.size() - 1);
        for (size_t j = 0; j < f.size(); ++j) f[j] = f0 + double(j) * (f1 - f0) / steps;
    }
    ++st.decodeCount;
}

bool typeItemDiffers(std::span<const uint8_t> record, const StreamLayout& layout,
                     const DecoderState& state, uint16_t& found) {
    const size_t at = static_cast<size_t>(layout.typeOffset) & ~size_t(1);
    if (at + 2 > record.size()) {
        found = 0;
        return true;
    }
    found = platform::le16(record.data() + at);
    return found != state.deviceType;
}

} // namespace

InstrumentDateTime unpackInstrumentDateTime(uint32_t packed) {
    InstrumentDateTime t;
    t.second = packed & 0x3F;
    t.minute = (packed >> 6) & 0x3F;
    t.hour = (packed >> 12) & 0x1F;
    uint32_t days = packed >> 17;
    t.year = 2000 + 4 * static_cast<int>(days / 1461);
    days %= 1461;
    for (uint32_t length = 366; days >= length; length = 365) {
        days -= length;
        ++t.year;
    }
    const int monthDays[12] = {31, t.year % 4 == 0 ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30,
                               31};
    t.month = 1;
    while (days >= uint32_t(monthDays[t.month - 1])) days -= monthDays[t.month++ - 1];
    t.day = static_cast<int>(days) + 1;
    t.valid = t.hour <= 23 && t.minute <= 59 && t.second <= 59;
    return t;
}

uint16_t decodeRecord(std::span<const uint8_t> record, std::span<ChannelRow> rows,
                      DecoderState& state, std::span<const uint32_t> words, uint32_t sensorCount,
                      uint32_t wideColumns) {
    state.realB034 = 0.0f;
    state.byte2019 = 1;
    state.secondsCount = -1;
    state.word0028 = 0;
    state.word2022 = 0;
    state.word401E = 0;
    for (auto& list : state.lists) list.clear();
    state.words2036 = {};
    state.real8031 = 0.0f;
    state.word2030 = 0;

    RecordWalk walk(rows, state, sensorCount, wideColumns);
    if (state.deviceType == 141 || state.deviceType == 143) {
        state.serialNumber = 0x00020000;
        walk.s.serial = true;
    }
    walk.result = state.deviceType;

    size_t position = 0;
    for (const uint32_t word : words) {
        if (position >= record.size()) break;
        const size_t length = itemLength(word);
        if (length > record.size() - position) break; // the item does not fit
        const bool more = walk.apply(word, record.data() + position);
        position += length;
        if (!more) break;
    }
    walk.finish();
    return walk.result;
}

uint16_t decodeCheckedByTable(const DescriptionTable& table, std::span<const uint8_t> record,
                              std::span<ChannelRow> rows, DecoderState& state) {
    const auto found = table.layouts.find(state.deviceType);
    if (found == table.layouts.end()) return 0;
    const StreamLayout& layout = found->second;
    uint16_t type = 0;
    if (layout.typeOffset >= 0 && typeItemDiffers(record, layout, state, type)) return type;
    return decodeRecord(record, rows, state, layout.words, layout.sensorCount, layout.wideColumns);
}

void decodeCheckedByDevice(std::span<const uint8_t> record, std::span<ChannelRow> rows,
                           DecoderState& state, const StreamLayout& layout) {
    uint16_t type = 0;
    if (layout.typeOffset >= 0 && typeItemDiffers(record, layout, state, type)) return;
    decodeRecord(record, rows, state, layout.words, layout.sensorCount, layout.wideColumns);
}

uint32_t decodeSignalTrailer(const DescriptionTable& table, std::span<const uint8_t> block,
                             bool highSpeed, std::span<ChannelRow> rows, DecoderState& state) {
    const auto found = table.signalLayouts.find(state.deviceType);
    if (found == table.signalLayouts.end()) return 0;
    const SignalLayout& signal = found->second;
    uint64_t length = 0;
    for (const uint32_t word : signal.trailerWords) length += itemSize(word);
    const uint32_t trailerLength = static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX));
    state.streamConfig = highSpeed ? signal.streamConfigHigh : signal.streamConfigNormal;
    state.samplingRate = highSpeed ? signal.samplingRateHigh : signal.samplingRateNormal;
    const size_t start = 2 * (size_t(trailerLength) / 2);
    if (start <= block.size())
        decodeRecord(block.last(start), rows, state, signal.trailerWords, 0, 0);
    return trailerLength;
}

} // namespace zs::telemetry

#include "record_encoder.h"

#include <cmath>
#include <cstring>

namespace zs::sim {
namespace {

class Writer {
  public:
    explicit Writer(std::vector<uint8_t>& out) : out_(out) {}
    void u16(uint32_t v) {
        out_.push_back(static_cast<uint8_t>(v));
        out_.push_back(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    }
    void zeros(size_t n) { out_.insert(out_.end(), n, 0); }

  private:
    std::vector<uint8_t>& out_;
};

uint32_t code(uint32_t word) {
    return word >> 16;
}

bool isValueItem(uint32_t word) {
    const uint32_t kind = (word >> 24) & 0xF;
    return kind == 1 || kind == 2;
}

int32_t clampToI32(double v) {
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(std::llround(v));
}

uint32_t clampToU(double v, double max) {
    if (!(v > 0)) return 0;
    return static_cast<uint32_t>(std::llround(std::min(v, max)));
}

// The instruments' packed date-time: seconds, minutes, hours, then days since 2000-01-01.
uint32_t packInstrumentDateTime(uint16_t date, uint32_t time) {
    const int year = 1980 + (date >> 9), month = (date >> 5) & 0xF, day = date & 0x1F;
    long days = 0;
    for (int y = 2000; y < year; ++y) days += (y % 4 == 0) ? 366 : 365;
    static const int kMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int m = 1; m < month && m <= 12; ++m) days += kMonth[m - 1] + (m == 2 && year % 4 == 0);
    days += day - 1;
    if (days < 0) days = 0;
    return static_cast<uint32_t>(days) << 17 | (time & 0x1FFFF);
}

void writeValue(Writer& w, uint32_t e, double v) {
    switch (e) {
    case 0:
        w.u16(clampToU(v * 256, 65535));
        break;
    case 2:
        w.u16(clampToU(v, 65535));
        break;
    case 5:
        w.u32(static_cast<uint32_t>(clampToI32(v * 65536)));
        break;
    case 7:
        w.u32(clampToU(v, 4294967295.0));
        break;
    case 11: {
        const float f = static_cast<float>(v);
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        w.u32(bits);
        break;
    }
    case 12: {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        w.u32(static_cast<uint32_t>(bits));
        w.u32(static_cast<uint32_t>(bits >> 32));
        break;
    }
    default:
        w.zeros(e < 5 || e == 6 ? 2 : 4);
        break;
    }
}

} // namespace

uint32_t encodedItemSize(uint32_t word) {
    const uint32_t e = word >> 28, c = (word >> 16) & 0xFFF;
    if (e <= 4 || e == 6) return 2;
    if (e == 12) return 8;
    if (e == 15) {
        if (c == 0x003) return 10;
        if (c == 0x005) return 66;
        if (c == 0x02F) return 2 * ((word >> 8) & 0xFF) + 2;
        return 6;
    }
    return 4;
}

double representable(uint32_t e, double v) {
    switch (e) {
    case 0:
        return clampToU(v * 256, 65535) / 256.0;
    case 2:
        return clampToU(v, 65535);
    case 5:
        return clampToI32(v * 65536) / 65536.0;
    case 7:
        return clampToU(v, 4294967295.0);
    case 11:
        return static_cast<float>(v);
    case 12:
        return v;
    default:
        return 0.0;
    }
}

std::vector<ValueItem> valueItems(std::span<const uint32_t> words, uint32_t wideColumns) {
    std::vector<ValueItem> items;
    for (uint32_t word : words) {
        if (!isValueItem(word)) continue;
        const int channel = (word >> 16) & 0xF, set = (word >> 20) & 0xF;
        const int index = wideColumns ? (word >> 12) & 0xF : (word >> 8) & 0xFF;
        const int column = wideColumns ? word & 0xFFF : word & 0xFF;
        items.push_back({word, channel, set, index, column});
    }
    return items;
}

std::vector<uint8_t> encodeRecord(std::span<const uint32_t> words, uint32_t wideColumns,
                                  const RecordContent& c, uint32_t recordSize) {
    std::vector<uint8_t> out;
    Writer w(out);
    size_t untagged = 0;
    for (uint32_t word : words) {
        const size_t before = out.size();
        if (word == 0) {
            w.u16(untagged < c.untagged.size() ? c.untagged[untagged] : 0);
            ++untagged;
        } else if (isValueItem(word)) {
            const auto item = valueItems(std::span<const uint32_t>(&word, 1), wideColumns).front();
            const double v = c.value ? c.value(item.channel, item.set, item.index, item.column) : 0;
            writeValue(w, word >> 28, v);
        } else {
            switch (code(word)) {
            case 0x0001:
                w.u16(c.packedDate);
                break;
            case 0x0002:
                w.u16(c.packedTime / 2);
                break;
            case 0x2011:
                w.u16(c.range);
                break;
            case 0x2021:
                w.u16((2u - c.range) & 3u);
                break; // the instrument's own range code
            case 0x201B:
                w.u16(c.deviceType);
                break;
            case 0x201C:
                w.u16(c.programNumber);
                break;
            case 0x2025:
                w.u16(c.sequence);
                break;
            case 0x4010:
                w.u16(c.startStop);
                break;
            case 0x4013:
                w.u16(c.overflow);
                break;
            case 0x4014:
                w.u16(c.underrange);
                break;
            case 0x5004:
                w.u32(c.serialNumber);
                break;
            case 0x5007:
                w.u32(packInstrumentDateTime(c.packedDate, c.packedTime));
                break;
            case 0x800F:
                w.u32(static_cast<uint32_t>(clampToI32(c.samplingRate * 256)));
                break;
            case 0x7020:
            case 0x8020: {
                // Digits 4-6 and 7-9 name sets 1-3 with other clocks.
                int set = static_cast<int>((word >> 12) & 0xF);
                set = set >= 7 ? set - 6 : set >= 4 ? set - 3 : set;
                const int col = word & 0xFFF;
                const double f = c.bandFrequency ? c.bandFrequency(set, col) : 0;
                w.u32(clampToU(code(word) == 0x8020 ? f * 256 : f, 4294967295.0));
                break;
            }
            case 0x500A:
            case 0x500B:
            case 0x500C:
            case 0x500D:
                w.u32(static_cast<uint32_t>(c.coefficient ? c.coefficient(code(word), word & 0xFF)
                                                          : 0));
                break;
            case 0xF005:
                for (size_t i = 0; i < 33; ++i)
                    w.u16(i < c.deviceText.size() ? c.deviceText[i] : 0);
                break;
            default:
                break;
            }
            // Whatever the item's size, the record keeps the size its word announces.
            const size_t want = encodedItemSize(word);
            const size_t got = out.size() - before;
            if (got < want) w.zeros(want - got);
        }
    }
    if (recordSize) out.resize(recordSize, 0);
    return out;
}

} // namespace zs::sim

#include "transport/packet_process.h"

#include "platform/debug_output.h"

#include <cstring>

namespace zs::transport {
namespace {

constexpr uint8_t kSignature[7] = {'k', 'X', '-', 'w', 'a', 'v', 'e'};
constexpr uint8_t kSync[4] = {0x11, 0x22, 0x33, 0x44};

// Tagged-packet states, by variant.
enum : uint32_t {
    kVariant = 7,
    kForm1LengthLow = 8,
    kForm1LengthHigh = 9,
    kForm1Payload = 10,
    kForm1Sum = 11,
    kV2LengthLow = 15,
    kV2LengthHigh = 16,
    kV2SumLow = 17,
    kV2SumHigh = 18,
    kV2PayloadLow = 19,
    kV2PayloadHigh = 20,
    kV3LengthLow = 23,
    kV3LengthHigh = 24,
    kV3SumLow = 25,
    kV3SumHigh = 26,
    kV3Payload0 = 27, // .. 30
};

// Sync-packet states.
enum : uint32_t {
    kDinLengthLow = 4,
    kDinLengthHigh = 5,
    kDinPayloadLow = 6,
    kDinPayloadHigh = 7,
    kDinSumLow = 8,
    kDinSumHigh = 9,
};

// Skips to the next candidate first byte of a frame: the state-0 search runs at memchr speed.
uint32_t findStart(const uint8_t* bytes, uint32_t length, uint32_t position, uint8_t first) {
    const void* p = std::memchr(bytes + position, first, length - position);
    return p ? static_cast<uint32_t>(static_cast<const uint8_t*>(p) - bytes) : length;
}

} // namespace

CPacketProcess::CPacketProcess(uint32_t capacity)
    : bufferSize_(capacity), capacity_(capacity), payload_(new uint8_t[capacity ? capacity : 1]),
      cursor_(payload_), ownsPayload_(true) {}

CPacketProcess::CPacketProcess(uint32_t capacity, uint8_t* lentBuffer)
    : bufferSize_(lentBuffer ? capacity : 0), capacity_(bufferSize_), payload_(lentBuffer),
      cursor_(lentBuffer), ownsPayload_(false) {}

CPacketProcess::~CPacketProcess() {
    if (ownsPayload_) delete[] payload_;
}

void CDoutPacketProcess::resync(uint8_t byte) {
    state_ = byte == kSignature[0] ? 1 : 0;
}

bool CDoutPacketProcess::process(const uint8_t* bytes, uint32_t length, uint32_t& position) {
    while (position < length) {
        if (state_ == 0) {
            position = findStart(bytes, length, position, kSignature[0]);
            if (position == length) return false;
        }
        // A run of form-1 payload bytes goes in at once.
        if (state_ == kForm1Payload) {
            uint32_t n = length - position;
            if (n > count_) n = count_;
            const uint8_t* src = bytes + position;
            uint32_t sum = sum_;
            for (uint32_t i = 0; i < n; ++i) sum += src[i];
            std::memcpy(cursor_, src, n);
            cursor_ += n;
            sum_ = sum;
            count_ -= n;
            position += n;
            if (count_ == 0) state_ = kForm1Sum;
            continue;
        }
        // Whole words of a variant "2" or "3" payload go in at once; the last word takes the
        // byte path, which checks the sum.
        if ((state_ == kV2PayloadLow || state_ == kV3Payload0) && count_ > 4) {
            const uint32_t word = state_ == kV2PayloadLow ? 2 : 4;
            uint32_t n = (length - position) / word * word;
            if (n > count_ - word) n = count_ - word;
            if (n != 0) {
                const uint8_t* src = bytes + position;
                uint32_t sum = sum_;
                if (word == 2) {
                    for (uint32_t i = 0; i < n; i += 2)
                        sum -= src[i] | static_cast<uint32_t>(src[i + 1]) << 8;
                } else {
                    for (uint32_t i = 0; i < n; i += 4)
                        sum += src[i] | static_cast<uint32_t>(src[i + 1]) << 8 |
                               static_cast<uint32_t>(src[i + 2]) << 16 |
                               static_cast<uint32_t>(src[i + 3]) << 24;
                }
                std::memcpy(cursor_, src, n);
                cursor_ += n;
                sum_ = sum;
                count_ -= n;
                position += n;
                continue;
            }
        }
        const uint8_t b = bytes[position++];
        switch (state_) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
            if (b == kSignature[state_])
                ++state_;
            else
                resync(b);
            break;
        case kVariant:
            variantByte_ = b;
            state_ = b == '2' ? kV2LengthLow : b == '3' ? kV3LengthLow : kForm1LengthLow;
            break;

        case kForm1LengthLow:
        case kV2LengthLow:
        case kV3LengthLow:
            count_ = b;
            ++state_;
            break;
        case kForm1LengthHigh:
        case kV2LengthHigh:
        case kV3LengthHigh: {
            const uint32_t l = count_ | static_cast<uint32_t>(b) << 8;
            bool ok = l != 0 && l <= capacity_;
            if (state_ == kV2LengthHigh) ok = ok && l % 2 == 0;
            if (state_ == kV3LengthHigh) ok = ok && l % 4 == 0;
            if (!ok) {
                state_ = 0; // a bad length is dropped without a word
                break;
            }
            count_ = l;
            payloadLength_ = l;
            cursor_ = payload_;
            sum_ = 0;
            ++state_;
            break;
        }

        case kForm1Sum:
            if (b == (sum_ & 0xFF)) {
                state_ = 0;
                return true;
            }
            platform::debugOutput("CDoutPacketProcess CSum error [1]\n");
            resync(b);
            break;

        case kV2SumLow:
            sum_ = b;
            state_ = kV2SumHigh;
            break;
        case kV2SumHigh:
            sum_ |= static_cast<uint32_t>(b) << 8;
            state_ = kV2PayloadLow;
            break;
        case kV2PayloadLow:
            *cursor_++ = b;
            sum_ -= b;
            state_ = kV2PayloadHigh;
            break;
        case kV2PayloadHigh:
            *cursor_++ = b;
            sum_ -= static_cast<uint32_t>(b) << 8;
            count_ -= 2;
            if (count_ != 0) {
                state_ = kV2PayloadLow;
                break;
            }
            if ((sum_ & 0xFFFF) == 0) {
                state_ = 0;
                return true;
            }
            platform::debugOutput("CDoutPacketProcess CSum error [2]\n");
            resync(b);
            break;

        case kV3SumLow:
            expectedSum_ = b;
            state_ = kV3SumHigh;
            break;
        case kV3SumHigh:
            expectedSum_ |= static_cast<uint32_t>(b) << 8;
            state_ = kV3Payload0;
            break;
        case kV3Payload0:
        case kV3Payload0 + 1:
        case kV3Payload0 + 2:
            *cursor_++ = b;
            sum_ += static_cast<uint32_t>(b) << (8 * (state_ - kV3Payload0));
            ++state_;
            break;
        case kV3Payload0 + 3: {
            *cursor_++ = b;
            sum_ += static_cast<uint32_t>(b) << 24;
            count_ -= 4;
            if (count_ != 0) {
                state_ = kV3Payload0;
                break;
            }
            const uint32_t folded = ((sum_ >> 16) + (sum_ & 0xFFFF)) & 0xFFFF;
            if (folded == expectedSum_) {
                state_ = 0;
                return true;
            }
            platform::debugOutput("CDoutPacketProcess CSum error [3]\n");
            resync(b);
            break;
        }
        default:
            state_ = 0;
            break;
        }
    }
    return false;
}

bool CDinPacketProcess::process(const uint8_t* bytes, uint32_t length, uint32_t& position) {
    while (position < length) {
        if (state_ == 0) {
            position = findStart(bytes, length, position, kSync[0]);
            if (position == length) return false;
        }
        // Whole words of payload go in at once.
        if (state_ == kDinPayloadLow && count_ >= 2 && length - position >= 2) {
            uint32_t n = (length - position) & ~1u;
            if (n > count_) n = count_;
            const uint8_t* src = bytes + position;
            uint32_t sum = sum_;
            for (uint32_t i = 0; i < n; i += 2)
                sum += src[i] | static_cast<uint32_t>(src[i + 1]) << 8;
            std::memcpy(cursor_, src, n);
            cursor_ += n;
            sum_ = sum;
            count_ -= n;
            position += n;
            if (count_ == 0) state_ = kDinSumLow;
            continue;
        }
        const uint8_t b = bytes[position++];
        switch (state_) {
        case 0:
        case 1:
        case 2:
        case 3:
            if (b == kSync[state_])
                ++state_;
            else
                state_ = b == kSync[0] ? 1 : 0;
            break;
        case kDinLengthLow:
            count_ = b;
            state_ = kDinLengthHigh;
            break;
        case kDinLengthHigh: {
            const uint32_t l = (count_ | static_cast<uint32_t>(b) << 8) & ~1u;
            if (l == 0 || l > capacity_) {
                state_ = 0;
                break;
            }
            count_ = l;
            payloadLength_ = l;
            cursor_ = payload_;
            sum_ = 0;
            state_ = kDinPayloadLow;
            break;
        }
        case kDinPayloadLow:
            *cursor_++ = b;
            sum_ += b;
            state_ = kDinPayloadHigh;
            break;
        case kDinPayloadHigh:
            *cursor_++ = b;
            sum_ += static_cast<uint32_t>(b) << 8;
            count_ -= 2;
            state_ = count_ == 0 ? kDinSumLow : kDinPayloadLow;
            break;
        case kDinSumLow:
            expectedSum_ = b;
            state_ = kDinSumHigh;
            break;
        case kDinSumHigh:
            expectedSum_ |= static_cast<uint32_t>(b) << 8;
            if ((sum_ & 0xFFFF) == (expectedSum_ & 0xFFFF)) {
                state_ = 0;
                return true;
            }
            platform::debugOutput("CDinPacketProcess CSum error [3]\n");
            state_ = b == kSync[0] ? 1 : 0;
            break;
        default:
            state_ = 0;
            break;
        }
    }
    return false;
}

} // namespace zs::transport

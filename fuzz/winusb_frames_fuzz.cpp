// 512-byte frames from a WinUSB instrument's IN pipe, joined into stream records and decoded as
// the stream thread does. Each frame is the stream-fragment word, a control word and payload
// from the input; a chunk shorter than a frame is a short read. The joiner and the records are
// reused from input to input. Input: record selector, then (control, payload) chunks.
#include "engine/stream_threads.h"
#include "fuzz_support.h"
#include "transport/dispatch.h"

#include <algorithm>
#include <cstring>

using namespace zs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static engine::FragmentJoiner joiner;
    frame::DevStruct& d = fuzz::shapedRecord(data[0]);
    constexpr size_t kChunk = transport::kWinUsbFrameSize - 2;
    uint8_t frame[transport::kWinUsbFrameSize];
    for (size_t at = 1; at < size; at += kChunk) {
        const size_t n = std::min(kChunk, size - at);
        std::memset(frame, 0, sizeof frame);
        frame[0] = 2;
        std::memcpy(frame + 2, data + at, n);
        const auto count = static_cast<uint32_t>(n == kChunk ? sizeof frame : 2 + n);
        const auto record = joiner.add(frame, count);
        if (!record) continue;
        fuzz::check(record->size() <= engine::kRecordBufferSize);
        fuzz::check(record->size() % 2 == 0);
        if (record->size() >= 2 && (*record)[0] == (d.state.deviceType & 0xFF))
            engine::deliverRecord(d, *record);
    }
    return 0;
}

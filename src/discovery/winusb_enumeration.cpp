#include "discovery/winusb_enumeration.h"

#include "frame/library.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "telemetry/record_decoder.h"
#include "trace/trace.h"
#include "transport/dispatch.h"
#include "transport/winusb_binding.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace zs::discovery {

using frame::DevStruct;

namespace {

constexpr uint32_t kFrame = 512;

struct Link {
    void* handle;
    platform::Overlapped& writeIo;
    platform::Overlapped& readIo;
    platform::Event& stop;
};

uint16_t frameWord(const uint8_t* f, uint32_t index) {
    return static_cast<uint16_t>(f[2 * index] | f[2 * index + 1] << 8);
}

bool sendFrame(Link& link, uint16_t w0, uint16_t w1, uint16_t w2, uint16_t w3) {
    uint8_t frame[kFrame] = {};
    const uint16_t words[4] = {w0, w1, w2, w3};
    for (int i = 0; i < 4; ++i) {
        frame[2 * i] = static_cast<uint8_t>(words[i]);
        frame[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
    }
    return transport::winUsbWrite(link.handle, frame, kFrame, &link.stop, link.writeIo) == kFrame;
}

// One 512-byte frame, waiting no later than `deadline`. A read that does not come in time is
// withdrawn and collected before the frame it was posted into goes. Shorter transfers are
// passed over: what an instrument streamed before a reconnect may still wait in the pipe.
bool readFrame(Link& link, uint8_t* frame, uint32_t deadline) {
    using transport::PipeState;
    for (;;) {
        uint32_t count = 0;
        PipeState state =
            transport::winUsbPost(transport::winUsb().readPipe, link.handle,
                                  transport::kWinUsbInPipe, frame, kFrame, link.readIo, count);
        if (state == PipeState::Pending) {
            const int32_t left = static_cast<int32_t>(deadline - platform::tickMs());
            state = transport::winUsbWait(link.handle, link.readIo, &link.stop,
                                          left > 0 ? static_cast<uint32_t>(left) : 0, count);
            if (state == PipeState::Pending) {
                transport::winUsbAbandon(link.handle, link.readIo);
                return false;
            }
        }
        if (state != PipeState::Done) return false;
        if (count == kFrame) return true;
        if (static_cast<int32_t>(deadline - platform::tickMs()) <= 0) return false;
    }
}

// The identification and description exchange: null when the record was applied, else why not.
const char* identify(Link& link, DevStruct& d) {
    uint8_t f[kFrame];
    constexpr const char* kSendFailed = "a command frame could not be sent";
    if (!sendFrame(link, 0xAF65, 0x8002, 0x000A, 0x0000)) return kSendFailed;
    if (!sendFrame(link, 0xAF65, 0x1413, 0x000A, 0x0000)) return kSendFailed;
    const uint32_t helloDeadline = platform::tickMs() + 500;
    for (;;) {
        if (!readFrame(link, f, helloDeadline)) return "no hello frame within 500 ms";
        if (frameWord(f, 0) == 3 && frameWord(f, 1) == 0x8002 && frameWord(f, 2) == 0xEC0D &&
            frameWord(f, 3) == 0xEC0D)
            break;
    }
    if (!sendFrame(link, 0xAF65, 0x8002, 0x0000, 0x0000)) return kSendFailed;
    if (!readFrame(link, f, platform::tickMs() + 500)) return "no identity frame within 500 ms";
    if (frameWord(f, 0) != 3 || !(frameWord(f, 1) & 0x8000) || frameWord(f, 2) != 0 ||
        frameWord(f, 4) != 0xAAAA)
        return "the identity frame is malformed";
    const uint16_t type = frameWord(f, 3);
    const uint32_t serial = frameWord(f, 6) | static_cast<uint32_t>(frameWord(f, 7)) << 16;

    if (!sendFrame(link, 0xAF65, 0x8002, 0x000A, 0x0003)) return kSendFailed;
    const uint32_t deadline = platform::tickMs() + 700;
    std::vector<uint8_t> words;
    for (;;) {
        if (!readFrame(link, f, deadline))
            return "the identification record was not complete within 700 ms";
        if (frameWord(f, 0) != 2) continue;
        const uint16_t w1 = frameWord(f, 1);
        const uint32_t n = transport::winUsbFragmentWords(w1);
        words.insert(words.end(), f + 4, f + 4 + 2 * n);
        if (w1 & transport::kWinUsbLastFragment) break;
    }
    if (words.size() < 4 || frameWord(words.data(), 0) != type)
        return "the identification record is not of the identity's type";
    d.state.deviceType = type;
    d.state.programNumber = frameWord(words.data(), 1);
    const auto& table = frame::lib().description;
    const bool shaped = d.selectLayout(table);
    // The layout selection clears the serial number; the identity frame's stands unless the
    // record carries one of its own.
    d.state.serialNumber = serial;
    if (shaped)
        telemetry::decodeCheckedByTable(table, std::span<const uint8_t>(words), d.rows, d.state);
    return nullptr;
}

} // namespace

void enumerateWinUsb(const std::shared_ptr<DevStruct>& given) {
    const transport::WinUsbApi& api = transport::winUsb();
    if (!api.bound || !api.openInterfaceSet) {
        ZS_TRACE_LINE("WinUSB: no driver bound: no WinUSB instrument can be listed");
        return;
    }
    void* set = api.openInterfaceSet(transport::kInstrumentInterfaceClass);
    if (!set) {
        ZS_TRACE_LINE("WinUSB: the instruments' interface list cannot be read");
        return;
    }
    platform::Overlapped writeIo, readIo;
    writeIo.ensureEvent();
    readIo.ensureEvent();
    platform::Event stop(platform::Event::Reset::Auto, false); // never signalled

    for (uint32_t index = 0; index < 100; ++index) {
        std::u16string path;
        const uint32_t status = api.interfacePath(set, index, &path);
        if (status == transport::kNoMoreItems) {
            ZS_TRACE_LINE("WinUSB: ", index, index == 1 ? " interface" : " interfaces", " listed");
            break;
        }
        if (status != 0) {
            ZS_TRACE_LINE("WinUSB interface ", index, ": path unreadable (error ", status, ")");
            continue;
        }
        const auto name = [&] { return "WinUSB " + platform::utf8FromUtf16(path); };
        void* file = api.openFile(path);
        if (file == transport::kInvalidFile) {
            ZS_TRACE_LINE(name(), ": open failed (another program has it, or it went)");
            continue;
        }
        void* handle = nullptr;
        if (!api.initialize(file, &handle) || !handle) {
            ZS_TRACE_LINE(name(), ": WinUSB initialisation failed");
            api.closeFile(file);
            continue;
        }
        ZS_TRACE_LINE(name(), ": opened");
        std::shared_ptr<DevStruct> record = given ? given : std::make_shared<DevStruct>();
        Link link{handle, writeIo, readIo, stop};
        const char* refused = identify(link, *record);
        if (!refused) {
            ZS_TRACE_LINE(name(), ": identified: type ", record->state.deviceType, ", program ",
                          record->state.programNumber, ", serial ", record->state.serialNumber);
            record->winUsbHandle = handle;
            record->winUsbFile = file;
            record->winUsbPath = path;
            if (!given) {
                frame::lib().devices.push_back(record);
            } else {
                break; // the given record holds one instrument
            }
        } else {
            ZS_TRACE_LINE(name(), ": identification gave up: ", refused, "; closed");
            transport::releaseWinUsb(handle, file);
        }
    }
    api.closeInterfaceSet(set);
}

} // namespace zs::discovery

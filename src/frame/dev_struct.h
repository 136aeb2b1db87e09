#pragma once
#include "platform/event.h"
#include "platform/io_thread.h"
#include "telemetry/data_processor.h"
#include "transport/device_link.h"
#include "transport/packet_process.h"
#include "zentrel_signal.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zs::frame {

// Host function that fills a raw-signal output block: (payload, item count, user value).
using SignalSendCallback = ZS_SignalSendCallback;

// Generator commands left by the host for the I/O thread, first in first out.
class GeneratorQueue {
  public:
    struct Item {
        int32_t command;
        int32_t value;
    };
    void push(Item item) {
        std::lock_guard lock(mutex_);
        items_.push_back(item);
    }
    bool pop(Item& item) {
        std::lock_guard lock(mutex_);
        if (items_.empty()) return false;
        item = items_.front();
        items_.pop_front();
        return true;
    }
    bool empty() const {
        std::lock_guard lock(mutex_);
        return items_.empty();
    }

  private:
    mutable std::mutex mutex_;
    std::deque<Item> items_;
};

// One entry of the command ring: a parameter command and its arguments.
struct RingEntry {
    uint8_t bytes[16];
};

// One live instrument. Always created on the heap and held by shared pointers.
struct DevStruct : telemetry::CDataProcessor, transport::DeviceLink {
    DevStruct() = default;
    ~DevStruct();
    DevStruct(const DevStruct&) = delete;
    DevStruct& operator=(const DevStruct&) = delete;

    int32_t sMode = 0; // 0 = measurement-stream mode, otherwise raw-signal mode
    uint8_t highSpeed = 0;
    uint8_t multiDout = 0;
    uint8_t keepOnFailure = 0;
    std::unique_ptr<platform::IoThread> ioThread;
    std::unique_ptr<platform::Event> stopEvent; // manual-reset
    std::atomic<int32_t> online{1};
    uint32_t requestedProgram = 0xFFFF;
    std::unique_ptr<transport::CPacketProcess> packetProcessor; // tagged or sync framing
    std::atomic<uint32_t> lastPacketTick{0};
    std::atomic<uint32_t> seenPacketTick{0};

    // Raw-signal mode, per channel.
    double channelScale[8] = {};
    double channelCorrection[8] = {};
    std::array<char16_t, 16> channelUnits[8] = {}; // zero-padded, as the signal layout has it
    double baseLevel[8] = {};
    double channelGain[8] = {};
    double channelFactor[8] = {};
    double* signalBuffer = nullptr;
    int32_t signalBufferLength = 0;
    std::atomic<double*> signalWritePtr{nullptr};
    // Held while a block's samples are written and while a new buffer is bound, so a
    // block never straddles two bindings.
    std::mutex signalBufferLock;
    uint32_t settleCount = 0;
    double filterX1[8] = {}, filterX2[8] = {}, filterY1[8] = {}, filterY2[8] = {};

    // Command mailboxes: negative while idle; the host stores, the I/O thread clears.
    std::atomic<int32_t> resetCmd{-1};
    std::atomic<int32_t> rangeCmd{-1};
    std::atomic<int32_t> polCmd{-1};
    std::atomic<int32_t> startStopCmd{-1};
    std::atomic<int32_t> startCmd{-1};
    std::atomic<int32_t> stopCmd{-1};
    std::atomic<int32_t> programCmd{-1};
    std::atomic<int32_t> resetDeviceCmd{-1};
    std::atomic<int32_t> switchOffCmd{-1};
    std::atomic<int32_t> dateTimeCmd{-1};
    std::atomic<int32_t> icpModeCmd{-1};
    std::atomic<int32_t> zChModeCmd{-1};
    std::atomic<int32_t> sigRegModeCmd{-1};
    std::atomic<int32_t> sigRegParam{-1};

    std::vector<uint16_t> bandBytes; // pending band-set command, under bandLock
    std::unique_ptr<std::mutex> bandLock = std::make_unique<std::mutex>();
    std::array<RingEntry, 32> commandRing{};
    std::unique_ptr<std::mutex> ringLock = std::make_unique<std::mutex>();
    std::atomic<uint32_t> ringReadIndex{0};
    std::atomic<uint32_t> ringWriteIndex{0};
    // The three locks live as long as the record: a thread restart must never free a lock
    // that an export holds or is about to take.
    std::unique_ptr<std::mutex> dataLock = std::make_unique<std::mutex>();
    std::unique_ptr<GeneratorQueue> generatorQueue = std::make_unique<GeneratorQueue>();
    std::atomic<SignalSendCallback> signalSendCallback{nullptr};
    std::atomic<int32_t> signalSendUser{0};
    // Held around every call of the callback and every change of it (recursive: the
    // callback may change itself).
    std::recursive_mutex signalSendLock;
};

} // namespace zs::frame

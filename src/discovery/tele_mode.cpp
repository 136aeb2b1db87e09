#include "discovery/tele_mode.h"

#include "discovery/usb_lists.h"
#include "engine/io_threads.h"
#include "engine/signal_path.h"
#include "frame/library.h"
#include "frame/lookup.h"
#include "frame/mailbox.h"

#include <limits>

namespace zs::discovery {
namespace {

frame::DevStruct* deviceAt(uint32_t index) {
    if (index > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) return nullptr;
    auto* element = frame::findByPosition(frame::lib().devices, static_cast<int32_t>(index));
    return element ? element->get() : nullptr;
}

} // namespace

int32_t turnOnTele(int32_t mode) {
    buildFList();
    frame::LibraryState& s = frame::lib();
    if (s.teleRingLength == 0) {
        s.teleRing.reset(new double[kTeleRingLength]);
        s.teleRingLength = kTeleRingLength;
        configureSignalBuffer(0, s.teleRing.get(), s.teleRingLength);
    } else if (auto* first = deviceAt(0); first && !first->signalBuffer) {
        // A list built after a release has a first instrument without a buffer: give it the
        // ring, or its spectra would stay empty.
        configureSignalBuffer(0, s.teleRing.get(), s.teleRingLength);
    }
    return engine::setStreamMode(0, mode);
}

int32_t turnOffTele() {
    freeFList();
    return 0;
}

void configureSignalBuffer(uint32_t index, double* buffer, int32_t length) {
    if (auto* d = deviceAt(index)) engine::bindSignalBuffer(*d, buffer, length);
}

int32_t selectVirtualDevice(uint32_t index, int32_t program) {
    auto* d = deviceAt(index);
    if (!d) return 0;
    frame::mailboxStoreAndWait(d->programCmd, program, frame::kVirtualDeviceWaitMs);
    return reconnectDevice(index | kSoftReconnect);
}

void switchOffVirtualDevice(uint32_t index) {
    if (auto* d = deviceAt(index)) frame::mailboxStoreAndWait(d->switchOffCmd, 1);
}

} // namespace zs::discovery

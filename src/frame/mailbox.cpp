#include "frame/mailbox.h"

namespace zs::frame {

void mailboxStoreAndWait(std::atomic<int32_t>& mailbox, int32_t value, uint32_t limitMs) {
    mailbox.exchange(value);
    waitForSlot([&] { return mailbox.load() < 0; }, limitMs);
}

} // namespace zs::frame

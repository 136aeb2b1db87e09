#include "frame/dev_struct.h"

namespace zs::frame {

// The I/O thread has ended before the last reference goes; nothing here waits for it.
DevStruct::~DevStruct() {
    transport::closeLink(*this);
    packetProcessor.reset();
    stopEvent.reset();
    dataLock.reset();
    bandLock.reset();
    ringLock.reset();
    ioOverlapped.closeEvent();
    generatorQueue.reset();
    bandBytes.clear();
    bandBytes.shrink_to_fit();
    commandSocket.reset();
}

} // namespace zs::frame

// SCPI generators behind pseudo-terminals, started and stopped through C functions of the
// simulator library, so a host program that loads it by name (zsig demo, Python through
// ctypes) can put a serial-port generator beside the simulated instruments. The library finds
// the generator when its path is listed in ZS_SERIAL_PORTS. Linux only: on Windows the start
// gives null.
#include "sim_export.h"
#include "sim_scpi_serial.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

using zs::sim::SimScpiSerial;

} // namespace

// A generator answering "*IDN?" with `identity`; null when no pseudo-terminal can be made.
SIM_EXPORT void* ZsSimSerial_Start(const char* identity) {
#ifdef _WIN32
    (void)identity;
    return nullptr;
#else
    if (!identity) return nullptr;
    try {
        auto generator = std::make_unique<SimScpiSerial>(identity);
        if (!generator->ready()) return nullptr;
        return generator.release();
    } catch (const std::exception&) {
        return nullptr;
    }
#endif
}

// The generator's serial-port path ("/dev/pts/N").
SIM_EXPORT int ZsSimSerial_Path(void* handle, char* buffer, uint32_t capacity) {
    if (!handle) return -1;
    return copyText(static_cast<SimScpiSerial*>(handle)->path(), buffer, capacity);
}

// Every command line the generator received, in order, one a line.
SIM_EXPORT int ZsSimSerial_Log(void* handle, char* buffer, uint32_t capacity) {
    if (!handle) return -1;
    std::string text;
    for (const auto& command : static_cast<SimScpiSerial*>(handle)->commands())
        text += command + "\n";
    return copyText(text, buffer, capacity);
}

// Waits at most `timeoutMs` for the command line `command`; 1 when it arrived, else 0.
SIM_EXPORT int ZsSimSerial_WaitForCommand(void* handle, const char* command, uint32_t timeoutMs) {
    if (!handle || !command) return 0;
    return static_cast<SimScpiSerial*>(handle)->waitForCommand(command, timeoutMs) ? 1 : 0;
}

// Stops the generator and closes its terminal; null is ignored.
SIM_EXPORT void ZsSimSerial_Stop(void* handle) {
    delete static_cast<SimScpiSerial*>(handle);
}

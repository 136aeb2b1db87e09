// The simulated VISA driver as a shared library under the vendor's name, exporting the
// vendor's function names, so the shipped library binds it exactly as it binds the real one.
// Instruments come from the ZsSimVisa_ functions, or at load from ZS_SIM_VISA
// ("resource=identity|..."); with ZS_SIM_VISA_LOG set every write is appended to that file
// as "resource<TAB>command".
#include "sim_export.h"
#include "sim_visa.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using zs::generators::ViSession;
using zs::generators::ViStatus;
using zs::sim::SimVisa;

namespace {

const zs::generators::VisaApi& t() {
    return SimVisa::table();
}

// Instruments named in the environment, added once when the library is loaded.
struct FromEnvironment {
    FromEnvironment() {
        const char* list = std::getenv("ZS_SIM_VISA");
        if (!list) return;
        std::string text = list;
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('|', start);
            if (end == std::string::npos) end = text.size();
            const std::string item = text.substr(start, end - start);
            const size_t eq = item.find('=');
            if (eq != std::string::npos)
                SimVisa::instance().addInstrument(item.substr(0, eq), item.substr(eq + 1));
            start = end + 1;
        }
    }
} g_fromEnvironment;

void appendLog(ViSession session, const uint8_t* buffer, uint32_t count) {
    const char* path = std::getenv("ZS_SIM_VISA_LOG");
    if (!path) return;
    const std::string resource = SimVisa::instance().resourceOf(session);
    if (std::FILE* f = std::fopen(path, "ab")) {
        std::fprintf(f, "%s\t%.*s\n", resource.c_str(), static_cast<int>(count),
                     reinterpret_cast<const char*>(buffer));
        std::fclose(f);
    }
}

} // namespace

SIM_EXPORT ViStatus ZS_VISA_API viOpenDefaultRM(ViSession* manager) {
    return t().openDefaultRM(manager);
}
SIM_EXPORT ViStatus ZS_VISA_API viOpen(ViSession manager, const char* resource, uint32_t mode,
                                       uint32_t timeout, ViSession* instrument) {
    return t().open(manager, resource, mode, timeout, instrument);
}
SIM_EXPORT ViStatus ZS_VISA_API viClose(ViSession object) {
    return t().close(object);
}
SIM_EXPORT ViStatus ZS_VISA_API viRead(ViSession s, uint8_t* buffer, uint32_t count,
                                       uint32_t* returned) {
    return t().read(s, buffer, count, returned);
}
SIM_EXPORT ViStatus ZS_VISA_API viWrite(ViSession s, const uint8_t* buffer, uint32_t count,
                                        uint32_t* returned) {
    const ViStatus status = t().write(s, buffer, count, returned);
    if (status == 0) appendLog(s, buffer, count);
    return status;
}
SIM_EXPORT ViStatus ZS_VISA_API viClear(ViSession s) {
    return t().clear(s);
}
SIM_EXPORT ViStatus ZS_VISA_API viFindRsrc(ViSession manager, const char* expression,
                                           ViSession* findList, uint32_t* count,
                                           char* description) {
    return t().findRsrc(manager, expression, findList, count, description);
}
SIM_EXPORT ViStatus ZS_VISA_API viFindNext(ViSession findList, char* description) {
    return t().findNext(findList, description);
}

// --- Control of the simulator by a test (C calling convention) --------------------------------

SIM_EXPORT void ZsSimVisa_Reset() {
    SimVisa::instance().reset();
}

SIM_EXPORT void ZsSimVisa_AddInstrument(const char* resource, const char* identity) {
    SimVisa::instance().addInstrument(resource ? resource : "", identity ? identity : "");
}

// The writes to an instrument, each followed by a line feed; returns the full length
// (-1 for an unknown resource) and copies at most capacity - 1 bytes and a zero.
SIM_EXPORT int ZsSimVisa_Log(const char* resource, char* out, uint32_t capacity) {
    auto& sim = SimVisa::instance();
    if (!sim.find(resource ? resource : "")) return -1;
    std::string text;
    for (const auto& line : sim.log(resource)) text += line + "\n";
    return copyText(text, out, capacity);
}

// Sessions of any kind still open (every one the library opened must be closed again).
SIM_EXPORT uint32_t ZsSimVisa_OpenSessions() {
    return SimVisa::instance().openSessions();
}

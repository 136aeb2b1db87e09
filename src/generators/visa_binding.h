#pragma once
#include <cstdint>
#include <optional>

#ifdef _WIN32
#define ZS_VISA_API __stdcall
#else
#define ZS_VISA_API
#endif

namespace zs::generators {

using ViStatus = int32_t;
using ViSession = uint32_t; // sessions, find lists and the resource manager alike

inline constexpr ViStatus kVisaOk = 0;
// What viFindRsrc and viFindNext write a resource description into.
inline constexpr uint32_t kVisaDescriptionLength = 256;

// The VISA calls the library relies on, with the vendor's signatures.
struct VisaApi {
    using OpenDefaultRM = ViStatus(ZS_VISA_API*)(ViSession* manager);
    using Open = ViStatus(ZS_VISA_API*)(ViSession manager, const char* resource, uint32_t mode,
                                        uint32_t timeout, ViSession* instrument);
    using Close = ViStatus(ZS_VISA_API*)(ViSession object);
    using Read = ViStatus(ZS_VISA_API*)(ViSession instrument, uint8_t* buffer, uint32_t count,
                                        uint32_t* returned);
    using Write = ViStatus(ZS_VISA_API*)(ViSession instrument, const uint8_t* buffer,
                                         uint32_t count, uint32_t* returned);
    using Clear = ViStatus(ZS_VISA_API*)(ViSession instrument);
    using FindRsrc = ViStatus(ZS_VISA_API*)(ViSession manager, const char* expression,
                                            ViSession* findList, uint32_t* count,
                                            char* description);
    using FindNext = ViStatus(ZS_VISA_API*)(ViSession findList, char* description);

    OpenDefaultRM openDefaultRM = nullptr;
    Open open = nullptr;
    Close close = nullptr;
    Read read = nullptr;
    Write write = nullptr;
    Clear clear = nullptr;
    FindRsrc findRsrc = nullptr;
    FindNext findNext = nullptr;

    // All eight calls are there.
    bool complete() const {
        return openDefaultRM && open && close && read && write && clear && findRsrc && findNext;
    }
};

#if defined(_WIN64)
inline constexpr const char* kVisaLibraryName = "visa64.dll"; // what a 64-bit VISA installs
#elif defined(_WIN32)
inline constexpr const char* kVisaLibraryName = "visa32.dll";
#else
inline constexpr const char* kVisaLibraryName = "libvisa.so";
#endif

// The table in force: the one installed for tests, else the vendor library bound by name on
// first use. Null when there is none, or when the library lacks one of the calls.
const VisaApi* visa();

// Loads the vendor library by name (on Linux this library's own folder first) and resolves
// the calls in order, stopping at the first that is missing (the rest stay null). Nothing
// when the library is missing. The library stays loaded for the rest of the process.
std::optional<VisaApi> bindVisa(const char* fileName = kVisaLibraryName);

// Test seam (C++ only, never exported): the table visa() returns from now on (an incomplete
// table means "no VISA"); null returns to the vendor library. It must outlive its installation.
void installVisaForTests(const VisaApi* api);

} // namespace zs::generators

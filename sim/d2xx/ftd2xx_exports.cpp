// The simulated D2XX driver as a shared library under the vendor's name, exporting the
// vendor's function names, so the shipped library binds it exactly as it binds the real one.
// Its controls for tests are in d2xx_controls.cpp.
#include "sim_d2xx.h"
#include "sim_export.h"
#include "sim_library_folder.h"

using zs::sim::SimD2xx;
using zs::transport::D2xxApi;
using zs::transport::D2xxLineSettings;
using zs::transport::D2xxProgramData;
using zs::transport::FtHandle;

namespace {
const D2xxApi& t() {
    zs::sim::plugFromEnvironment();
    return SimD2xx::table();
}
} // namespace

SIM_EXPORT uint32_t ZS_D2XX_API FT_ListDevices(void* a, void* b, uint32_t flags) {
    return t().count(a, b, flags);
}
SIM_EXPORT FtHandle ZS_D2XX_API FT_W32_CreateFile(const char* name, uint32_t access, uint32_t share,
                                                  void* security, uint32_t disposition,
                                                  uint32_t flags, void* templateFile) {
    return t().open(name, access, share, security, disposition, flags, templateFile);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_EE_Read(FtHandle h, D2xxProgramData* data) {
    return t().configuration(h, data);
}
SIM_EXPORT int32_t ZS_D2XX_API FT_W32_CloseHandle(FtHandle h) {
    return t().close(h);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_SetFlowControl(FtHandle h, uint16_t flow, uint8_t on,
                                                  uint8_t off) {
    return t().flow(h, flow, on, off);
}
SIM_EXPORT int32_t ZS_D2XX_API FT_W32_GetCommState(FtHandle h, D2xxLineSettings* dcb) {
    return t().getLineSettings(h, dcb);
}
SIM_EXPORT int32_t ZS_D2XX_API FT_W32_SetCommState(FtHandle h, D2xxLineSettings* dcb) {
    return t().setLineSettings(h, dcb);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_SetChars(FtHandle h, uint8_t a, uint8_t b, uint8_t c,
                                            uint8_t d) {
    return t().characters(h, a, b, c, d);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_SetBaudRate(FtHandle h, uint32_t rate) {
    return t().rate(h, rate);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_GetQueueStatus(FtHandle h, uint32_t* waiting) {
    return t().queue(h, waiting);
}
SIM_EXPORT int32_t ZS_D2XX_API FT_W32_WriteFile(FtHandle h, void* buffer, uint32_t length,
                                                uint32_t* done, void* overlapped) {
    return t().write(h, buffer, length, done, overlapped);
}
SIM_EXPORT int32_t ZS_D2XX_API FT_W32_ReadFile(FtHandle h, void* buffer, uint32_t length,
                                               uint32_t* done, void* overlapped) {
    return t().read(h, buffer, length, done, overlapped);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_W32_GetLastError(FtHandle h) {
    return t().lastError(h);
}
SIM_EXPORT int32_t ZS_D2XX_API FT_W32_GetOverlappedResult(FtHandle h, void* overlapped,
                                                          uint32_t* done, int32_t wait) {
    return t().result(h, overlapped, done, wait);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_ClrDtr(FtHandle h) {
    return t().lineLow(h);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_SetDtr(FtHandle h) {
    return t().lineHigh(h);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_SetBreakOn(FtHandle h) {
    return SimD2xx::setBreak(h, true);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_SetBreakOff(FtHandle h) {
    return SimD2xx::setBreak(h, false);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_SetBitMode(FtHandle h, uint8_t mask, uint8_t mode) {
    return t().bitMode(h, mask, mode);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_ResetDevice(FtHandle h) {
    return t().reset(h);
}

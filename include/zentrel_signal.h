/* ZentrelSignal: instruments, recorded files and generators through flat C exports.
 *
 * Every function uses the Windows standard calling convention on Windows (__stdcall,
 * undecorated names) and the platform's C convention elsewhere. Text buffers are UTF-16
 * with a capacity in characters. No function throws or crashes on bad arguments: each
 * reports failure through its result, as noted beside it.
 *
 * Device index: below 256 a position in the device list; from 256 up the identifier of an
 * open recorded file. */
#ifndef ZENTREL_SIGNAL_H
#define ZENTREL_SIGNAL_H

#include <stdint.h>

#if defined(_WIN32)
#define ZS_CALL __stdcall
typedef wchar_t ZS_WCHAR;
#else
#define ZS_CALL
typedef uint16_t ZS_WCHAR;
#endif

#if defined(ZS_BUILDING_LIBRARY) && !defined(_WIN32)
#define ZS_EXPORT __attribute__((visibility("default")))
#else
#define ZS_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Library */

/* The library's version: 0x0002000B (131083). */
ZS_EXPORT int32_t ZS_CALL K427_GetLibraryVersion(void);
/* Number of devices in the device list (recorded files are not counted). */
ZS_EXPORT int32_t ZS_CALL K427_GetDeviceCount(void);

/* Device queries */

/* sMode of the first device (0 = measurement mode); -1 when there is no device. */
ZS_EXPORT int32_t ZS_CALL GetTeleType(void);

#ifdef __cplusplus
}
#endif

#endif /* ZENTREL_SIGNAL_H */

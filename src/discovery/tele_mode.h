#pragma once
#include <cstdint>

namespace zs::discovery {

inline constexpr int32_t kTeleRingLength = 131072;
inline constexpr uint32_t kSoftReconnect = 0x80000000u;

// Lists the USB instruments and runs the first as a remote sensor: its raw signal goes into
// the process's tele ring (made on first use, kept until unload). The result of switching
// it to `mode`: 1 when there is a first instrument, else 0.
int32_t turnOnTele(int32_t mode);

// Releases the device list; the tele ring stays for the next turnOnTele.
int32_t turnOffTele();

// Binds a host buffer of doubles as the raw-signal ring of the device at list position
// `index`, write pointer at its start. An index past the list changes nothing.
void configureSignalBuffer(uint32_t index, double* buffer, int32_t length);

// Switches the instrument at `index` to measurement program `program`, then reconnects it
// softly so the new program's records are identified. 1 on success, 0 on failure or an index
// not in the list (at once, without waiting).
int32_t selectVirtualDevice(uint32_t index, int32_t program);

// Asks the instrument at `index` to switch itself off.
void switchOffVirtualDevice(uint32_t index);

} // namespace zs::discovery

#pragma once
#include "engine/command_packets.h"
#include "platform/local_time.h"

#include <cstdint>

namespace zs::engine {

inline constexpr uint32_t kRingSize = 32;
inline constexpr uint32_t kNoDateTime = 0xFFFFFFFF;

// One pass of the I/O thread over the record's command slots, in their fixed order: the
// mailboxes, the band set, one ring entry, program switch, device reset, switch-off,
// date/time, then the generator queue. Every slot it carries out is acknowledged, whether
// or not the instrument received the command. Runs on the device's I/O thread only.
void serviceCommands(DevicePtr record);

// The program switch of `programCmd` = index: a sync-family device only remembers the
// program for identification; any other is sent the program's name and given its settle
// time, during which it is treated as offline.
void switchProgram(DevicePtr record, int32_t index);

// Pulses the instrument's reset line by its link kind and marks the device offline.
void resetDevice(DevicePtr record);

// The instrument's clock word for a local time: days since 2000-01-01 in bits 17-31, then
// hour, minute and second. kNoDateTime for a time that is not valid or that the word cannot
// hold (before 2000, or more days than 15 bits count).
uint32_t dateTimeValue(const platform::CalendarTime& local);

// Sets the instrument's clock to the computer's local time.
void sendDateTimeNow(DevicePtr record);

} // namespace zs::engine

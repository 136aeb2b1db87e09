#pragma once
#include "engine/command_packets.h"

#include <cstdint>

namespace zs::engine {

// A device's I/O thread body. It is handed its own copy of the record's shared pointer, so
// the record outlives the thread even when the list drops it, and returns once it has seen
// the record's stop event.
using ThreadProcedure = void (*)(DevicePtr record);

// The procedure that serves the record in its current mode over the first link it has, or
// null when none applies (the record then gets no thread).
ThreadProcedure chooseProcedure(const frame::DevStruct& record);

// Starts a thread for every listed device that has none: locks and events in place, the
// command ring emptied, the opening command for the device's mode sent from the calling
// thread, then the thread chosen by chooseProcedure.
void startIoThreads();

// Signals the record's stop event, waits for its thread to return (if it has one), forgets
// the thread and clears the stop event again.
void stopIoThread(frame::DevStruct& record);

// Switches the device at list position `index` between measurement-stream mode (0) and
// raw-signal mode (non-zero) by restarting its thread. 0 when `index` names no device.
int32_t setStreamMode(uint32_t index, int32_t mode);

} // namespace zs::engine

#pragma once
#include "list_command.h"

#include <ostream>
#include <string>

namespace zsig {

struct WatchRequest {
    ListRequest list;
    int32_t index = 0;
    std::string csvPath;        // empty: no log
    double durationSeconds = 0; // 0: until Ctrl-C
};

// How a live table of one device's values is shown while records arrive.
struct LiveTable {
    enum class Redraw {
        Screen,      // cleared and drawn from the top of the terminal (a table taller than it)
        Below,       // drawn over the previous table, keeping what is above it
        EveryRecord, // appended for each record (output that is not a terminal)
        EverySecond, // appended at most once a second
        None,        // not shown (only the CSV log)
    };
    Redraw redraw = Redraw::EveryRecord;
    int channel = -1;            // 0..7: only this channel; -1: every channel
    int bandSet = 0;             // 1..3: only this band set; 0: every set
    double durationSeconds = 0;  // 0: until Ctrl-C
    std::ostream* csv = nullptr; // every record's values with their arrival time, header included
};

// Shows device `index`'s values as its records arrive until the duration ends or Ctrl-C; the
// number of records seen. The device list is left as it is.
uint64_t showLiveValues(const zs::host::Library& lib, int32_t index, const LiveTable& table);

// zsig watch: a live table of one device's values, refreshed in place as records arrive; with
// a CSV path every new record is logged with its arrival time. Ends after the duration or
// on Ctrl-C, and frees the device list either way.
int runWatch(const zs::host::Library& lib, const WatchRequest& request);

} // namespace zsig

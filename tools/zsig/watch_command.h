#pragma once
#include "list_command.h"

#include <string>

namespace zsig {

struct WatchRequest {
    ListRequest list;
    int32_t index = 0;
    std::string csvPath;        // empty: no log
    double durationSeconds = 0; // 0: until Ctrl-C
};

// zsig watch: a live table of one device's values, refreshed in place as records arrive; with
// a CSV path every new record is logged with its arrival time. Ends after the duration or
// on Ctrl-C, and frees the device list either way.
int runWatch(const zs::host::Library& lib, const WatchRequest& request);

} // namespace zsig

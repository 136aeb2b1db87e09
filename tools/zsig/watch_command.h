#pragma once
#include "list_command.h"

#include <ostream>
#include <string>
#include <vector>

namespace zsig {

// Where `zsig watch --mqtt` publishes and how it rides out a broker that is away.
struct MqttRequest {
    std::string url;         // empty: no publishing
    std::string topicPrefix; // empty: zentrel/HOSTNAME
    std::string caFile;
    // env:VARIABLE or file:PATH (its first line), never the text itself; empty: the
    // variables ZSIG_MQTT_USERNAME and ZSIG_MQTT_PASSWORD when set.
    std::string usernameSource, passwordSource;
    std::string spoolPath;   // empty: a file of its own in the temporary folder
    uint64_t spoolBytes = 0; // 0: the default
    double reconnectMaxSeconds = 10;
};

struct WatchRequest {
    ListRequest list;
    int32_t index = -1;         // -1: every instrument (with --mqtt)
    std::string csvPath;        // empty: no log
    double durationSeconds = 0; // 0: until Ctrl-C
    MqttRequest mqtt;
};

// One value of a device's current record with its labels.
struct Cell {
    int channel, group, averaging, column;
    std::string averagingName, bandLabel;
    double value;
};
constexpr double kNoValue = 1e-200; // a cell no record wrote

// The device's current cells: every averaging of every band set of every channel, as many
// columns as carry a band label (a column past a set's values reads on into its
// frequencies), else as many as answer.
std::vector<Cell> readCells(const zs::host::Library& lib, int32_t index);

// Whether Ctrl-C was pressed since the last watchInterrupts(true); watchInterrupts(false)
// restores the previous handler.
void watchInterrupts(bool on);
bool interrupted();

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

#ifdef ZSIG_WITH_MQTT
// The --mqtt options of watch (which exclude `csv`).
void addMqttOptions(CLI::App& command, MqttRequest& request, CLI::Option* csv);
// zsig watch --mqtt: every record of the listed instruments (or of one) published to a broker.
int runWatchMqtt(const zs::host::Library& lib, const WatchRequest& request);
#endif

} // namespace zsig

// zsig watch: one device's values as they stream in.
#include "watch_command.h"

#include "output.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zsig {
namespace {

constexpr int kLabelLength = 128;
constexpr uint32_t kWaitSliceMs = 200;

std::atomic<bool> g_interrupted{false};
void (*g_previousHandler)(int) = SIG_DFL;
extern "C" void onInterrupt(int) {
    g_interrupted = true;
}

// The table's lines: the heading, then every cell a record wrote (of the table's channel and
// band set when it names them).
std::vector<std::string> tableLines(const std::vector<Cell>& cells, int32_t index, uint64_t records,
                                    const LiveTable& table, bool live) {
    std::vector<std::string> lines;
    char text[160];
    std::snprintf(text, sizeof text, "device %d  records %llu%s", index,
                  static_cast<unsigned long long>(records), live ? "  (Ctrl-C ends)" : "");
    lines.emplace_back(text);
    lines.push_back("ch  set  " + padded("averaging", 16) + " " + padded("band", 14) + " value");
    for (const Cell& c : cells) {
        if (c.value == kNoValue || (table.bandSet != 0 && c.group + 1 != table.bandSet) ||
            (table.channel >= 0 && c.channel != table.channel))
            continue;
        std::snprintf(text, sizeof text, "%-3d %-4d ", c.channel, c.group + 1);
        std::string line = text + padded(c.averagingName, 16) + " " + padded(c.bandLabel, 14);
        std::snprintf(text, sizeof text, " %.6g", c.value);
        lines.push_back(line + text);
    }
    return lines;
}

void writeCsv(std::ostream& csv, const std::vector<Cell>& cells, const std::string& time,
              uint64_t record) {
    for (const Cell& c : cells) {
        if (c.value == kNoValue) continue;
        csv << time << ',' << record << ',' << c.channel << ',' << c.group + 1 << ',' << c.averaging
            << ',' << csvField(c.averagingName) << ',' << c.column << ',' << csvField(c.bandLabel)
            << ',' << exactNumber(c.value) << '\n';
    }
    csv.flush();
}

} // namespace

void watchInterrupts(bool on) {
    if (on) {
        g_interrupted = false;
        g_previousHandler = std::signal(SIGINT, onInterrupt);
    } else {
        std::signal(SIGINT, g_previousHandler);
    }
}

bool interrupted() {
    return g_interrupted;
}

std::vector<Cell> readCells(const zs::host::Library& lib, int32_t index) {
    const auto getData = ZS_HOST_GET(lib, K427_GetData);
    const auto averName = ZS_HOST_GET(lib, K427_GetAverName);
    const auto bandName = ZS_HOST_GET(lib, K427_GetBandName);
    const int channels = ZS_HOST_GET(lib, K427_GetChannelN)(index);
    std::vector<Cell> cells;
    ZS_WCHAR text[kLabelLength];
    for (int ch = 0; ch < channels && ch < 8; ++ch)
        for (int group = 0; group < 3; ++group)
            for (int avg = 0; avg < 256 && getData(index, ch, group, avg, 0) != -1.0; ++avg) {
                const std::string avgName =
                    averName(index, group, avg, text, kLabelLength) > 0 ? utf8(text) : "";
                int total = 0;
                while (total < 4096 && getData(index, ch, group, avg, total) != -1.0) ++total;
                int labelled = 0;
                while (labelled < total &&
                       bandName(index, group, avg, labelled, text, kLabelLength))
                    ++labelled;
                for (int col = 0; col < (labelled > 0 ? labelled : total); ++col) {
                    const std::string band =
                        bandName(index, group, avg, col, text, kLabelLength) > 0 ? utf8(text) : "";
                    cells.push_back(
                        {ch, group, avg, col, avgName, band, getData(index, ch, group, avg, col)});
                }
            }
    return cells;
}

uint64_t showLiveValues(const zs::host::Library& lib, int32_t index, const LiveTable& table) {
    using Redraw = LiveTable::Redraw;
    using Clock = std::chrono::steady_clock;
    if (table.csv)
        *table.csv
            << "time,record,channel,band_set,averaging,averaging_name,band,band_label,value\n";
    watchInterrupts(true);
    const auto wait = ZS_HOST_GET(lib, K427_WaitForTelePacket);
    const auto start = Clock::now();
    auto lastShown = start - std::chrono::seconds(1);
    size_t linesShown = 0;
    uint64_t records = 0;
    while (!g_interrupted) {
        const auto now = Clock::now();
        if (table.durationSeconds > 0 &&
            std::chrono::duration<double>(now - start).count() >= table.durationSeconds)
            break;
        if (!wait(index, kWaitSliceMs)) continue;
        const std::string time = isoNow();
        const auto cells = readCells(lib, index);
        ++records;
        if (table.csv) writeCsv(*table.csv, cells, time, records);
        if (table.redraw == Redraw::None || (table.redraw == Redraw::EverySecond &&
                                             Clock::now() - lastShown < std::chrono::seconds(1)))
            continue;
        lastShown = Clock::now();
        const auto lines =
            tableLines(cells, index, records, table,
                       table.redraw == Redraw::Screen || table.redraw == Redraw::Below);
        if (table.redraw == Redraw::Screen) std::printf("\x1b[H\x1b[J"); // home, clear
        if (table.redraw == Redraw::Below && linesShown > 0)
            std::printf("\x1b[%uF\x1b[J",
                        static_cast<unsigned>(linesShown)); // up to the previous table, clear
        for (const auto& line : lines) std::printf("%s\n", line.c_str());
        if (table.redraw == Redraw::EveryRecord || table.redraw == Redraw::EverySecond)
            std::printf("\n");
        std::fflush(stdout);
        linesShown = lines.size();
    }
    watchInterrupts(false);
    return records;
}

int runWatch(const zs::host::Library& lib, const WatchRequest& request) {
#ifdef ZSIG_WITH_MQTT
    if (!request.mqtt.url.empty()) return runWatchMqtt(lib, request);
#endif
    if (request.index < 0)
        throw UsageError("watch needs INDEX (every instrument only with --mqtt)");
    const int count = buildDeviceList(lib, request.list);
    const auto freeList = ZS_HOST_GET(lib, K427_FreeFList);
    if (request.index < 0 || request.index >= count) {
        freeList();
        throw Failure("no device " + std::to_string(request.index) + " (" + std::to_string(count) +
                      " found)");
    }
    std::ofstream csv;
    if (!request.csvPath.empty()) {
        csv.open(request.csvPath, std::ios::binary);
        if (!csv) {
            freeList();
            throw Failure("cannot write " + request.csvPath);
        }
    }
    const bool inPlace = stdoutIsTerminal();
    LiveTable table;
    table.redraw = inPlace         ? LiveTable::Redraw::Screen
                   : csv.is_open() ? LiveTable::Redraw::None
                                   : LiveTable::Redraw::EveryRecord;
    table.durationSeconds = request.durationSeconds;
    table.csv = csv.is_open() ? &csv : nullptr;
    const uint64_t records = showLiveValues(lib, request.index, table);
    freeList();
    if (!inPlace)
        std::printf("%llu records from device %d\n", static_cast<unsigned long long>(records),
                    request.index);
    return 0;
}

void addWatchCommand(CLI::App& app, Context& context) {
    auto request = std::make_shared<WatchRequest>();
    CLI::App* cmd = context.command(
        app, "watch",
        "Show a device's values live as they arrive, or publish every instrument's records to "
        "an MQTT broker (--mqtt: Linux builds with libmosquitto only)",
        [request](Context& c) { return runWatch(c.library(), *request); });
    cmd->add_option("INDEX", request->index,
                    "Position of the device in the list (with --mqtt: none for every instrument)")
        ->check(CLI::NonNegativeNumber);
    CLI::Option* csv = cmd->add_option("--csv", request->csvPath,
                                       "Also log every record with its time to this file");
    cmd->add_option("--duration", request->durationSeconds, "Stop after this many seconds")
        ->check(CLI::PositiveNumber);
    addLinkOptions(*cmd, request->list);
#ifdef ZSIG_WITH_MQTT
    addMqttOptions(*cmd, request->mqtt, csv);
#else
    (void)csv;
#endif
}

} // namespace zsig

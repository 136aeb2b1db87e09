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

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace zsig {
namespace {

constexpr double kNoValue = 1e-200; // a cell no record wrote
constexpr int kLabelLength = 128;
constexpr uint32_t kWaitSliceMs = 200;

std::atomic<bool> g_interrupted{false};
extern "C" void onInterrupt(int) {
    g_interrupted = true;
}

struct Cell {
    int channel, group, averaging, column;
    std::string averagingName, bandLabel;
    double value;
};

// The device's current cells: every averaging of every band set of every channel, as many
// columns as carry a band label (a column past a set's values reads on into its
// frequencies), else as many as answer.
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

// Local time now, ISO 8601 with milliseconds.
std::string isoNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms));
    return text;
}

void showTable(const std::vector<Cell>& cells, int32_t index, uint64_t records, bool inPlace) {
    if (inPlace) std::printf("\x1b[H\x1b[J"); // home, clear: the table is redrawn in place
    std::printf("device %d  records %llu  (Ctrl-C ends)\n", index,
                static_cast<unsigned long long>(records));
    std::printf("%-3s %-4s %-24s %-14s %s\n", "ch", "set", "averaging", "band", "value");
    for (const Cell& c : cells) {
        if (c.value == kNoValue) continue;
        std::printf("%-3d %-4d %-24s %-14s %.6g\n", c.channel, c.group + 1, c.averagingName.c_str(),
                    c.bandLabel.c_str(), c.value);
    }
    std::fflush(stdout);
}

} // namespace

int runWatch(const zs::host::Library& lib, const WatchRequest& request) {
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
        csv << "time,record,channel,band_set,averaging,averaging_name,band,band_label,value\n";
    }
    g_interrupted = false;
    auto previous = std::signal(SIGINT, onInterrupt);
    const bool inPlace = isatty(fileno(stdout)) != 0;
    const auto wait = ZS_HOST_GET(lib, K427_WaitForTelePacket);
    const auto start = std::chrono::steady_clock::now();
    uint64_t records = 0;
    while (!g_interrupted) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (request.durationSeconds > 0 && elapsed >= request.durationSeconds) break;
        if (!wait(request.index, kWaitSliceMs)) continue;
        const std::string time = isoNow();
        const auto cells = readCells(lib, request.index);
        ++records;
        if (inPlace || csv.is_open() == false) showTable(cells, request.index, records, inPlace);
        if (csv.is_open()) {
            for (const Cell& c : cells) {
                if (c.value == kNoValue) continue;
                csv << time << ',' << records << ',' << c.channel << ',' << c.group + 1 << ','
                    << c.averaging << ',' << csvField(c.averagingName) << ',' << c.column << ','
                    << csvField(c.bandLabel) << ',' << exactNumber(c.value) << '\n';
            }
            csv.flush();
        }
    }
    std::signal(SIGINT, previous);
    freeList();
    if (!inPlace)
        std::printf("%llu records from device %d\n", static_cast<unsigned long long>(records),
                    request.index);
    return 0;
}

void addWatchCommand(CLI::App& app, Context& context) {
    auto request = std::make_shared<WatchRequest>();
    CLI::App* cmd =
        context.command(app, "watch", "Show a device's values live as they arrive",
                        [request](Context& c) { return runWatch(c.library(), *request); });
    cmd->add_option("INDEX", request->index, "Position of the device in the list")->required();
    cmd->add_option("--csv", request->csvPath, "Also log every record with its time to this file");
    cmd->add_option("--duration", request->durationSeconds, "Stop after this many seconds")
        ->check(CLI::PositiveNumber);
    addLinkOptions(*cmd, request->list);
}

} // namespace zsig

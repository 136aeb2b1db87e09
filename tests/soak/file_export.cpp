#include "file_export.h"

#include "zentrel_signal.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace zs::soak {
namespace {

constexpr int32_t kLabel = 128;
constexpr double kAbsent = -1.0; // what K427_GetData gives past a table's end

std::string narrow(const ZS_WCHAR* text) {
    std::string s;
    for (; *text; ++text) s.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return s;
}

// Appends one CSV line per value cell of the file's current record.
void appendCells(int32_t id, int32_t record, std::string& csv) {
    ZS_WCHAR text[kLabel];
    char number[64];
    std::snprintf(number, sizeof number, "%.17g", K427_GetDateTime(id));
    const std::string head = std::to_string(record) + "," + number + ",";
    for (int32_t row = 0; row < 8; ++row)
        for (int32_t group = 0; group < 3; ++group)
            for (int32_t avg = 0; K427_GetData(id, row, group, avg, 0) != kAbsent && avg < 256;
                 ++avg) {
                const std::string averaging =
                    K427_GetAverName(id, group, avg, text, kLabel) > 0 ? narrow(text) : "";
                for (int32_t column = 0; column < 4096; ++column) {
                    const double value = K427_GetData(id, row, group, avg, column);
                    if (value == kAbsent) break;
                    const std::string band =
                        K427_GetBandName(id, group, avg, column, text, kLabel) ? narrow(text) : "";
                    std::snprintf(number, sizeof number, "%.17g", value);
                    csv += head + std::to_string(row) + "," + std::to_string(group) + "," +
                           averaging + "," + band + "," + number + "\n";
                }
            }
}

} // namespace

ExportLoop::ExportLoop(std::filesystem::path recorded, std::filesystem::path output,
                       uint32_t pauseMs)
    : recorded_(std::move(recorded)), output_(std::move(output)), pauseMs_(pauseMs) {
    thread_ = std::thread([this] { run(); });
}

void ExportLoop::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

ExportLoop::Counts ExportLoop::counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

bool ExportLoop::exportOnce(std::string& csv, std::string& why) const {
    const std::u16string path = recorded_.u16string();
    const int32_t id = K427_OpenFile(reinterpret_cast<const ZS_WCHAR*>(path.c_str()));
    if (id < 256) {
        why = "K427_OpenFile gave " + std::to_string(id);
        return false;
    }
    const int32_t records = K427_GetNumRecords(id);
    bool read = records > 0;
    for (int32_t r = 0; read && r < records; ++r) {
        read = K427_SetToRecord(id, r) == 1;
        if (read) appendCells(id, r, csv);
    }
    K427_CloseFile(id);
    if (!read) {
        why = "a record of the file could not be read";
        return false;
    }
    std::ofstream out(output_, std::ios::binary | std::ios::trunc);
    out << csv;
    out.close();
    // Read back: what reached the disk is the export.
    std::ifstream in(output_, std::ios::binary);
    const std::string written{std::istreambuf_iterator<char>(in), {}};
    if (!out || written != csv) {
        why = "the export could not be written to " + output_.string();
        return false;
    }
    return true;
}

void ExportLoop::run() {
    std::string first;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        std::string csv, why;
        const bool made = exportOnce(csv, why);
        lock.lock();
        ++counts_.rounds;
        if (!made) {
            ++counts_.failed;
            if (counts_.firstFailure.empty()) counts_.firstFailure = why;
        } else if (first.empty()) {
            first = std::move(csv);
            counts_.bytes = first.size();
        } else if (csv != first) {
            ++counts_.different;
        }
        wake_.wait_for(lock, std::chrono::milliseconds(pauseMs_), [&] { return stopping_; });
    }
}

} // namespace zs::soak

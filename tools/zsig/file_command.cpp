// zsig file: a recorded file's decoded values, with channel, band and averaging labels and
// each record's time, as a table, CSV or JSON.
#include "file_command.h"

#include "commands.h"
#include "output.h"
#include "platform/text.h"

#include <cstdio>
#include <string>
#include <vector>

namespace zsig {
namespace {

constexpr double kNoValue = 1e-200; // a cell that no record wrote
constexpr int kLabelLength = 128;

struct Cell {
    int row, group, averaging, column;
    std::string averagingName, bandLabel;
    double value;
};

struct Exports {
    explicit Exports(const zs::host::Library& lib)
        : openFile(ZS_HOST_GET(lib, K427_OpenFile)),
          numRecords(ZS_HOST_GET(lib, K427_GetNumRecords)),
          setToRecord(ZS_HOST_GET(lib, K427_SetToRecord)),
          closeFile(ZS_HOST_GET(lib, K427_CloseFile)), getData(ZS_HOST_GET(lib, K427_GetData)),
          averName(ZS_HOST_GET(lib, K427_GetAverName)),
          bandName(ZS_HOST_GET(lib, K427_GetBandName)),
          deviceType(ZS_HOST_GET(lib, K427_GetDeviceType)),
          vin(ZS_HOST_GET(lib, K427_GetDeviceVIN)), range(ZS_HOST_GET(lib, K427_GetDeviceRange)),
          dateTime(ZS_HOST_GET(lib, K427_GetDateTime)) {}
    decltype(&K427_OpenFile) openFile;
    decltype(&K427_GetNumRecords) numRecords;
    decltype(&K427_SetToRecord) setToRecord;
    decltype(&K427_CloseFile) closeFile;
    decltype(&K427_GetData) getData;
    decltype(&K427_GetAverName) averName;
    decltype(&K427_GetBandName) bandName;
    decltype(&K427_GetDeviceType) deviceType;
    decltype(&K427_GetDeviceVIN) vin;
    decltype(&K427_GetDeviceRange) range;
    decltype(&K427_GetDateTime) dateTime;
};

// The cells of the record last stepped to. A column past a set's values reads on into its
// band frequencies, so the columns are those that carry a band label when the set has any.
std::vector<Cell> collect(const Exports& x, int32_t id) {
    std::vector<Cell> cells;
    ZS_WCHAR text[kLabelLength];
    for (int row = 0; row < 8; ++row) {
        for (int group = 0; group < 3; ++group) {
            for (int avg = 0; avg < 256; ++avg) {
                if (x.getData(id, row, group, avg, 0) == -1.0) break;
                std::string avgName;
                if (x.averName(id, group, avg, text, kLabelLength) > 0) avgName = utf8(text);
                int total = 0;
                while (total < 4096 && x.getData(id, row, group, avg, total) != -1.0) ++total;
                int labelled = 0;
                while (labelled < total && x.bandName(id, group, avg, labelled, text, kLabelLength))
                    ++labelled;
                const int columns = labelled > 0 ? labelled : total;
                for (int col = 0; col < columns; ++col) {
                    std::string label;
                    if (x.bandName(id, group, avg, col, text, kLabelLength) > 0) label = utf8(text);
                    cells.push_back({row, group, avg, col, avgName, label,
                                     x.getData(id, row, group, avg, col)});
                }
            }
        }
    }
    return cells;
}

// Pads to a width in characters, not bytes, so that non-Latin labels line up.
std::string pad(const std::string& s, size_t width) {
    size_t chars = 0;
    for (unsigned char c : s) chars += (c & 0xC0) != 0x80;
    return chars >= width ? s + " " : s + std::string(width - chars, ' ');
}

// The table shows values as a person reads them; CSV and JSON carry them exactly.
std::string shortNumber(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

class OpenFile {
  public:
    OpenFile(const Exports& x, const std::string& path) : x_(x) {
        const std::u16string wide = zs::platform::utf16FromUtf8(path);
        id_ = x.openFile(reinterpret_cast<const ZS_WCHAR*>(wide.c_str()));
        if (id_ == -1) throw Failure("cannot open '" + path + "'");
        if (id_ == -2)
            throw Failure("'" + path +
                          "' matches no instrument type of the description file "
                          "(TeleDescFile.bin beside the library)");
    }
    ~OpenFile() { x_.closeFile(id_); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int32_t id() const { return id_; }

  private:
    const Exports& x_;
    int32_t id_;
};

struct Output {
    explicit Output(const std::string& path) {
        if (path.empty() || path == "-") return;
        file = std::fopen(path.c_str(), "wb");
        if (!file) throw Failure("cannot create '" + path + "'");
    }
    ~Output() {
        if (file != stdout) std::fclose(file);
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    void close() {
        const bool failed = std::fflush(file) != 0 || std::ferror(file);
        if (failed) throw Failure("cannot write the output");
    }
    FILE* file = stdout;
};

} // namespace

int exportFile(Context& context, const FileExport& o) {
    const Exports x(context.library());
    const OpenFile file(x, o.path);
    const int32_t id = file.id();
    const int32_t count = x.numRecords(id);
    long first = 0, last = count - 1;
    if (o.record >= 0) {
        if (o.record >= count)
            throw Failure("record " + std::to_string(o.record) +
                          " does not exist (the file holds " + std::to_string(count) + ")");
        first = last = o.record;
    }
    Output output(o.output);
    FILE* out = output.file;

    if (o.format == FileExport::Csv)
        std::fprintf(out, "record,time,channel,band_set,averaging,averaging_name,band,band_label,"
                          "value\n");
    if (o.format == FileExport::Json)
        std::fprintf(out, "{\"file\": %s, \"device_type\": %d, \"serial\": %d, \"records\": [",
                     jsonString(o.path).c_str(), x.deviceType(id), x.vin(id));
    if (o.format == FileExport::Table)
        std::fprintf(out, "%s: device type %d, serial %d, range %d, %d record(s)\n", o.path.c_str(),
                     x.deviceType(id), x.vin(id), x.range(id), count);

    Progress progress("exporting " + o.path, static_cast<uint64_t>(last - first + 1));
    for (long r = first; r <= last; ++r) {
        progress.update(static_cast<uint64_t>(r - first));
        if (!x.setToRecord(id, static_cast<int32_t>(r)))
            throw Failure("record " + std::to_string(r) + " cannot be read");
        const std::string time = isoTime(x.dateTime(id));
        const auto cells = collect(x, id);
        if (o.format == FileExport::Csv) {
            for (const auto& c : cells)
                std::fprintf(out, "%ld,%s,%d,%d,%d,%s,%d,%s,%s\n", r, time.c_str(), c.row,
                             c.group + 1, c.averaging, csvField(c.averagingName).c_str(), c.column,
                             csvField(c.bandLabel).c_str(), exactNumber(c.value).c_str());
        } else if (o.format == FileExport::Json) {
            std::fprintf(out, "%s\n  {\"record\": %ld, \"time\": %s, \"values\": [",
                         r == first ? "" : ",", r,
                         time.empty() ? "null" : jsonString(time).c_str());
            for (size_t i = 0; i < cells.size(); ++i) {
                const auto& c = cells[i];
                std::fprintf(out,
                             "%s\n    {\"channel\": %d, \"band_set\": %d, \"averaging\": %d, "
                             "\"averaging_name\": %s, \"band\": %d, \"band_label\": %s, "
                             "\"value\": %s}",
                             i ? "," : "", c.row, c.group + 1, c.averaging,
                             jsonString(c.averagingName).c_str(), c.column,
                             jsonString(c.bandLabel).c_str(), jsonNumber(c.value).c_str());
            }
            std::fprintf(out, "]}");
        } else {
            std::fprintf(out, "\nrecord %ld%s%s\n", r, time.empty() ? "" : "  ", time.c_str());
            std::fprintf(out, "  %-4s %-4s %s%s%s\n", "ch", "set", pad("averaging", 16).c_str(),
                         pad("band", 12).c_str(), "value");
            size_t shown = 0;
            for (const auto& c : cells) {
                if (o.limit && shown++ == o.limit) {
                    std::fprintf(out, "  ... %zu more values (zsig file PATH shows them all)\n",
                                 cells.size() - o.limit);
                    break;
                }
                const std::string avg =
                    c.averagingName.empty() ? std::to_string(c.averaging) : c.averagingName;
                const std::string band =
                    c.bandLabel.empty() ? std::to_string(c.column) : c.bandLabel;
                std::fprintf(out, "  %-4d %-4d %s%s%s\n", c.row, c.group + 1, pad(avg, 16).c_str(),
                             pad(band, 12).c_str(),
                             c.value == kNoValue ? "-" : shortNumber(c.value).c_str());
            }
        }
    }
    progress.finish();
    if (o.format == FileExport::Json) std::fprintf(out, "\n]}\n");
    output.close();
    return 0;
}

void addFileCommand(CLI::App& app, Context& context) {
    auto o = std::make_shared<FileExport>();
    CLI::App* cmd = context.command(app, "file",
                                    "A recorded measurement file's decoded values and record times",
                                    [o](Context& c) { return exportFile(c, *o); });
    cmd->add_option("path", o->path, "The recorded file")->required();
    auto* csv = cmd->add_flag_function(
        "--csv", [o](int64_t) { o->format = FileExport::Csv; }, "Write CSV (exact values)");
    auto* json = cmd->add_flag_function(
        "--json", [o](int64_t) { o->format = FileExport::Json; }, "Write JSON (exact values)");
    csv->excludes(json);
    cmd->add_option("--record", o->record, "Only record N (from 0)")->check(CLI::NonNegativeNumber);
    cmd->add_option("-o,--output", o->output, "Write to this file instead of standard output");
}

} // namespace zsig

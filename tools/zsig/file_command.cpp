// zsig file: a recorded file's decoded values, with channel, band and averaging labels.
#include "commands.h"
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
          vin(ZS_HOST_GET(lib, K427_GetDeviceVIN)), range(ZS_HOST_GET(lib, K427_GetDeviceRange)) {}
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

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// Pads to a width in characters, not bytes, so that non-Latin labels line up.
std::string pad(const std::string& s, size_t width) {
    size_t chars = 0;
    for (unsigned char c : s) chars += (c & 0xC0) != 0x80;
    return chars >= width ? s + " " : s + std::string(width - chars, ' ');
}

std::string number(double v) {
    if (v == kNoValue) return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

} // namespace

int runFile(const zs::host::Library& lib, const Options& o) {
    if (o.args.size() != 1) {
        std::fprintf(stderr, "usage: zsig file PATH [--csv | --json] [--record N]\n");
        return 2;
    }
    const Exports x(lib);
    const std::u16string path = zs::platform::utf16FromUtf8(o.args[0]);
    const int32_t id = x.openFile(reinterpret_cast<const ZS_WCHAR*>(path.c_str()));
    if (id == -1) {
        std::fprintf(stderr, "zsig: cannot open '%s'\n", o.args[0].c_str());
        return 1;
    }
    if (id == -2) {
        std::fprintf(stderr,
                     "zsig: '%s' matches no instrument type of the description file "
                     "(TeleDescFile.bin beside the library)\n",
                     o.args[0].c_str());
        return 1;
    }
    const int32_t count = x.numRecords(id);
    long first = 0, last = count - 1;
    if (o.record >= 0) {
        if (o.record >= count) {
            std::fprintf(stderr, "zsig: record %ld does not exist (the file holds %d)\n", o.record,
                         count);
            x.closeFile(id);
            return 1;
        }
        first = last = o.record;
    }

    if (o.csv)
        std::printf("record,channel,band_set,averaging,averaging_name,band,band_label,value\n");
    if (o.json)
        std::printf("{\"file\": %s, \"device_type\": %d, \"serial\": %d, \"records\": [",
                    jsonString(o.args[0]).c_str(), x.deviceType(id), x.vin(id));
    if (!o.csv && !o.json)
        std::printf("%s: device type %d, serial %d, range %d, %d record(s)\n", o.args[0].c_str(),
                    x.deviceType(id), x.vin(id), x.range(id), count);

    for (long r = first; r <= last; ++r) {
        if (!x.setToRecord(id, static_cast<int32_t>(r))) {
            std::fprintf(stderr, "zsig: record %ld cannot be read\n", r);
            continue;
        }
        const auto cells = collect(x, id);
        if (o.csv) {
            for (const auto& c : cells)
                std::printf("%ld,%d,%d,%d,%s,%d,%s,%s\n", r, c.row, c.group + 1, c.averaging,
                            csvField(c.averagingName).c_str(), c.column,
                            csvField(c.bandLabel).c_str(), number(c.value).c_str());
        } else if (o.json) {
            std::printf("%s\n  {\"record\": %ld, \"values\": [", r == first ? "" : ",", r);
            for (size_t i = 0; i < cells.size(); ++i) {
                const auto& c = cells[i];
                const std::string v = number(c.value);
                std::printf("%s\n    {\"channel\": %d, \"band_set\": %d, \"averaging\": %d, "
                            "\"averaging_name\": %s, \"band\": %d, \"band_label\": %s, "
                            "\"value\": %s}",
                            i ? "," : "", c.row, c.group + 1, c.averaging,
                            jsonString(c.averagingName).c_str(), c.column,
                            jsonString(c.bandLabel).c_str(), v.empty() ? "null" : v.c_str());
            }
            std::printf("]}");
        } else {
            std::printf("\nrecord %ld\n", r);
            std::printf("  %-4s %-4s %s%s%s\n", "ch", "set", pad("averaging", 16).c_str(),
                        pad("band", 12).c_str(), "value");
            size_t shown = 0;
            for (const auto& c : cells) {
                if (o.limit && shown++ == o.limit) {
                    std::printf("  ... %zu more values (zsig file PATH shows them all)\n",
                                cells.size() - o.limit);
                    break;
                }
                const std::string avg =
                    c.averagingName.empty() ? std::to_string(c.averaging) : c.averagingName;
                const std::string band =
                    c.bandLabel.empty() ? std::to_string(c.column) : c.bandLabel;
                const std::string v = number(c.value);
                std::printf("  %-4d %-4d %s%s%s\n", c.row, c.group + 1, pad(avg, 16).c_str(),
                            pad(band, 12).c_str(), v.empty() ? "-" : v.c_str());
            }
        }
    }
    if (o.json) std::printf("\n]}\n");
    x.closeFile(id);
    return 0;
}

} // namespace zsig

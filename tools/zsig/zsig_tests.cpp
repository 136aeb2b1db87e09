// zsig's output helpers, and zsig run as a user runs it: help, exit status, messages, and
// CSV and JSON that read back as exactly the doubles the library returns.
#include "hostlib/zs_host.h"
#include "output.h"
#include "platform/text.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <sstream>
#include <string>

using namespace zsig;

TEST(ZsigOutput, ExactNumbersReadBackAsTheSameDouble) {
    const struct {
        double v;
        const char* text;
    } cases[] = {{68.234375, "68.234375"}, {0.1, "0.1"},    {-0.0, "-0"},   {1e-200, "1e-200"},
                 {5e-324, "5e-324"},       {1e21, "1e+21"}, {-1.5, "-1.5"}, {62.0, "62"}};
    for (const auto& c : cases) EXPECT_EQ(exactNumber(c.v), c.text);
    EXPECT_EQ(exactNumber(NAN), "nan");
    EXPECT_EQ(exactNumber(-INFINITY), "-inf");
    EXPECT_EQ(jsonNumber(INFINITY), "null");

    std::mt19937_64 random(7);
    for (int i = 0; i < 10000; ++i) {
        double v;
        const uint64_t bits = random();
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v)) continue;
        const std::string text = exactNumber(v);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
        EXPECT_LE(text.size(), 24u);
    }
    EXPECT_EQ(exactNumber(DBL_MAX), "1.7976931348623157e+308");
}

TEST(ZsigOutput, IsoTimesOfOleDates) {
    const struct {
        double ole;
        const char* iso;
    } cases[] = {
        {45429.0 + (10 * 3600 + 20 * 60 + 30) / 86400.0, "2024-05-17T10:20:30"},
        {2.5, "1900-01-01T12:00:00"},
        {-1.25, "1899-12-29T06:00:00"}, // before day 0 the fraction still counts forward
        {60.0, "1900-02-28T00:00:00"},  // no 29 February 1900
        {36526.0 + 0.25 / 86400.0, "2000-01-01T00:00:00.250"},
        {36526.0 - 1e-12, "2000-01-01T00:00:00"}, // rounds up to midnight of the next day
        {2958465.5, "9999-12-31T12:00:00"},
        {0.0, ""}, // what the library gives for no date
        {3e6, ""},
        {NAN, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(isoTime(c.ole), c.iso) << c.ole;
}

TEST(ZsigOutput, CsvAndJsonTexts) {
    EXPECT_EQ(csvField("31.50"), "31.50");
    EXPECT_EQ(csvField("a,b"), "\"a,b\"");
    EXPECT_EQ(csvField("say \"x\""), "\"say \"\"x\"\"\"");
    EXPECT_EQ(csvField("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(jsonString("Медленно"), "\"Медленно\"");
    EXPECT_EQ(jsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\u000a\\u0001\"");
}

TEST(ZsigOutput, ColumnsArePaddedByCharactersNotBytes) {
    EXPECT_EQ(padded("band", 6), "band  ");
    EXPECT_EQ(padded("Быстро", 8), "Быстро  "); // 12 bytes, 6 characters
    EXPECT_EQ(padded("УЗД A", 5), "УЗД A");
    EXPECT_EQ(padded("Медленно", 4), "Медленно"); // too long: kept whole
    EXPECT_EQ(padded("", 2), "  ");
}

TEST(ZsigOutput, ProgressLine) {
    EXPECT_EQ(Progress::line("export", 0, 4, 8), "export [........] 0%");
    EXPECT_EQ(Progress::line("export", 1, 4, 8), "export [##......] 25%");
    EXPECT_EQ(Progress::line("export", 9, 4, 8), "export [########] 100%");
    EXPECT_EQ(Progress::line("searching", 3, 0, 8), "searching ... 3");
}

namespace {

struct Outcome {
    int status;
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// zsig from the folder the tests run in (the build's bin folder), as a shell runs it.
Outcome runZsig(const std::string& args) {
#ifdef _WIN32
    const std::string program = "zsig.exe";
#else
    const std::string program = "./zsig";
#endif
    const int raw = std::system((program + " " + args + " >zsig-test.out 2>zsig-test.err").c_str());
#ifdef _WIN32
    const int status = raw;
#else
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    return {status, slurp("zsig-test.out"), slurp("zsig-test.err")};
}

} // namespace

TEST(ZsigCommandLine, HelpExitStatusAndMessages) {
    const Outcome help = runZsig("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* command : {"version", "file", "desc", "demo"}) {
        EXPECT_NE(help.out.find(command), std::string::npos) << command;
        const Outcome sub = runZsig(std::string(command) + " --help");
        EXPECT_EQ(sub.status, 0) << command;
        EXPECT_NE(sub.out.find(command), std::string::npos) << sub.out;
        EXPECT_TRUE(sub.err.empty()) << sub.err;
    }
    const struct {
        const char* args;
        int status;
        const char* message; // on stderr
    } cases[] = {
        {"", 2, "Usage"},
        {"no-such-command", 2, "no-such-command"},
        {"file", 2, "path"},
        {"file samples/sample-current.bin --csv --json", 2, "excludes"},
        {"file samples/sample-current.bin --record x", 2, "record"},
        {"file samples/no-such-file.bin", 1, "cannot open 'samples/no-such-file.bin'"},
        {"file samples/sample-current.bin --record 6", 1, "record 6 does not exist"},
        {"file TeleDescFile.bin", 1, "matches no instrument type"},
        {"desc samples/sample-current.bin", 1, "is not a description file"},
        {"desc no-such.bin", 1, "cannot open"},
        {"--library no-such-library version", 1, "cannot load"},
    };
    for (const auto& c : cases) {
        const Outcome r = runZsig(c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << c.args << ": " << r.out;
    }
}

TEST(ZsigCommandLine, VersionAndDescription) {
    const Outcome version = runZsig("version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("2.11 (0x0002000B, 131083)", 0), 0u) << version.out;
    const Outcome desc = runZsig("desc");
    EXPECT_EQ(desc.status, 0) << desc.err;
    EXPECT_NE(desc.out.find("ZS-428"), std::string::npos) << desc.out;
    const Outcome json = runZsig("desc --json");
    ASSERT_EQ(json.status, 0);
    const auto parsed = nlohmann::json::parse(json.out);
    EXPECT_EQ(parsed["version"], 13);
    bool found = false;
    for (const auto& l : parsed["layouts"]) found |= l["device_type"] == 28;
    EXPECT_TRUE(found);
}

// --trace turns the library's trace on for the run, on stderr only: stdout is what it was.
TEST(ZsigCommandLine, TraceShowsTheLibraryCallsOnStandardError) {
    const Outcome plain = runZsig("version");
    EXPECT_TRUE(plain.err.empty()) << plain.err;
    const Outcome traced = runZsig("--trace version");
    EXPECT_EQ(traced.status, 0);
    EXPECT_EQ(traced.out, plain.out);
    for (const char* line : {"trace on: process [0-9]+", "K427_GetLibraryVersion\\(\\)",
                             "K427_GetLibraryVersion -> 131083"}) {
        const std::regex stamped(std::string("(^|\n)[0-9]+\\.[0-9]{3} t[0-9]+ ") + line);
        EXPECT_TRUE(std::regex_search(traced.err, stamped)) << line << " in:\n" << traced.err;
    }
}

namespace {

struct Host {
    zs::host::Library lib;
    decltype(&K427_OpenFile) open = ZS_HOST_GET(lib, K427_OpenFile);
    decltype(&K427_SetToRecord) step = ZS_HOST_GET(lib, K427_SetToRecord);
    decltype(&K427_CloseFile) close = ZS_HOST_GET(lib, K427_CloseFile);
    decltype(&K427_GetData) data = ZS_HOST_GET(lib, K427_GetData);
    decltype(&K427_GetDateTime) dateTime = ZS_HOST_GET(lib, K427_GetDateTime);
    decltype(&K427_GetNumRecords) count = ZS_HOST_GET(lib, K427_GetNumRecords);

    int32_t openPath(const std::string& path) {
        const auto wide = zs::platform::utf16FromUtf8(path);
        return open(reinterpret_cast<const ZS_WCHAR*>(wide.c_str()));
    }
};

std::vector<std::string> splitCsv(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

} // namespace

// Every value and time zsig writes reads back as exactly what the exports return.
TEST(ZsigCommandLine, CsvAndJsonCarryTheExportsValuesExactly) {
    for (const char* sample : {"samples/sample-current.bin", "samples/sample-older.bin"}) {
        SCOPED_TRACE(sample);
        const Outcome csv = runZsig(std::string("file ") + sample + " --csv");
        ASSERT_EQ(csv.status, 0) << csv.err;
        const Outcome json = runZsig(std::string("file ") + sample + " --json");
        ASSERT_EQ(json.status, 0) << json.err;
        const auto parsed = nlohmann::json::parse(json.out);

        Host h;
        const int32_t id = h.openPath(sample);
        ASSERT_GE(id, 256);
        std::istringstream lines(csv.out);
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line, "record,time,channel,band_set,averaging,averaging_name,band,band_label,"
                        "value");
        size_t rows = 0, jsonIndex = 0;
        int current = -1;
        while (std::getline(lines, line)) {
            const auto f = splitCsv(line);
            ASSERT_EQ(f.size(), 9u) << line;
            const int record = std::stoi(f[0]);
            if (record != current) {
                ASSERT_EQ(h.step(id, record), 1);
                EXPECT_EQ(f[1], isoTime(h.dateTime(id)));
                EXPECT_FALSE(f[1].empty());
                ASSERT_LT(static_cast<size_t>(record), parsed["records"].size());
                EXPECT_EQ(parsed["records"][record]["time"], f[1]);
                current = record;
                jsonIndex = 0;
            }
            const double expected =
                h.data(id, std::stoi(f[2]), std::stoi(f[3]) - 1, std::stoi(f[4]), std::stoi(f[6]));
            const auto& value = parsed["records"][record]["values"][jsonIndex++];
            // Every cell as the library returns it, its no-value marker 1e-200 included.
            ASSERT_FALSE(f[8].empty()) << line;
            EXPECT_EQ(std::strtod(f[8].c_str(), nullptr), expected) << line;
            EXPECT_EQ(value["value"].get<double>(), expected) << line;
            ++rows;
        }
        EXPECT_EQ(current + 1, h.count(id));
        EXPECT_GE(rows, 10u);
        h.close(id);
    }
}

TEST(ZsigCommandLine, FileTableAndOutputFile) {
    const Outcome table = runZsig("file samples/sample-current.bin --record 2");
    EXPECT_EQ(table.status, 0);
    EXPECT_NE(table.out.find("record 2  2024-05-17T10:20:34"), std::string::npos) << table.out;
    std::remove("zsig-test.csv");
    const Outcome written = runZsig("file samples/sample-older.bin --csv -o zsig-test.csv");
    EXPECT_EQ(written.status, 0);
    EXPECT_TRUE(written.out.empty());
    EXPECT_EQ(slurp("zsig-test.csv"), runZsig("file samples/sample-older.bin --csv").out);
}

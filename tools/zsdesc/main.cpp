// zsdesc: compiles the readable JSON form of a telemetry description into TeleDescFile.bin,
// and dumps a binary description back into that JSON.
#include "description_json.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage:\n"
    "  zsdesc compile SRC.json... -o OUT.bin [--version N]\n"
    "      Writes the description file. Several sources are joined in order; the version\n"
    "      is N, else the sources' \"version\" (they must agree), else 13.\n"
    "  zsdesc dump FILE.bin [-o OUT.json]\n"
    "      Prints a description file as JSON (every field and every language block);\n"
    "      compiling that JSON gives back the same bytes.\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    return bytes;
}

void writeFile(const std::string& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot create " + path);
    out.write(static_cast<const char*>(data), std::streamsize(size));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

int compile(const std::vector<std::string>& args) {
    std::vector<std::string> sources;
    std::optional<std::string> output;
    std::optional<uint32_t> version;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" && i + 1 < args.size()) {
            output = args[++i];
        } else if (args[i] == "--version" && i + 1 < args.size()) {
            const std::string& v = args[++i];
            char* end = nullptr;
            const unsigned long n = std::strtoul(v.c_str(), &end, 10);
            if (v.empty() || *end || n > zsdesc::kMaxVersion)
                throw UsageError("--version takes a number from 0 to 13");
            version = static_cast<uint32_t>(n);
        } else if (!args[i].empty() && args[i][0] == '-') {
            throw UsageError("unknown option " + args[i]);
        } else {
            sources.push_back(args[i]);
        }
    }
    if (sources.empty()) throw UsageError("compile needs at least one source");
    if (!output) throw UsageError("compile needs -o OUT");

    zsdesc::Description all;
    std::optional<uint32_t> sourceVersion;
    for (const std::string& path : sources) {
        const std::vector<uint8_t> bytes = readFile(path);
        nlohmann::json json;
        try {
            json = nlohmann::json::parse(bytes.begin(), bytes.end());
        } catch (const nlohmann::json::exception& e) {
            throw std::runtime_error(path + ": " + e.what());
        }
        zsdesc::Description one;
        try {
            one = zsdesc::descriptionFromJson(json);
        } catch (const zsdesc::FormatError& e) {
            throw std::runtime_error(path + ": " + e.what());
        }
        if (json.contains("version")) {
            if (sourceVersion && *sourceVersion != one.version && !version)
                throw std::runtime_error(path + ": version " + std::to_string(one.version) +
                                         " differs from the sources before it; give --version");
            sourceVersion = one.version;
        }
        zsdesc::appendDescription(all, std::move(one));
    }
    all.version = version.value_or(sourceVersion.value_or(zsdesc::kMaxVersion));
    const std::vector<uint8_t> file = zsdesc::writeDescription(all);
    writeFile(*output, file.data(), file.size());
    return 0;
}

int dump(const std::vector<std::string>& args) {
    std::optional<std::string> input, output;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" && i + 1 < args.size())
            output = args[++i];
        else if (!args[i].empty() && args[i][0] == '-')
            throw UsageError("unknown option " + args[i]);
        else if (input)
            throw UsageError("dump takes one file");
        else
            input = args[i];
    }
    if (!input) throw UsageError("dump needs a file");
    const std::vector<uint8_t> bytes = readFile(*input);
    zsdesc::Description d;
    try {
        d = zsdesc::readDescription(bytes);
    } catch (const zsdesc::FormatError& e) {
        throw std::runtime_error(*input + ": " + e.what());
    }
    const std::string text = zsdesc::descriptionToJson(d).dump(2) + "\n";
    if (output)
        writeFile(*output, text.data(), text.size());
    else
        std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    try {
        if (command == "compile") return compile(args);
        if (command == "dump") return dump(args);
        throw UsageError("unknown command " + command);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "zsdesc: %s\n%s", e.what(), kUsage);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zsdesc: %s\n", e.what());
        return 1;
    }
}

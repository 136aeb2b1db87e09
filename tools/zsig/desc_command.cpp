// zsig desc: what a description file holds — its instrument types with their record sizes and
// items, the signal layouts, the band and channel names.
#include "commands.h"
#include "description_source.h"
#include "output.h"
#include "platform/text.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace zsig {
namespace {

struct DescOptions {
    std::string path; // empty: TeleDescFile.bin beside the library
    bool json = false;
};

std::string text(const std::u16string& s) {
    return zs::platform::utf8FromUtf16(s);
}

// The layout's title in the first language that has one ("ZS-428  Sound and vibration analyser").
std::string title(const zsdesc::Layout& l, bool preferEnglish) {
    const zsdesc::TextSet* pick = nullptr;
    for (const auto& t : l.texts) {
        if (!pick) pick = &t;
        if (preferEnglish && t.language == u"English") pick = &t;
    }
    if (!pick) return {};
    std::string out = text(pick->texts[0]);
    if (!pick->texts[1].empty()) out += (out.empty() ? "" : "  ") + text(pick->texts[1]);
    return out;
}

uint32_t recordSize(const zsdesc::Layout& l) {
    if (l.recordSize) return *l.recordSize;
    uint32_t sum = 0;
    for (uint32_t w : l.words) sum += zsdesc::itemSize(w);
    return sum;
}

int run(Context& context, const DescOptions& o) {
    const std::string path =
        o.path.empty() ? context.library().directory() + "/TeleDescFile.bin" : o.path;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure("cannot open '" + path + "'");
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    zsdesc::Description d;
    try {
        d = zsdesc::readDescription(bytes);
    } catch (const zsdesc::FormatError& e) {
        throw Failure("'" + path + "' is not a description file: " + e.what());
    }

    if (o.json) {
        std::printf("{\"file\": %s, \"version\": %u, \"layouts\": [", jsonString(path).c_str(),
                    d.version);
        for (size_t i = 0; i < d.layouts.size(); ++i) {
            const auto& l = d.layouts[i];
            std::printf("%s\n  {\"device_type\": %u, \"title\": %s, \"record_size\": %u, "
                        "\"items\": %zu, \"averaging_names\": %zu}",
                        i ? "," : "", l.typeCode, jsonString(title(l, true)).c_str(), recordSize(l),
                        l.words.size(),
                        l.averagingNames.empty() ? size_t{0}
                                                 : l.averagingNames.front().names.size());
        }
        std::printf("\n], \"signal_layouts\": [");
        for (size_t i = 0; i < d.signalLayouts.size(); ++i) {
            const auto& s = d.signalLayouts[i];
            std::u16string unit(s.unitText.data());
            std::printf("%s\n  {\"device_type\": %u, \"sampling_rate_high\": %s, "
                        "\"sampling_rate_normal\": %s, \"unit\": %s}",
                        i ? "," : "", s.typeCode, jsonNumber(s.samplingRateHigh).c_str(),
                        jsonNumber(s.samplingRateNormal).c_str(), jsonString(text(unit)).c_str());
        }
        std::printf("\n], \"band_names\": %zu, \"channel_name_sets\": %zu, \"parameters\": %zu}\n",
                    d.bandNames.size(), d.channelNameSets.size(),
                    d.parameterList.size() + d.parameterBlocks.size());
        return 0;
    }

    std::printf("%s: description format version %u\n", path.c_str(), d.version);
    std::printf("\n%zu instrument layout(s)\n", d.layouts.size());
    std::printf("  %-6s %-8s %-7s %s\n", "type", "record", "items", "instrument");
    for (const auto& l : d.layouts)
        std::printf("  %-6u %-8u %-7zu %s\n", l.typeCode, recordSize(l), l.words.size(),
                    title(l, true).c_str());
    std::printf("\n%zu signal layout(s)\n", d.signalLayouts.size());
    if (!d.signalLayouts.empty())
        std::printf("  %-6s %-14s %-14s %s\n", "type", "high (Hz)", "normal (Hz)", "unit");
    for (const auto& s : d.signalLayouts) {
        std::u16string unit(s.unitText.data());
        std::printf("  %-6u %-14s %-14s %s\n", s.typeCode, exactNumber(s.samplingRateHigh).c_str(),
                    exactNumber(s.samplingRateNormal).c_str(), text(unit).c_str());
    }
    std::printf("\n%zu band name(s), %zu channel name set(s), %zu parameter(s), %zu code pair(s)\n",
                d.bandNames.size(), d.channelNameSets.size(),
                d.parameterList.size() + d.parameterBlocks.size(), d.codePairs.size());
    return 0;
}

} // namespace

void addDescCommand(CLI::App& app, Context& context) {
    auto o = std::make_shared<DescOptions>();
    CLI::App* cmd = context.command(app, "desc", "What a description file holds",
                                    [o](Context& c) { return run(c, *o); });
    cmd->add_option("path", o->path,
                    "The description file (default: TeleDescFile.bin beside "
                    "the library)");
    cmd->add_flag("--json", o->json, "Write JSON");
}

} // namespace zsig

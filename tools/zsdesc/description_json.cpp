#include "description_json.h"

#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <set>
#include <string>

namespace zsdesc {
namespace {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;

// ---- UTF-8 <-> UTF-16 ----

bool validUtf16(const std::u16string& s) {
    for (size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

std::string utf8(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | cp >> 6);
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | cp >> 12);
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | cp >> 18);
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// The JSON parser has already checked that the text is well-formed UTF-8.
std::u16string utf16(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        const uint8_t b = uint8_t(s[i]);
        uint32_t cp;
        size_t n;
        if (b < 0x80) {
            cp = b;
            n = 1;
        } else if (b < 0xE0) {
            cp = b & 0x1F;
            n = 2;
        } else if (b < 0xF0) {
            cp = b & 0x0F;
            n = 3;
        } else {
            cp = b & 0x07;
            n = 4;
        }
        for (size_t k = 1; k < n && i + k < s.size(); ++k)
            cp = cp << 6 | (uint8_t(s[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += char16_t(0xD800 + (cp >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
    }
    return out;
}

// ---- reading ----

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw FormatError(where + ": " + what);
}

uint64_t parseHex(const std::string& text, const std::string& where) {
    if (text.size() < 3 || text.size() > 18 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        fail(where, "expected a number or a hexadecimal text such as \"0x201B0000\"");
    uint64_t v = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        const char c = text[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            fail(where, "bad hexadecimal digit in \"" + text + "\"");
        v = v << 4 | uint64_t(d);
    }
    return v;
}

uint64_t readUnsigned(const json& j, const std::string& where, uint64_t max) {
    uint64_t v;
    if (j.is_number_unsigned())
        v = j.get<uint64_t>();
    else if (j.is_string())
        v = parseHex(j.get<std::string>(), where);
    else
        fail(where, "expected an unsigned number");
    if (v > max) fail(where, "value " + std::to_string(v) + " is out of range");
    return v;
}

uint32_t u32(const json& j, const std::string& where) {
    return static_cast<uint32_t>(readUnsigned(j, where, UINT32_MAX));
}
uint16_t u16(const json& j, const std::string& where) {
    return static_cast<uint16_t>(readUnsigned(j, where, UINT16_MAX));
}

double f64(const json& j, const std::string& where) {
    if (j.is_number()) return j.get<double>();
    if (j.is_string()) return std::bit_cast<double>(parseHex(j.get<std::string>(), where));
    fail(where, "expected a number");
}

std::u16string text(const json& j, const std::string& where) {
    if (j.is_string()) return utf16(j.get<std::string>());
    if (j.is_array()) {
        std::u16string s;
        for (size_t i = 0; i < j.size(); ++i)
            s += char16_t(u16(j[i], where + "[" + std::to_string(i) + "]"));
        return s;
    }
    fail(where, "expected a text (a string, or an array of UTF-16 code units)");
}

const json& array(const json& j, const std::string& where, size_t exactly = SIZE_MAX) {
    if (!j.is_array()) fail(where, "expected an array");
    if (exactly != SIZE_MAX && j.size() != exactly)
        fail(where, "expected exactly " + std::to_string(exactly) + " entries");
    return j;
}

// Rejects keys the format does not know, so that a misspelt field is not silently dropped.
void checkKeys(const json& j, const std::string& where, std::initializer_list<const char*> keys) {
    if (!j.is_object()) fail(where, "expected an object");
    std::set<std::string> known(keys.begin(), keys.end());
    known.insert({"name", "note"}); // free text for readers, not part of the file
    for (const auto& [key, value] : j.items())
        if (!known.contains(key)) fail(where, "unknown field \"" + key + "\"");
}

template <typename T, typename F>
void readIf(const json& j, const char* key, T& into, F read, const std::string& where) {
    if (j.contains(key)) into = read(j.at(key), where + "." + key);
}

std::vector<uint32_t> words(const json& j, const std::string& where) {
    std::vector<uint32_t> out;
    array(j, where);
    for (size_t i = 0; i < j.size(); ++i) {
        const std::string at = where + "[" + std::to_string(i) + "]";
        const json& item = j[i];
        if (!item.is_object()) {
            out.push_back(u32(item, at));
            continue;
        }
        // A run: `count` words from `first`, each `step` (default 1) above the one before.
        checkKeys(item, at, {"first", "count", "step"});
        if (!item.contains("first") || !item.contains("count"))
            fail(at, "a run needs \"first\" and \"count\"");
        const uint64_t first = u32(item["first"], at + ".first");
        const uint64_t count = u32(item["count"], at + ".count");
        const uint64_t step = item.contains("step") ? u32(item["step"], at + ".step") : 1;
        if (count > 0 && first + (count - 1) * step > UINT32_MAX)
            fail(at, "the run passes 0xFFFFFFFF");
        for (uint64_t k = 0; k < count; ++k) out.push_back(static_cast<uint32_t>(first + k * step));
    }
    return out;
}

std::vector<std::pair<uint32_t, std::u16string>> namePairs(const json& j,
                                                           const std::string& where) {
    std::vector<std::pair<uint32_t, std::u16string>> out;
    array(j, where);
    for (size_t i = 0; i < j.size(); ++i) {
        const std::string at = where + "[" + std::to_string(i) + "]";
        array(j[i], at, 2);
        out.emplace_back(u32(j[i][0], at + "[0]"), text(j[i][1], at + "[1]"));
    }
    return out;
}

std::vector<NameSet> nameSets(const json& j, const std::string& where, const char* listKey) {
    std::vector<NameSet> out;
    array(j, where);
    for (size_t i = 0; i < j.size(); ++i) {
        const std::string at = where + "[" + std::to_string(i) + "]";
        checkKeys(j[i], at, {"language", listKey});
        NameSet set;
        readIf(j[i], "language", set.language, text, at);
        readIf(j[i], listKey, set.names, namePairs, at);
        out.push_back(std::move(set));
    }
    return out;
}

template <size_t N>
std::array<std::u16string, N> texts(const json& j, const std::string& where) {
    array(j, where, N);
    std::array<std::u16string, N> out;
    for (size_t i = 0; i < N; ++i) out[i] = text(j[i], where + "[" + std::to_string(i) + "]");
    return out;
}

Layout layoutFromJson(const json& j, const std::string& where) {
    checkKeys(j, where,
              {"typeCode", "words", "valueFlags", "bandNameBase1", "bandNameBase2", "bandNameBase3",
               "reserved", "statBlocks", "reservedReal1", "reservedList", "reservedReal2", "texts",
               "recordSize", "wideColumns", "reserved6", "averagingNames"});
    if (!j.contains("typeCode")) fail(where, "a layout needs \"typeCode\"");
    Layout l;
    l.typeCode = u32(j["typeCode"], where + ".typeCode");
    readIf(j, "words", l.words, words, where);
    if (j.contains("valueFlags")) {
        std::vector<uint16_t> flags;
        const std::string at = where + ".valueFlags";
        array(j["valueFlags"], at);
        for (size_t i = 0; i < j["valueFlags"].size(); ++i)
            flags.push_back(u16(j["valueFlags"][i], at + "[" + std::to_string(i) + "]"));
        l.valueFlags = std::move(flags);
    }
    readIf(j, "bandNameBase1", l.bandNameBase1, u32, where);
    if (j.contains("bandNameBase2"))
        l.bandNameBase2 = u32(j["bandNameBase2"], where + ".bandNameBase2");
    readIf(j, "bandNameBase3", l.bandNameBase3, u32, where);
    if (j.contains("reserved")) {
        array(j["reserved"], where + ".reserved", 3);
        for (size_t i = 0; i < 3; ++i) l.reserved[i] = u32(j["reserved"][i], where + ".reserved");
    }
    readIf(j, "statBlocks", l.statBlocks, u32, where);
    readIf(j, "reservedReal1", l.reservedReal1, f64, where);
    readIf(j, "reservedList", l.reservedList, words, where);
    readIf(j, "reservedReal2", l.reservedReal2, f64, where);
    if (j.contains("texts")) {
        const std::string at = where + ".texts";
        array(j["texts"], at);
        for (size_t i = 0; i < j["texts"].size(); ++i) {
            const std::string s = at + "[" + std::to_string(i) + "]";
            checkKeys(j["texts"][i], s, {"language", "texts"});
            TextSet t;
            readIf(j["texts"][i], "language", t.language, text, s);
            readIf(j["texts"][i], "texts", t.texts, texts<6>, s);
            l.texts.push_back(std::move(t));
        }
    }
    if (j.contains("recordSize")) l.recordSize = u32(j["recordSize"], where + ".recordSize");
    readIf(j, "wideColumns", l.wideColumns, u32, where);
    readIf(j, "reserved6", l.reserved6, u32, where);
    if (j.contains("averagingNames"))
        l.averagingNames = nameSets(j["averagingNames"], where + ".averagingNames", "names");
    return l;
}

ChannelNameSet channelSetFromJson(const json& j, const std::string& where) {
    checkKeys(j, where, {"key", "blocks"});
    ChannelNameSet set;
    readIf(j, "key", set.key, u32, where);
    if (j.contains("blocks")) {
        const std::string at = where + ".blocks";
        array(j["blocks"], at);
        for (size_t i = 0; i < j["blocks"].size(); ++i) {
            const json& b = j["blocks"][i];
            const std::string s = at + "[" + std::to_string(i) + "]";
            checkKeys(b, s, {"language", "title", "captions", "channelNames"});
            ChannelBlock block;
            readIf(b, "language", block.language, text, s);
            readIf(b, "title", block.title, text, s);
            readIf(b, "captions", block.captions, texts<4>, s);
            readIf(b, "channelNames", block.channelNames, texts<4>, s);
            set.blocks.push_back(std::move(block));
        }
    }
    return set;
}

SignalLayout signalFromJson(const json& j, const std::string& where) {
    checkKeys(j, where,
              {"typeCode", "samplingRateHigh", "samplingRateNormal", "streamConfigHigh",
               "streamConfigNormal", "unitText", "fallbackFactor", "initialFactor", "rangeFactors",
               "trailerWords"});
    if (!j.contains("typeCode")) fail(where, "a signal layout needs \"typeCode\"");
    SignalLayout s;
    s.typeCode = u32(j["typeCode"], where + ".typeCode");
    readIf(j, "samplingRateHigh", s.samplingRateHigh, f64, where);
    readIf(j, "samplingRateNormal", s.samplingRateNormal, f64, where);
    readIf(j, "streamConfigHigh", s.streamConfigHigh, u32, where);
    readIf(j, "streamConfigNormal", s.streamConfigNormal, u32, where);
    if (j.contains("unitText")) {
        const std::u16string unit = text(j["unitText"], where + ".unitText");
        if (unit.size() > 16) fail(where + ".unitText", "at most 16 UTF-16 units");
        std::copy(unit.begin(), unit.end(), s.unitText.begin());
    }
    readIf(j, "fallbackFactor", s.fallbackFactor, f64, where);
    readIf(j, "initialFactor", s.initialFactor, f64, where);
    if (j.contains("rangeFactors")) {
        array(j["rangeFactors"], where + ".rangeFactors", 4);
        for (size_t i = 0; i < 4; ++i)
            s.rangeFactors[i] = f64(j["rangeFactors"][i], where + ".rangeFactors");
    }
    readIf(j, "trailerWords", s.trailerWords, words, where);
    return s;
}

Parameter parameterFromJson(const json& j, const std::string& where) {
    checkKeys(j, where, {"textA", "textB", "textC", "x", "y", "z"});
    Parameter p;
    readIf(j, "textA", p.textA, text, where);
    readIf(j, "textB", p.textB, text, where);
    readIf(j, "textC", p.textC, text, where);
    readIf(j, "x", p.x, u32, where);
    readIf(j, "y", p.y, u32, where);
    readIf(j, "z", p.z, u32, where);
    return p;
}

template <typename T, typename F>
std::vector<T> list(const json& j, const std::string& where, F read) {
    std::vector<T> out;
    array(j, where);
    for (size_t i = 0; i < j.size(); ++i)
        out.push_back(read(j[i], where + "[" + std::to_string(i) + "]"));
    return out;
}

// ---- writing ----

std::string hex(uint32_t v) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08" PRIX32, v);
    return buffer;
}

ojson textJson(const std::u16string& s) {
    if (validUtf16(s)) return utf8(s);
    ojson units = ojson::array();
    for (char16_t c : s) units.push_back(uint32_t(c));
    return units;
}

ojson realJson(double v) {
    if (std::isfinite(v)) return v;
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%016" PRIX64, std::bit_cast<uint64_t>(v));
    return std::string(buffer);
}

ojson wordsJson(const std::vector<uint32_t>& words) {
    ojson out = ojson::array();
    for (uint32_t w : words) out.push_back(hex(w));
    return out;
}

ojson namePairsJson(const std::vector<std::pair<uint32_t, std::u16string>>& pairs) {
    ojson out = ojson::array();
    for (const auto& [key, name] : pairs) out.push_back(ojson::array({key, textJson(name)}));
    return out;
}

ojson nameSetsJson(const std::vector<NameSet>& sets, const char* listKey) {
    ojson out = ojson::array();
    for (const NameSet& set : sets) {
        ojson s;
        s["language"] = textJson(set.language);
        s[listKey] = namePairsJson(set.names);
        out.push_back(std::move(s));
    }
    return out;
}

template <size_t N>
ojson textsJson(const std::array<std::u16string, N>& texts) {
    ojson out = ojson::array();
    for (const auto& t : texts) out.push_back(textJson(t));
    return out;
}

ojson unitTextJson(const std::array<char16_t, 16>& unit) {
    size_t length = 0;
    while (length < unit.size() && unit[length] != 0) ++length;
    bool zeroPadded = true;
    for (size_t i = length; i < unit.size(); ++i) zeroPadded = zeroPadded && unit[i] == 0;
    const std::u16string prefix(unit.data(), length);
    if (zeroPadded && validUtf16(prefix)) return utf8(prefix);
    ojson units = ojson::array();
    for (char16_t c : unit) units.push_back(uint32_t(c));
    return units;
}

} // namespace

Description descriptionFromJson(const json& j) {
    checkKeys(j, "source",
              {"version", "layouts", "channelNameSets", "bandNames", "signalLayouts",
               "parameterList", "parameters", "codePairs", "bandNameOverrides", "trailing"});
    Description d;
    readIf(j, "version", d.version, u32, std::string("source"));
    if (d.version > kMaxVersion) fail("source.version", "must be 0 to 13");
    if (j.contains("layouts")) d.layouts = list<Layout>(j["layouts"], "layouts", layoutFromJson);
    if (j.contains("channelNameSets"))
        d.channelNameSets =
            list<ChannelNameSet>(j["channelNameSets"], "channelNameSets", channelSetFromJson);
    if (j.contains("bandNames"))
        d.bandNames = list<std::u16string>(j["bandNames"], "bandNames", text);
    if (j.contains("signalLayouts"))
        d.signalLayouts = list<SignalLayout>(j["signalLayouts"], "signalLayouts", signalFromJson);
    if (j.contains("parameterList"))
        d.parameterList = list<Parameter>(j["parameterList"], "parameterList", parameterFromJson);
    if (j.contains("parameters")) {
        d.parameterBlocks = list<ParameterBlock>(
            j["parameters"], "parameters", [](const json& b, const std::string& at) {
                checkKeys(b, at, {"language", "items"});
                ParameterBlock block;
                readIf(b, "language", block.language, text, at);
                if (b.contains("items"))
                    block.items = list<Parameter>(b["items"], at + ".items", parameterFromJson);
                return block;
            });
    }
    if (j.contains("codePairs")) {
        d.codePairs = list<std::pair<uint32_t, uint32_t>>(
            j["codePairs"], "codePairs", [](const json& p, const std::string& at) {
                array(p, at, 2);
                return std::make_pair(u32(p[0], at + "[0]"), u32(p[1], at + "[1]"));
            });
    }
    if (j.contains("bandNameOverrides"))
        d.bandNameOverrides = nameSets(j["bandNameOverrides"], "bandNameOverrides", "items");
    if (j.contains("trailing")) {
        if (!j["trailing"].is_string()) fail("trailing", "expected a hexadecimal byte string");
        const std::string t = j["trailing"].get<std::string>();
        if (t.size() % 2) fail("trailing", "expected two hexadecimal digits per byte");
        for (size_t i = 0; i < t.size(); i += 2)
            d.trailing.push_back(uint8_t(parseHex("0x" + t.substr(i, 2), "trailing")));
    }
    return d;
}

void appendDescription(Description& into, Description more) {
    auto append = [](auto& a, auto& b) {
        a.insert(a.end(), std::make_move_iterator(b.begin()), std::make_move_iterator(b.end()));
    };
    append(into.layouts, more.layouts);
    append(into.channelNameSets, more.channelNameSets);
    append(into.bandNames, more.bandNames);
    append(into.signalLayouts, more.signalLayouts);
    append(into.parameterList, more.parameterList);
    append(into.parameterBlocks, more.parameterBlocks);
    append(into.codePairs, more.codePairs);
    append(into.bandNameOverrides, more.bandNameOverrides);
    append(into.trailing, more.trailing);
}

nlohmann::ordered_json descriptionToJson(const Description& d) {
    const uint32_t v = d.version;
    ojson out;
    out["version"] = v;

    ojson layouts = ojson::array();
    for (const Layout& l : d.layouts) {
        ojson j;
        j["typeCode"] = l.typeCode;
        j["words"] = wordsJson(l.words);
        // Flags of 0xFFFF, one per word, are what the compiler writes when none are given.
        if (l.valueFlags && *l.valueFlags != std::vector<uint16_t>(l.words.size(), 0xFFFF)) {
            ojson flags = ojson::array();
            for (uint16_t f : *l.valueFlags) flags.push_back(f);
            j["valueFlags"] = std::move(flags);
        }
        j["bandNameBase1"] = l.bandNameBase1;
        if (l.bandNameBase2) j["bandNameBase2"] = *l.bandNameBase2;
        j["bandNameBase3"] = l.bandNameBase3;
        if (l.reserved != std::array<uint32_t, 3>{}) j["reserved"] = l.reserved;
        j["statBlocks"] = l.statBlocks;
        j["reservedReal1"] = realJson(l.reservedReal1);
        if (!l.reservedList.empty()) j["reservedList"] = l.reservedList;
        j["reservedReal2"] = realJson(l.reservedReal2);
        ojson texts = ojson::array();
        for (const TextSet& t : l.texts) {
            ojson s;
            s["language"] = textJson(t.language);
            s["texts"] = textsJson(t.texts);
            texts.push_back(std::move(s));
        }
        j["texts"] = std::move(texts);
        if (l.recordSize) j["recordSize"] = *l.recordSize;
        if (v >= 3) j["wideColumns"] = l.wideColumns;
        if (v >= 13) j["reserved6"] = l.reserved6;
        j["averagingNames"] = nameSetsJson(l.averagingNames, "names");
        layouts.push_back(std::move(j));
    }
    out["layouts"] = std::move(layouts);

    ojson sets = ojson::array();
    for (const ChannelNameSet& set : d.channelNameSets) {
        ojson j;
        j["key"] = set.key;
        ojson blocks = ojson::array();
        for (const ChannelBlock& b : set.blocks) {
            ojson block;
            block["language"] = textJson(b.language);
            block["title"] = textJson(b.title);
            block["captions"] = textsJson(b.captions);
            if (v >= 7) block["channelNames"] = textsJson(b.channelNames);
            blocks.push_back(std::move(block));
        }
        j["blocks"] = std::move(blocks);
        sets.push_back(std::move(j));
    }
    out["channelNameSets"] = std::move(sets);

    ojson bandNames = ojson::array();
    for (const auto& n : d.bandNames) bandNames.push_back(textJson(n));
    out["bandNames"] = std::move(bandNames);

    ojson signals = ojson::array();
    for (const SignalLayout& s : d.signalLayouts) {
        ojson j;
        j["typeCode"] = s.typeCode;
        j["samplingRateHigh"] = realJson(s.samplingRateHigh);
        j["samplingRateNormal"] = realJson(s.samplingRateNormal);
        j["streamConfigHigh"] = hex(s.streamConfigHigh);
        j["streamConfigNormal"] = hex(s.streamConfigNormal);
        j["unitText"] = unitTextJson(s.unitText);
        j["fallbackFactor"] = realJson(s.fallbackFactor);
        j["initialFactor"] = realJson(s.initialFactor);
        ojson ranges = ojson::array();
        for (double r : s.rangeFactors) ranges.push_back(realJson(r));
        j["rangeFactors"] = std::move(ranges);
        j["trailerWords"] = wordsJson(s.trailerWords);
        signals.push_back(std::move(j));
    }
    out["signalLayouts"] = std::move(signals);

    auto parameterJson = [v](const Parameter& p, bool withLanguageFields) {
        ojson j;
        if (withLanguageFields && v >= 8) j["textA"] = textJson(p.textA);
        j["textB"] = textJson(p.textB);
        if (withLanguageFields && v >= 9) j["textC"] = textJson(p.textC);
        j["x"] = p.x;
        j["y"] = p.y;
        j["z"] = p.z;
        return j;
    };
    if (v <= 4) {
        ojson items = ojson::array();
        for (const Parameter& p : d.parameterList) items.push_back(parameterJson(p, false));
        out["parameterList"] = std::move(items);
    } else {
        ojson blocks = ojson::array();
        for (const ParameterBlock& b : d.parameterBlocks) {
            ojson block;
            block["language"] = textJson(b.language);
            ojson items = ojson::array();
            for (const Parameter& p : b.items) items.push_back(parameterJson(p, true));
            block["items"] = std::move(items);
            blocks.push_back(std::move(block));
        }
        out["parameters"] = std::move(blocks);
    }
    if (v >= 6) {
        ojson pairs = ojson::array();
        for (const auto& [key, value] : d.codePairs) pairs.push_back(ojson::array({key, value}));
        out["codePairs"] = std::move(pairs);
    }
    if (v >= 12) out["bandNameOverrides"] = nameSetsJson(d.bandNameOverrides, "items");
    if (!d.trailing.empty()) {
        std::string t;
        char buffer[3];
        for (uint8_t b : d.trailing) {
            std::snprintf(buffer, sizeof buffer, "%02X", b);
            t += buffer;
        }
        out["trailing"] = t;
    }
    return out;
}

} // namespace zsdesc

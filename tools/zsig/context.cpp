// The frame the commands share: the library, loaded once, and the command table.
#include "commands.h"
#include "platform/text.h"

#include <climits>
#include <exception>

namespace zsig {

std::string utf8(const ZS_WCHAR* text) {
    std::u16string s;
    for (; text && *text; ++text) s += static_cast<char16_t>(*text);
    return zs::platform::utf8FromUtf16(s);
}

std::u16string utf16(const std::string& text) {
    return zs::platform::utf16FromUtf8(text);
}

int32_t parseIndex(const std::string& text, const char* what) {
    try {
        size_t used = 0;
        const long long v = std::stoll(text, &used, 0);
        if (used == text.size() && v >= INT32_MIN && v <= INT32_MAX) return static_cast<int32_t>(v);
    } catch (const std::exception&) {
    }
    throw UsageError(std::string(what) + " takes a number, not '" + text + "'");
}

const zs::host::Library& Context::library() {
    if (!library_) {
        try {
            library_ = std::make_unique<zs::host::Library>(libraryPath);
        } catch (const std::exception& e) {
            throw Failure(e.what());
        }
    }
    return *library_;
}

CLI::App* Context::command(CLI::App& app, const std::string& name, const std::string& description,
                           std::function<int(Context&)> run) {
    CLI::App* sub = app.add_subcommand(name, description);
    commands_.emplace_back(sub, std::move(run));
    return sub;
}

int Context::runChosen(CLI::App& app) {
    for (auto& [sub, run] : commands_)
        if (app.got_subcommand(sub)) return run(*this);
    throw UsageError("a command is needed");
}

} // namespace zsig

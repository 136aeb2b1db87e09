#pragma once
// The frame every zsig command plugs into: a command registers itself with a name, a
// one-line description, its options (CLI11) and a run function. Exit status: 0 success,
// 1 failure, 2 usage; messages go to stderr.
#include "hostlib/zs_host.h"

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zsig {

// A command that cannot do its work: "zsig: <message>" on stderr, exit status 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A command line that makes no sense: the message and a hint to --help, exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Context {
  public:
    std::string libraryPath; // --library; empty: by name, the program's folder first

    // The library, loaded on first use (commands that do not need it never load it).
    const zs::host::Library& library();

    // Adds a command; `run` gives the exit status. Returns the command for its options.
    CLI::App* command(CLI::App& app, const std::string& name, const std::string& description,
                      std::function<int(Context&)> run);

    // Runs the command the parsed line chose.
    int runChosen(CLI::App& app);

  private:
    std::unique_ptr<zs::host::Library> library_;
    std::vector<std::pair<CLI::App*, std::function<int(Context&)>>> commands_;
};

// One line per command; each lives in its own file.
void addVersionCommand(CLI::App& app, Context& context);
void addFileCommand(CLI::App& app, Context& context);
void addDescCommand(CLI::App& app, Context& context);
void addDemoCommand(CLI::App& app, Context& context);
void addGenCommand(CLI::App& app, Context& context);
void addListCommand(CLI::App& app, Context& context);
void addWatchCommand(CLI::App& app, Context& context);
void addSpectrumCommand(CLI::App& app, Context& context);

// UTF-16 text from the library as UTF-8 for the terminal.
std::string utf8(const ZS_WCHAR* text);
// UTF-8 text as the library's UTF-16; the string must outlive the pointer given to the library.
std::u16string utf16(const std::string& text);
inline const ZS_WCHAR* wideText(const std::u16string& text) {
    return reinterpret_cast<const ZS_WCHAR*>(text.c_str());
}

// Parses a device index / number argument, with a usage error naming `what` when it is not.
int32_t parseIndex(const std::string& text, const char* what);

} // namespace zsig

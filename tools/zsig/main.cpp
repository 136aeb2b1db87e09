// zsig: a command-line host program on the library's exports, loading it by name.
#include "commands.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace {

// The library reads ZS_TRACE as it loads, which the commands do only after the command line is
// read.
void traceToStandardError() {
#ifdef _WIN32
    SetEnvironmentVariableA("ZS_TRACE", "1");
#else
    setenv("ZS_TRACE", "1", 1);
#endif
}

} // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // Lines end in LF on standard output as in files, so exports are the same bytes everywhere.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    CLI::App app{"zsig: instruments, recorded files and generators through the ZentrelSignal "
                 "library"};
    app.name("zsig");
    app.require_subcommand(0, 1);
    zsig::Context context;
    app.add_option("--library", context.libraryPath,
                   "Load the library from this path instead of by name");
    bool trace = false;
    app.add_flag("--trace", trace,
                 "Trace the library on stderr: calls and results, identification stages, links "
                 "(as ZS_TRACE=1 does)");
    // Every command registers itself in its own file.
    zsig::addVersionCommand(app, context);
    zsig::addFileCommand(app, context);
    zsig::addDescCommand(app, context);
    zsig::addDemoCommand(app, context);
    zsig::addGenCommand(app, context);
    zsig::addListCommand(app, context);
    zsig::addWatchCommand(app, context);
    zsig::addSpectrumCommand(app, context);

    try {
        app.parse(argc, argv);
        if (trace) traceToStandardError();
        if (app.get_subcommands().empty()) {
            std::fputs(app.help().c_str(), stderr);
            return 2;
        }
        return context.runChosen(app);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError& e) {
        // CLI11 reports help for a command as a parse error of that command.
        if (e.get_exit_code() == 0) {
            std::fputs(app.help().c_str(), stdout);
            return 0;
        }
        std::fprintf(stderr, "zsig: %s (see zsig --help)\n", e.what());
        return 2;
    } catch (const zsig::UsageError& e) {
        std::fprintf(stderr, "zsig: %s (see zsig --help)\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zsig: %s\n", e.what());
        return 1;
    }
}

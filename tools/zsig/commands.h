#pragma once
#include "hostlib/zs_host.h"

#include <string>
#include <vector>

namespace zsig {

struct Options {
    std::string command;
    std::vector<std::string> args;
    std::string libraryPath;
    bool csv = false;
    bool json = false;
    long record = -1; // -1: every record
    size_t limit = 0; // values shown per record in the table; 0: all
};

int runDemo(const zs::host::Library& lib, const Options& options);
int runFile(const zs::host::Library& lib, const Options& options);
// zsig gen ...: its own arguments (after "gen"); loads the library itself.
int runGen(int argc, char** argv);
// The generator step of the demo.
int runGenDemo(const zs::host::Library& lib);

// UTF-16 text from the library as UTF-8 for the terminal.
std::string utf8(const ZS_WCHAR* text);

} // namespace zsig

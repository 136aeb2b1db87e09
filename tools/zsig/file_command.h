#pragma once
#include "commands.h"

#include <string>

namespace zsig {

struct FileExport {
    enum Format { Table, Csv, Json };
    std::string path;
    Format format = Table;
    long record = -1;   // -1: every record
    size_t limit = 0;   // values shown per record in the table; 0: all
    std::string output; // empty: standard output
};

// Writes a recorded file's values; throws Failure when it cannot.
int exportFile(Context& context, const FileExport& options);

} // namespace zsig

// Demo step: a recorded sample file, first as a table, then exported to CSV with exact values
// and record times.
#include "demo.h"
#include "file_command.h"

#include <cstdio>
#include <fstream>
#include <string>

namespace zsig {

int demoRecordedFile(Context& context, const DemoEnv& env) {
    const auto sample = env.programDir / "samples" / "sample-current.bin";
    if (!std::filesystem::exists(sample)) throw Failure("no sample file at " + sample.string());

    std::printf("Record 0 of %s, through K427_OpenFile / K427_SetToRecord / K427_GetData:\n",
                sample.filename().string().c_str());
    FileExport table;
    table.path = sample.string();
    table.record = 0;
    table.limit = 8;
    std::fflush(stdout);
    exportFile(context, table);

    FileExport csv;
    csv.path = sample.string();
    csv.format = FileExport::Csv;
    csv.output = (env.outputDir / "sample-current.csv").string();
    exportFile(context, csv);
    std::ifstream in(csv.output);
    std::string line;
    size_t lines = 0;
    std::printf("\nEvery record as CSV (exact values, ISO 8601 times) in %s:\n",
                csv.output.c_str());
    while (std::getline(in, line)) {
        if (lines < 4) std::printf("  %s\n", line.c_str());
        ++lines;
    }
    std::printf("  ... %zu rows\n", lines > 0 ? lines - 1 : 0);
    return 0;
}

} // namespace zsig

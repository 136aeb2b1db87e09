// Stepping through a large recorded file through the exports, in records and bytes per
// second, against reading the same file raw in records of the same size.
#include "bench_main.h"
#include "description_json.h"
#include "frame/library.h"
#include "sample_files.h"
#include "zentrel_signal.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

namespace {

constexpr int kRecords = 20000;

struct LargeFile {
    LargeFile() {
        std::ifstream in(ZS_REFERENCE_SOURCE);
        const auto description = zsdesc::descriptionFromJson(nlohmann::json::parse(in));
        path = std::filesystem::temp_directory_path() / "zs-bench-recorded.bin";
        std::ofstream out(path, std::ios::binary);
        for (int r = 0; r < kRecords; ++r) {
            const auto record = zs::sim::sampleRecord(description, zs::sim::kSampleCurrent, r);
            recordSize = record.size();
            out.write(reinterpret_cast<const char*>(record.data()),
                      static_cast<std::streamsize>(record.size()));
        }
    }
    ~LargeFile() {
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
    std::filesystem::path path;
    size_t recordSize = 0;
};

LargeFile& largeFile() {
    static LargeFile f;
    return f;
}

} // namespace

static void BM_StepThroughFile(benchmark::State& state) {
    auto& f = largeFile();
    zs::frame::libraryLoad(); // reads TeleDescFile.bin beside the benchmark
    const std::u16string path = f.path.u16string();
    const int32_t id = K427_OpenFile(reinterpret_cast<const ZS_WCHAR*>(path.c_str()));
    if (id < 256) state.SkipWithError("the file does not open (TeleDescFile.bin missing?)");
    int32_t record = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(K427_SetToRecord(id, record));
        if (++record == kRecords) record = 0;
    }
    K427_CloseFile(id);
    zs::frame::libraryUnload();
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(f.recordSize));
}
BENCHMARK(BM_StepThroughFile);

static void BM_ReadFileRaw(benchmark::State& state) {
    auto& f = largeFile();
    std::FILE* file = std::fopen(f.path.string().c_str(), "rb");
    std::vector<uint8_t> buffer(f.recordSize);
    int32_t record = 0;
    for (auto _ : state) {
        std::fseek(file, static_cast<long>(record * f.recordSize), SEEK_SET);
        benchmark::DoNotOptimize(std::fread(buffer.data(), 1, buffer.size(), file));
        if (++record == kRecords) record = 0;
    }
    std::fclose(file);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(f.recordSize));
}
BENCHMARK(BM_ReadFileRaw);

int main(int argc, char** argv) {
    using zs::bench::Comparison;
    return zs::bench::runBenchmarks(
        argc, argv, {{"BM_StepThroughFile", "BM_ReadFileRaw", Comparison::ThroughputAtLeast, 0.5}});
}

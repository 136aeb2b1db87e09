// Writes the recorded sample files from the description source(s) given on the command line
// into the folder given last.
#include "description_json.h"
#include "sample_files.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: zs_make_samples SOURCE.json... OUT_DIR\n");
        return 2;
    }
    try {
        zsdesc::Description description;
        for (int i = 1; i < argc - 1; ++i) {
            std::ifstream in(std::filesystem::u8path(argv[i]));
            if (!in) throw std::runtime_error(std::string("cannot read ") + argv[i]);
            zsdesc::appendDescription(description,
                                      zsdesc::descriptionFromJson(nlohmann::json::parse(in)));
        }
        const auto dir = std::filesystem::u8path(argv[argc - 1]);
        std::filesystem::create_directories(dir);
        for (const auto* file : {&zs::sim::kSampleCurrent, &zs::sim::kSampleOlder}) {
            const auto bytes = zs::sim::sampleFileBytes(description, *file);
            std::ofstream out(dir / file->fileName, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::streamsize>(bytes.size()));
            if (!out) throw std::runtime_error(std::string("cannot write ") + file->fileName);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zs_make_samples: %s\n", e.what());
        return 1;
    }
}

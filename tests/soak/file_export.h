#pragma once
// A host exporting a recorded file over and over on a thread of its own, through the file
// exports, while the instruments stream: every value with its labels and the record's time,
// written as CSV to a file. Every round must write the same bytes as the first.
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

namespace zs::soak {

class ExportLoop {
  public:
    // Starts exporting `recorded` into `output` at once, a round every `pauseMs`.
    ExportLoop(std::filesystem::path recorded, std::filesystem::path output, uint32_t pauseMs);
    ~ExportLoop() { stop(); }
    ExportLoop(const ExportLoop&) = delete;
    ExportLoop& operator=(const ExportLoop&) = delete;
    void stop();

    struct Counts {
        uint64_t rounds = 0;
        uint64_t failed = 0;    // the file could not be opened, read or written
        uint64_t different = 0; // bytes unlike the first round's
        uint64_t bytes = 0;     // of one round
        std::string firstFailure;
    };
    Counts counts() const;

  private:
    void run();
    // One export; false with `why` when it could not be made.
    bool exportOnce(std::string& csv, std::string& why) const;

    std::filesystem::path recorded_, output_;
    uint32_t pauseMs_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    Counts counts_;
    std::thread thread_;
};

} // namespace zs::soak

#pragma once
// A SCPI signal generator on the far side of a pseudo-terminal (Linux): the library opens
// path() as a serial port. It logs every command line it receives and answers "*IDN?" with
// its identity; it can also stay silent, answer without end, or vanish.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zs::sim {

class SimScpiSerial {
  public:
    enum class Reply {
        Identity, // "*IDN?" gets the identity and CR LF
        Silent,   // nothing is answered
        Endless,  // "*IDN?" gets bytes without a line end, for ever
    };

    explicit SimScpiSerial(std::string identity = "Zentrel Simulation,SG-20,ZS0001,1.0");
    ~SimScpiSerial();
    SimScpiSerial(const SimScpiSerial&) = delete;
    SimScpiSerial& operator=(const SimScpiSerial&) = delete;

    // False when no pseudo-terminal could be made.
    bool ready() const { return master_ >= 0; }
    // The serial-port path of the generator.
    const std::string& path() const { return path_; }

    void setReply(Reply reply);
    void setIdentity(std::string identity);

    // Every command line received (without its line end), in order.
    std::vector<std::string> commands() const;
    // Waits until at least `count` commands arrived; false after `timeoutMs`.
    bool waitForCommands(size_t count, uint32_t timeoutMs) const;
    // Waits until the command line `command` arrived; false after `timeoutMs`.
    bool waitForCommand(const std::string& command, uint32_t timeoutMs) const;
    // Every byte received, line ends included.
    std::string received() const;
    // The last command line, or empty.
    std::string lastCommand() const;
    void clearLog();

    // Closes the terminal: the port goes away under whoever holds it.
    void vanish();

  private:
    void run();
    void take(const char* bytes, size_t length);
    void answer(const std::string& command);
    void put(const std::string& bytes);

    int master_ = -1;
    int slave_ = -1; // held open so the line never hangs up between the library's opens
    std::string path_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> endless_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string identity_;
    Reply reply_ = Reply::Identity;
    std::string pending_;
    std::vector<std::string> log_;
    std::string raw_;
    std::thread thread_;
};

} // namespace zs::sim

#include "sim_scpi_serial.h"

#ifndef _WIN32
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>

namespace zs::sim {

#ifndef _WIN32

SimScpiSerial::SimScpiSerial(std::string identity) : identity_(std::move(identity)) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) return;
    char name[128];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        ::close(master_);
        master_ = -1;
        return;
    }
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (slave_ >= 0 && ::tcgetattr(slave_, &t) == 0) {
        ::cfmakeraw(&t); // no echo, no line editing, before the library ever opens it
        ::tcsetattr(slave_, TCSANOW, &t);
    }
    thread_ = std::thread([this] { run(); });
}

SimScpiSerial::~SimScpiSerial() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
}

void SimScpiSerial::vanish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
}

void SimScpiSerial::run() {
    char bytes[512];
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        const int r = ::poll(&p, 1, endless_ ? 2 : 10);
        if (r > 0 && (p.revents & POLLIN)) {
            const ssize_t n = ::read(master_, bytes, sizeof bytes);
            if (n > 0) take(bytes, static_cast<size_t>(n));
        }
        if (endless_) put(std::string(64, '7'));
    }
}

void SimScpiSerial::put(const std::string& bytes) {
    // A full terminal buffer drops the rest: the reader is not reading.
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

void SimScpiSerial::take(const char* bytes, size_t length) {
    {
        std::lock_guard lock(mutex_);
        raw_.append(bytes, length);
    }
    for (size_t i = 0; i < length; ++i) {
        const char c = bytes[i];
        if (c != '\r' && c != '\n') {
            pending_ += c;
            continue;
        }
        if (pending_.empty()) continue; // the LF of a CR LF pair
        const std::string command = pending_;
        pending_.clear();
        {
            std::lock_guard lock(mutex_);
            log_.push_back(command);
        }
        changed_.notify_all();
        answer(command);
    }
}

void SimScpiSerial::answer(const std::string& command) {
    std::string identity;
    Reply reply;
    {
        std::lock_guard lock(mutex_);
        identity = identity_;
        reply = reply_;
    }
    endless_ = false;
    if (command != "*IDN?") return;
    if (reply == Reply::Identity) put(identity + "\r\n");
    if (reply == Reply::Endless) endless_ = true;
}

#else

SimScpiSerial::SimScpiSerial(std::string identity) : identity_(std::move(identity)) {}
SimScpiSerial::~SimScpiSerial() = default;
void SimScpiSerial::vanish() {}
void SimScpiSerial::run() {}
void SimScpiSerial::put(const std::string&) {}
void SimScpiSerial::take(const char*, size_t) {}
void SimScpiSerial::answer(const std::string&) {}

#endif

void SimScpiSerial::setReply(Reply reply) {
    std::lock_guard lock(mutex_);
    reply_ = reply;
    if (reply != Reply::Endless) endless_ = false; // a generator that stops talking
}

void SimScpiSerial::setIdentity(std::string identity) {
    std::lock_guard lock(mutex_);
    identity_ = std::move(identity);
}

std::vector<std::string> SimScpiSerial::commands() const {
    std::lock_guard lock(mutex_);
    return log_;
}

bool SimScpiSerial::waitForCommands(size_t count, uint32_t timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return log_.size() >= count; });
}

bool SimScpiSerial::waitForCommand(const std::string& command, uint32_t timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return std::find(log_.begin(), log_.end(), command) != log_.end();
    });
}

std::string SimScpiSerial::received() const {
    std::lock_guard lock(mutex_);
    return raw_;
}

std::string SimScpiSerial::lastCommand() const {
    std::lock_guard lock(mutex_);
    return log_.empty() ? std::string() : log_.back();
}

void SimScpiSerial::clearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
    raw_.clear();
}

} // namespace zs::sim

#include "platform/serial_port.h"

#include "platform/clock.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace zs::platform {
namespace {

constexpr uint32_t kReadIntervalMs = 10;
constexpr uint32_t kReadTotalMs = 250;
constexpr uint32_t kWritePerByteMs = 1;
constexpr uint32_t kWriteTotalMs = 10;

// Waits until the descriptor is ready for `events`; 1 ready, 0 timed out, -1 failed or hung up.
int waitReady(int fd, short events, uint32_t timeoutMs) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int r = ::poll(&p, 1, static_cast<int>(timeoutMs));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) return 0;
        if (p.revents & events) return 1;
        return -1; // POLLHUP, POLLERR or POLLNVAL without data: the port is gone
    }
}

} // namespace

std::unique_ptr<SerialPort> SerialPort::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    termios t{};
    if (::tcgetattr(fd, &t) != 0) { // not a terminal
        ::close(fd);
        return nullptr;
    }
    // Nobody else may open the port while we hold it.
    ::ioctl(fd, TIOCEXCL);
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    t.c_cflag &= ~(CSIZE | PARENB | CRTSCTS);
    t.c_cflag |= CS8 | CSTOPB | CLOCAL | CREAD;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &t);
    // What the line received before we held it answers nothing we are about to ask.
    ::tcflush(fd, TCIFLUSH);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &lines); // pseudo-terminals have no modem lines; that is harmless
    return std::unique_ptr<SerialPort>(new SerialPort(fd));
}

SerialPort::~SerialPort() {
    const int fd = static_cast<int>(handle_);
    ::ioctl(fd, TIOCNXCL); // the flag outlives us while the other side keeps the line open
    ::close(fd);
}

bool SerialPort::write(const void* data, uint32_t length) {
    const int fd = static_cast<int>(handle_);
    const auto* p = static_cast<const uint8_t*>(data);
    const uint32_t limit = kWritePerByteMs * length + kWriteTotalMs;
    const uint32_t start = tickMs();
    uint32_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, p + done, length - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        const uint32_t elapsed = tickMs() - start;
        if (elapsed >= limit || waitReady(fd, POLLOUT, limit - elapsed) <= 0) return false;
    }
    return true;
}

int32_t SerialPort::read(void* buffer, uint32_t capacity) {
    const int fd = static_cast<int>(handle_);
    auto* p = static_cast<uint8_t*>(buffer);
    const uint32_t start = tickMs();
    uint32_t got = 0;
    while (got < capacity) {
        const uint32_t elapsed = tickMs() - start;
        if (elapsed >= kReadTotalMs) break;
        uint32_t wait = kReadTotalMs - elapsed;
        if (got > 0) wait = std::min(wait, kReadIntervalMs);
        const int ready = waitReady(fd, POLLIN, wait);
        if (ready == 0) break;
        if (ready < 0) return got ? static_cast<int32_t>(got) : -1;
        const ssize_t n = ::read(fd, p + got, capacity - got);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return got ? static_cast<int32_t>(got) : -1;
        }
    }
    return static_cast<int32_t>(got);
}

std::vector<std::string> systemSerialCandidates() {
    std::vector<std::string> ports;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("ttyS") || name.starts_with("ttyUSB") || name.starts_with("ttyACM"))
            ports.push_back(entry.path().string());
    }
    // Ports under other names (Bluetooth, on-board UARTs, a pseudo-terminal of a virtual
    // port): the user names them, separated by ':'. Only "/dev/" paths, as generator names
    // must be.
    if (const char* extra = std::getenv(kExtraPortsVariable)) {
        std::string_view rest = extra;
        while (!rest.empty()) {
            const size_t end = std::min(rest.find(':'), rest.size());
            const std::string_view path = rest.substr(0, end);
            if (path.starts_with("/dev/") && path.size() > 5) ports.emplace_back(path);
            rest.remove_prefix(std::min(end + 1, rest.size()));
        }
    }
    // Discovery lists answering ports in path order; trying them in that order too keeps
    // the scan's traffic predictable.
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    if (ports.size() > 256) ports.resize(256);
    return ports;
}

} // namespace zs::platform

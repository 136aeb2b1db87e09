#include "platform/sockets.h"

#include "platform/clock.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zs::platform {
namespace {

int fd(SocketHandle s) {
    return static_cast<int>(s);
}

sockaddr_in toNative(const SocketAddress& a) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(a.port);
    sa.sin_addr.s_addr = htonl(a.address);
    return sa;
}

SocketAddress fromNative(const sockaddr_in& sa) {
    return SocketAddress{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
}

SocketHandle open(int type) {
    const int s = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    return s < 0 ? kNoSocket : s;
}

// Remaining milliseconds of a time-limited wait, as poll takes them (-1: no limit).
int remaining(uint32_t start, uint32_t timeoutMs) {
    if (timeoutMs == kWaitInfinite) return -1;
    const uint32_t elapsed = tickMs() - start;
    return elapsed >= timeoutMs ? 0 : static_cast<int>(timeoutMs - elapsed);
}

// Polls one socket for `events`, together with the stop event. 1: socket ready, 0: time-out,
// 2: stop. The socket wins a tie, as the transfer does on Windows.
int pollWithStop(int s, short events, Event* stop, uint32_t start, uint32_t timeoutMs) {
    for (;;) {
        pollfd fds[2] = {{s, events, 0}, {stop ? stop->native() : -1, POLLIN, 0}};
        const int wait = remaining(start, timeoutMs);
        const int n = ::poll(fds, stop ? 2 : 1, wait);
        if (n < 0) {
            if (errno == EINTR) continue;
            return 1; // let the transfer itself report the error
        }
        if (n > 0) {
            if (fds[0].revents) return 1;
            if (stop && (fds[1].revents & POLLIN)) return 2;
        }
        if (wait == 0) return 0;
    }
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

} // namespace

SocketHandle openTcpSocket() {
    return open(SOCK_STREAM);
}
SocketHandle openUdpSocket() {
    return open(SOCK_DGRAM);
}

void closeSocket(SocketHandle socket) {
    if (socket != kNoSocket) ::close(fd(socket));
}

bool bindSocket(SocketHandle socket, const SocketAddress& local) {
    // Reuse lets a fixed TCP port be bound while old connections linger in TIME_WAIT. For a
    // UDP socket or a port the system chooses it would let the port be shared with another
    // socket that asked for reuse, and datagrams could go to either.
    int type = 0;
    socklen_t typeLength = sizeof type;
    if (local.port != 0 && ::getsockopt(fd(socket), SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 &&
        type == SOCK_STREAM) {
        const int one = 1;
        ::setsockopt(fd(socket), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    const sockaddr_in sa = toNative(local);
    return ::bind(fd(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool listenSocket(SocketHandle socket, int backlog) {
    return ::listen(fd(socket), backlog) == 0;
}

bool localAddress(SocketHandle socket, SocketAddress& out) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd(socket), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return false;
    out = fromNative(sa);
    return true;
}

SocketHandle acceptSocket(SocketHandle listener, uint32_t timeoutMs) {
    if (pollWithStop(fd(listener), POLLIN, nullptr, tickMs(), timeoutMs) != 1) return kNoSocket;
    const int s = ::accept4(fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
    return s < 0 ? kNoSocket : s;
}

bool connectSocket(SocketHandle socket, const SocketAddress& peer, uint32_t timeoutMs) {
    const int s = fd(socket);
    const int flags = ::fcntl(s, F_GETFL);
    ::fcntl(s, F_SETFL, flags | O_NONBLOCK);
    const sockaddr_in sa = toNative(peer);
    bool ok = ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    if (!ok && errno == EINPROGRESS &&
        pollWithStop(s, POLLOUT, nullptr, tickMs(), timeoutMs) == 1) {
        int error = 0;
        socklen_t len = sizeof error;
        ok = ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
    }
    ::fcntl(s, F_SETFL, flags);
    return ok;
}

bool setSendBufferSize(SocketHandle socket, int bytes) {
    return ::setsockopt(fd(socket), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

bool setReceiveBufferSize(SocketHandle socket, int bytes) {
    return ::setsockopt(fd(socket), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

bool enableBroadcast(SocketHandle socket) {
    const int on = 1;
    return ::setsockopt(fd(socket), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

bool sendAll(SocketHandle socket, const void* data, size_t length) {
    auto p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = ::send(fd(socket), p, length, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool sendAllWithin(SocketHandle socket, const void* data, size_t length, Event* stop,
                   uint32_t timeoutMs) {
    auto p = static_cast<const uint8_t*>(data);
    const uint32_t start = tickMs();
    while (length > 0) {
        const ssize_t n = ::send(fd(socket), p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (!wouldBlock(errno)) return false;
            if (pollWithStop(fd(socket), POLLOUT, stop, start, timeoutMs) != 1) return false;
            continue;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool sendDatagramWithin(SocketHandle socket, const void* data, size_t length, Event* stop,
                        uint32_t timeoutMs) {
    if (sendAllWithin(socket, data, length, stop, timeoutMs)) return true;
    return errno == ECONNREFUSED && sendAllWithin(socket, data, length, stop, timeoutMs);
}

bool peerClosed(SocketHandle socket) {
    pollfd p{fd(socket), POLLIN, 0};
    if (::poll(&p, 1, 0) != 1) return false;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return true;
    uint8_t byte;
    ssize_t n;
    while ((n = ::recv(fd(socket), &byte, 1, MSG_PEEK | MSG_DONTWAIT)) < 0 && errno == EINTR) {
    }
    return n == 0 || (n < 0 && !wouldBlock(errno));
}

int receiveTimed(SocketHandle socket, void* buffer, size_t length, uint32_t timeoutMs) {
    if (pollWithStop(fd(socket), POLLIN, nullptr, tickMs(), timeoutMs) != 1) return 0;
    ssize_t n;
    while ((n = ::recv(fd(socket), buffer, length, MSG_DONTWAIT)) < 0 && errno == EINTR) {
    }
    if (n < 0) return wouldBlock(errno) ? 0 : -1;
    return static_cast<int>(n);
}

bool sendTo(SocketHandle socket, const void* data, size_t length, const SocketAddress& peer) {
    const sockaddr_in sa = toNative(peer);
    return ::sendto(fd(socket), data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa),
                    sizeof sa) == static_cast<ssize_t>(length);
}

int receiveFrom(SocketHandle socket, void* buffer, size_t length, SocketAddress& from,
                uint32_t timeoutMs) {
    if (pollWithStop(fd(socket), POLLIN, nullptr, tickMs(), timeoutMs) != 1) return 0;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const ssize_t n = ::recvfrom(fd(socket), buffer, length, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) return wouldBlock(errno) ? 0 : -1;
    from = fromNative(sa);
    return static_cast<int>(n);
}

// --- The transports' transfers -------------------------------------------------------------
//
// Nothing is left in the kernel: a post that cannot finish at once records its buffer in
// the overlapped record, and waitPosted finishes it when the socket becomes ready.

namespace {

// Sends what the socket takes now. Returns false on a hard error.
bool sendSome(Overlapped& io) {
    while (io.postedDone < io.postedLength) {
        const ssize_t n = ::send(fd(io.postedSocket), io.postedBuffer + io.postedDone,
                                 io.postedLength - io.postedDone, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return wouldBlock(errno);
        }
        io.postedDone += static_cast<uint32_t>(n);
    }
    return true;
}

// One receive attempt. 1: done (count in postedDone), 0: not ready, -1: error.
int receiveOnce(Overlapped& io) {
    ssize_t n;
    for (;;) {
        if (io.postedWithSender) {
            sockaddr_storage from{};
            socklen_t fromLength = sizeof from;
            n = ::recvfrom(fd(io.postedSocket), io.postedBuffer, io.postedLength, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n >= 0) {
                const size_t kept = std::min<size_t>(fromLength, sizeof io.postedFrom);
                std::memcpy(io.postedFrom, &from, kept);
                io.postedFromLength = static_cast<int32_t>(kept);
            }
        } else {
            n = ::recv(fd(io.postedSocket), io.postedBuffer, io.postedLength, MSG_DONTWAIT);
        }
        if (n >= 0 || errno != EINTR) break;
    }
    if (n < 0) return wouldBlock(errno) ? 0 : -1;
    io.postedDone = static_cast<uint32_t>(n);
    return 1;
}

// Marks the posted transfer finished; `failed` makes postedResult report failure.
void finish(Overlapped& io, bool failed) {
    io.posted = PostedIo::None;
    io.block.internal = failed ? 1u : 0u;
    io.block.internalHigh = failed ? 0u : io.postedDone;
}

IoStart postReceiveOnce(SocketHandle socket, uint8_t* buffer, uint32_t length, Overlapped& io,
                        uint32_t& count) {
    io.posted = PostedIo::Receive;
    io.postedSocket = socket;
    io.postedBuffer = buffer;
    io.postedLength = length;
    io.postedDone = 0;
    count = 0;
    const int r = receiveOnce(io);
    if (r == 0) return IoStart::Pending;
    io.posted = PostedIo::None;
    if (r < 0) return IoStart::Failed;
    count = io.postedDone;
    return IoStart::Done;
}

} // namespace

IoStart postSend(SocketHandle socket, const uint8_t* data, uint32_t length, Overlapped& io,
                 uint32_t& count) {
    io.posted = PostedIo::Send;
    io.postedSocket = socket;
    io.postedBuffer = const_cast<uint8_t*>(data);
    io.postedLength = length;
    io.postedDone = 0;
    count = 0;
    if (!sendSome(io)) {
        io.posted = PostedIo::None;
        return IoStart::Failed;
    }
    if (io.postedDone == length) {
        io.posted = PostedIo::None;
        count = length;
        return IoStart::Done;
    }
    return IoStart::Pending;
}

IoStart postReceive(SocketHandle socket, uint8_t* buffer, uint32_t length, Overlapped& io,
                    uint32_t& count) {
    io.postedWithSender = false;
    return postReceiveOnce(socket, buffer, length, io, count);
}

IoStart postReceiveFrom(SocketHandle socket, uint8_t* buffer, uint32_t length, Overlapped& io,
                        uint32_t& count) {
    io.postedWithSender = true;
    io.postedFromLength = 0;
    return postReceiveOnce(socket, buffer, length, io, count);
}

IoWait waitPosted(Overlapped& io, Event* stop, uint32_t timeoutMs) {
    const uint32_t start = tickMs();
    for (;;) {
        if (io.posted == PostedIo::None) return IoWait::Completed;
        const short events = io.posted == PostedIo::Send ? POLLOUT : POLLIN;
        const int r = pollWithStop(fd(io.postedSocket), events, stop, start, timeoutMs);
        if (r == 0) return IoWait::TimedOut;
        if (r == 2) return IoWait::Stopped;
        if (io.posted == PostedIo::Send) {
            if (!sendSome(io)) {
                finish(io, true);
                return IoWait::Completed;
            }
            if (io.postedDone == io.postedLength) {
                finish(io, false);
                return IoWait::Completed;
            }
        } else {
            const int got = receiveOnce(io);
            if (got != 0) {
                finish(io, got < 0);
                return IoWait::Completed;
            }
            // Readable but nothing to take (a dropped datagram): the receive stays posted.
        }
    }
}

bool postedResult(Overlapped& io, uint32_t& count) {
    if (io.posted != PostedIo::None || io.block.internal != 0) {
        count = 0;
        return false;
    }
    count = io.block.internalHigh;
    return true;
}

void settlePosted(Overlapped& io, uint32_t) {
    io.posted = PostedIo::None;
}

void cancelPosted(SocketHandle, Overlapped& io, uint32_t) {
    // Nothing is in the kernel: forgetting the buffer withdraws the receive.
    io.posted = PostedIo::None;
}

} // namespace zs::platform

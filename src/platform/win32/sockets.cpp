#include "platform/sockets.h"

#include "platform/clock.h"

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace zs::platform {
namespace {

SOCKET sock(SocketHandle s) {
    return static_cast<SOCKET>(s);
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

SocketHandle open(int type, int protocol) {
    // WSASocket with the overlapped flag, as socket() gives on Windows.
    const SOCKET s = ::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    return s == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(s);
}

// select() for one socket: 1 ready, 0 time-out, -1 error.
int selectOne(SocketHandle s, bool write, uint32_t timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(sock(s), &set);
    fd_set errors;
    FD_ZERO(&errors);
    FD_SET(sock(s), &errors);
    timeval tv{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
    const int n = ::select(0, write ? nullptr : &set, write ? &set : nullptr, &errors,
                           timeoutMs == kWaitInfinite ? nullptr : &tv);
    return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

OVERLAPPED* native(Overlapped& io) {
    return reinterpret_cast<OVERLAPPED*>(io.system());
}

} // namespace

SocketHandle openTcpSocket() {
    return open(SOCK_STREAM, IPPROTO_TCP);
}
SocketHandle openUdpSocket() {
    return open(SOCK_DGRAM, IPPROTO_UDP);
}

void closeSocket(SocketHandle socket) {
    if (socket != kNoSocket) ::closesocket(sock(socket));
}

bool bindSocket(SocketHandle socket, const SocketAddress& local) {
    const sockaddr_in sa = toNative(local);
    return ::bind(sock(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool listenSocket(SocketHandle socket, int backlog) {
    return ::listen(sock(socket), backlog) == 0;
}

bool localAddress(SocketHandle socket, SocketAddress& out) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (::getsockname(sock(socket), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return false;
    out = fromNative(sa);
    return true;
}

SocketHandle acceptSocket(SocketHandle listener, uint32_t timeoutMs) {
    if (selectOne(listener, false, timeoutMs) != 1) return kNoSocket;
    const SOCKET s = ::accept(sock(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(s);
}

bool connectSocket(SocketHandle socket, const SocketAddress& peer, uint32_t timeoutMs) {
    u_long on = 1;
    ::ioctlsocket(sock(socket), FIONBIO, &on);
    const sockaddr_in sa = toNative(peer);
    bool ok = ::connect(sock(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    if (!ok && ::WSAGetLastError() == WSAEWOULDBLOCK && selectOne(socket, true, timeoutMs) == 1) {
        int error = 0;
        int len = sizeof error;
        ok = ::getsockopt(sock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                          &len) == 0 &&
             error == 0;
    }
    u_long off = 0;
    ::ioctlsocket(sock(socket), FIONBIO, &off);
    return ok;
}

bool setSendBufferSize(SocketHandle socket, int bytes) {
    return ::setsockopt(sock(socket), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                        sizeof bytes) == 0;
}

bool setReceiveBufferSize(SocketHandle socket, int bytes) {
    return ::setsockopt(sock(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                        sizeof bytes) == 0;
}

bool enableBroadcast(SocketHandle socket) {
    const BOOL on = TRUE;
    return ::setsockopt(sock(socket), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on),
                        sizeof on) == 0;
}

bool sendAll(SocketHandle socket, const void* data, size_t length) {
    auto p = static_cast<const char*>(data);
    while (length > 0) {
        const int n = ::send(sock(socket), p, static_cast<int>(length), 0);
        if (n == SOCKET_ERROR) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool sendAllWithin(SocketHandle socket, const void* data, size_t length, Event* stop,
                   uint32_t timeoutMs) {
    // select() cannot wait on the stop event as well, so room is awaited in short slices.
    constexpr uint32_t kSliceMs = 20;
    auto p = static_cast<const char*>(data);
    const uint32_t start = tickMs();
    while (length > 0) {
        // Room that is there now is used even after a stop request, as elsewhere: only the
        // wait for room ends at a stop.
        for (uint32_t slice = 0;; slice = kSliceMs) {
            if (slice != 0 && stop && stop->wait(0)) return false;
            const uint32_t spent = tickMs() - start;
            if (slice != 0 && timeoutMs != kWaitInfinite && spent >= timeoutMs) return false;
            const uint32_t left = timeoutMs == kWaitInfinite ? slice : timeoutMs - spent;
            const int ready = selectOne(socket, true, left < slice ? left : slice);
            if (ready < 0) return false;
            if (ready > 0) break;
        }
        const int n = ::send(sock(socket), p, static_cast<int>(length), 0);
        if (n == SOCKET_ERROR) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool sendDatagramWithin(SocketHandle socket, const void* data, size_t length, Event* stop,
                        uint32_t timeoutMs) {
    if (sendAllWithin(socket, data, length, stop, timeoutMs)) return true;
    const int error = WSAGetLastError();
    return (error == WSAECONNRESET || error == WSAECONNREFUSED) &&
           sendAllWithin(socket, data, length, stop, timeoutMs);
}

bool peerClosed(SocketHandle socket) {
    if (selectOne(socket, false, 0) <= 0) return false;
    char byte;
    const int n = ::recv(sock(socket), &byte, 1, MSG_PEEK);
    return n == 0 || (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK);
}

int receiveTimed(SocketHandle socket, void* buffer, size_t length, uint32_t timeoutMs) {
    const int ready = selectOne(socket, false, timeoutMs);
    if (ready <= 0) return ready;
    const int n = ::recv(sock(socket), static_cast<char*>(buffer), static_cast<int>(length), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

bool sendTo(SocketHandle socket, const void* data, size_t length, const SocketAddress& peer) {
    const sockaddr_in sa = toNative(peer);
    return ::sendto(sock(socket), static_cast<const char*>(data), static_cast<int>(length), 0,
                    reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == static_cast<int>(length);
}

int receiveFrom(SocketHandle socket, void* buffer, size_t length, SocketAddress& from,
                uint32_t timeoutMs) {
    const int ready = selectOne(socket, false, timeoutMs);
    if (ready <= 0) return ready;
    sockaddr_in sa{};
    int len = sizeof sa;
    const int n = ::recvfrom(sock(socket), static_cast<char*>(buffer), static_cast<int>(length), 0,
                             reinterpret_cast<sockaddr*>(&sa), &len);
    if (n == SOCKET_ERROR) return -1;
    from = fromNative(sa);
    return n;
}

// --- The transports' transfers: Winsock overlapped I/O on the record's block -----------------

IoStart postSend(SocketHandle socket, const uint8_t* data, uint32_t length, Overlapped& io,
                 uint32_t& count) {
    io.ensureEvent();
    io.postedSocket = socket;
    io.posted = PostedIo::Send;
    WSABUF buf{length, reinterpret_cast<char*>(const_cast<uint8_t*>(data))};
    DWORD sent = 0;
    count = 0;
    if (::WSASend(sock(socket), &buf, 1, &sent, 0, native(io), nullptr) == 0) {
        io.posted = PostedIo::None;
        count = sent;
        return IoStart::Done;
    }
    if (::WSAGetLastError() == WSA_IO_PENDING) return IoStart::Pending;
    io.posted = PostedIo::None;
    return IoStart::Failed;
}

IoStart postReceive(SocketHandle socket, uint8_t* buffer, uint32_t length, Overlapped& io,
                    uint32_t& count) {
    io.ensureEvent();
    io.postedSocket = socket;
    io.posted = PostedIo::Receive;
    WSABUF buf{length, reinterpret_cast<char*>(buffer)};
    DWORD received = 0;
    DWORD flags = 0;
    count = 0;
    if (::WSARecv(sock(socket), &buf, 1, &received, &flags, native(io), nullptr) == 0) {
        io.posted = PostedIo::None;
        count = received;
        return IoStart::Done;
    }
    if (::WSAGetLastError() == WSA_IO_PENDING) return IoStart::Pending;
    io.posted = PostedIo::None;
    return IoStart::Failed;
}

IoStart postReceiveFrom(SocketHandle socket, uint8_t* buffer, uint32_t length, Overlapped& io,
                        uint32_t& count) {
    io.ensureEvent();
    io.postedSocket = socket;
    io.posted = PostedIo::Receive;
    io.postedWithSender = true;
    // The address and its length are written when the receive completes, so they live in
    // the record, not on this stack.
    io.postedFromLength = static_cast<int32_t>(sizeof io.postedFrom);
    io.postedFlags = 0;
    WSABUF buf{length, reinterpret_cast<char*>(buffer)};
    DWORD received = 0;
    count = 0;
    if (::WSARecvFrom(sock(socket), &buf, 1, &received, reinterpret_cast<DWORD*>(&io.postedFlags),
                      reinterpret_cast<sockaddr*>(io.postedFrom),
                      reinterpret_cast<INT*>(&io.postedFromLength), native(io), nullptr) == 0) {
        io.posted = PostedIo::None;
        count = received;
        return IoStart::Done;
    }
    if (::WSAGetLastError() == WSA_IO_PENDING) return IoStart::Pending;
    io.posted = PostedIo::None;
    return IoStart::Failed;
}

IoWait waitPosted(Overlapped& io, Event* stop, uint32_t timeoutMs) {
    Event& done = io.ensureEvent();
    const uint32_t start = tickMs();
    for (;;) {
        uint32_t wait = kWaitInfinite;
        if (timeoutMs != kWaitInfinite) {
            const uint32_t elapsed = tickMs() - start;
            wait = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
        }
        const int r = stop ? waitAny({&done, stop}, wait) : (done.wait(wait) ? 0 : kWaitTimedOut);
        if (r == 1) return IoWait::Stopped;
        // An earlier transfer that completed at once may have left the auto-reset event set:
        // only the block's own status says this transfer is over.
        if (HasOverlappedIoCompleted(native(io))) return IoWait::Completed;
        if (r == kWaitTimedOut) return IoWait::TimedOut;
    }
}

bool postedResult(Overlapped& io, uint32_t& count) {
    DWORD transferred = 0;
    DWORD flags = 0;
    const BOOL ok =
        ::WSAGetOverlappedResult(sock(io.postedSocket), native(io), &transferred, FALSE, &flags);
    count = ok ? transferred : 0;
    if (ok || HasOverlappedIoCompleted(native(io))) io.posted = PostedIo::None;
    return ok != FALSE;
}

void settlePosted(Overlapped& io, uint32_t timeoutMs) {
    if (io.posted == PostedIo::None) return;
    const uint32_t start = tickMs();
    // Closing the socket cancels the transfer; its status still lands in the block.
    while (!HasOverlappedIoCompleted(native(io)) && tickMs() - start < timeoutMs)
        if (io.ioEvent)
            io.ioEvent->wait(10);
        else
            sleepMs(10);
    io.posted = PostedIo::None;
}

void cancelPosted(SocketHandle socket, Overlapped& io, uint32_t timeoutMs) {
    if (io.posted == PostedIo::None) return;
    // The transfer's own socket: the caller's may be another one, or none.
    const SocketHandle owner = io.postedSocket != kNoSocket ? io.postedSocket : socket;
    CancelIoEx(reinterpret_cast<HANDLE>(sock(owner)), native(io));
    settlePosted(io, timeoutMs);
}

} // namespace zs::platform

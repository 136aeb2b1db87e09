#pragma once
#include "platform/sockets.h"

#include <gtest/gtest.h>

namespace zs::test {

// A connected TCP pair on the loopback interface: `near` is the library's side, `far` the
// simulated instrument's.
struct TcpPair {
    platform::SocketHandle near = platform::kNoSocket;
    platform::SocketHandle far = platform::kNoSocket;

    TcpPair() {
        using namespace platform;
        const SocketHandle listener = openTcpSocket();
        SocketAddress at{kLoopbackAddress, 0};
        if (listener == kNoSocket || !bindSocket(listener, at) || !listenSocket(listener, 1) ||
            !localAddress(listener, at)) {
            closeSocket(listener);
            return;
        }
        near = openTcpSocket();
        if (!connectSocket(near, at, 5000)) {
            closeSocket(near);
            near = kNoSocket;
        } else {
            far = acceptSocket(listener, 5000);
        }
        closeSocket(listener);
    }
    ~TcpPair() {
        platform::closeSocket(near);
        platform::closeSocket(far);
    }
    TcpPair(const TcpPair&) = delete;
    TcpPair& operator=(const TcpPair&) = delete;
    bool ok() const { return near != platform::kNoSocket && far != platform::kNoSocket; }
};

// Two UDP sockets on the loopback interface, each connected to the other.
struct UdpPair {
    platform::SocketHandle near = platform::openUdpSocket();
    platform::SocketHandle far = platform::openUdpSocket();
    bool connected = false;

    UdpPair() {
        using namespace platform;
        SocketAddress a{kLoopbackAddress, 0}, b{kLoopbackAddress, 0};
        connected = bindSocket(near, a) && bindSocket(far, b) && localAddress(near, a) &&
                    localAddress(far, b) && connectSocket(near, b, 1000) &&
                    connectSocket(far, a, 1000);
    }
    ~UdpPair() {
        platform::closeSocket(near);
        platform::closeSocket(far);
    }
    UdpPair(const UdpPair&) = delete;
    UdpPair& operator=(const UdpPair&) = delete;
    bool ok() const { return connected; }
};

// Reads exactly `n` bytes from the far side, waiting at most 5 s in all.
inline std::vector<uint8_t> readExactly(platform::SocketHandle s, size_t n) {
    std::vector<uint8_t> out(n);
    size_t got = 0;
    for (int tries = 0; got < n && tries < 50; ++tries) {
        const int r = platform::receiveTimed(s, out.data() + got, n - got, 100);
        if (r < 0) break;
        got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
}

} // namespace zs::test

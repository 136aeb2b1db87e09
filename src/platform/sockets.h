#pragma once
#include "platform/event.h"
#include "platform/overlapped.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zs::platform {

// Windows Sockets 2.2 start-up and clean-up; nothing to do elsewhere. Counted: every
// successful start-up is ended by one clean-up.
bool socketsStartup();
void socketsCleanup();

// Sockets started for as long as the object lives, for code outside the library's state (a
// simulated instrument in a test program) that may run before the library has used any.
class SocketsInUse {
  public:
    SocketsInUse() : started_(socketsStartup()) {}
    ~SocketsInUse() {
        if (started_) socketsCleanup();
    }
    SocketsInUse(const SocketsInUse&) = delete;
    SocketsInUse& operator=(const SocketsInUse&) = delete;

  private:
    bool started_;
};

// A socket: SOCKET on Windows, a file descriptor elsewhere; -1 (INVALID_SOCKET) for none.
using SocketHandle = intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

// IPv4 address and port in host byte order.
struct SocketAddress {
    uint32_t address = 0;
    uint16_t port = 0;
};
inline constexpr uint32_t kLoopbackAddress = 0x7F000001;

// Values as they lie in network byte order, for fields that keep that order.
inline uint16_t hostToNetwork16(uint16_t v) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    uint16_t out;
    std::memcpy(&out, bytes, sizeof out);
    return out;
}
inline uint32_t hostToNetwork32(uint32_t v) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    uint32_t out;
    std::memcpy(&out, bytes, sizeof out);
    return out;
}
// The same reordering brings them back.
inline uint16_t networkToHost16(uint16_t v) {
    return hostToNetwork16(v);
}
inline uint32_t networkToHost32(uint32_t v) {
    return hostToNetwork32(v);
}

SocketHandle openTcpSocket();
SocketHandle openUdpSocket();
void closeSocket(SocketHandle socket);

bool bindSocket(SocketHandle socket, const SocketAddress& local);
bool listenSocket(SocketHandle socket, int backlog);
bool localAddress(SocketHandle socket, SocketAddress& out);
// Waits up to the time-out for a connection; kNoSocket when none came.
SocketHandle acceptSocket(SocketHandle listener, uint32_t timeoutMs);
// Connects, giving up after the time-out; the socket stays in blocking mode.
bool connectSocket(SocketHandle socket, const SocketAddress& peer, uint32_t timeoutMs);
bool setSendBufferSize(SocketHandle socket, int bytes);
bool setReceiveBufferSize(SocketHandle socket, int bytes);
// Lets a UDP socket send to a broadcast address.
bool enableBroadcast(SocketHandle socket);

// Plain transfers for simulated instruments and tests: the whole buffer (false on error),
// and one receive that waits at most the time-out (-1 error, 0 time-out or orderly close).
bool sendAll(SocketHandle socket, const void* data, size_t length);
// The whole buffer, waiting for room at most until `stop` (may be null) is set or the time-out
// has passed; false then, or on error, with perhaps part of the buffer sent.
bool sendAllWithin(SocketHandle socket, const void* data, size_t length, Event* stop,
                   uint32_t timeoutMs);
// One datagram on a connected UDP socket, as sendAllWithin. A refusal the call reports belongs
// to an earlier datagram (the peer's port was closed for a while) and this one was not sent:
// it is sent once more.
bool sendDatagramWithin(SocketHandle socket, const void* data, size_t length, Event* stop,
                        uint32_t timeoutMs);
// True when the peer has closed or reset the connection; looks without waiting and takes no
// byte.
bool peerClosed(SocketHandle socket);
int receiveTimed(SocketHandle socket, void* buffer, size_t length, uint32_t timeoutMs);
bool sendTo(SocketHandle socket, const void* data, size_t length, const SocketAddress& peer);
int receiveFrom(SocketHandle socket, void* buffer, size_t length, SocketAddress& from,
                uint32_t timeoutMs);

// The transports' overlapped transfers. A post either completes at once, fails, or stays
// pending; a pending transfer is waited for with waitPosted and collected with postedResult.
// On Windows this is Winsock's overlapped I/O on the record's block and ioEvent. Elsewhere
// "pending" means the socket was not ready: the record remembers the buffer, the wait polls
// the socket together with the stop event, and the transfer lands in the buffer given when
// it was posted, which is what a caller observes on Windows too.
enum class IoStart { Done, Failed, Pending };
enum class IoWait { Completed, Stopped, TimedOut };

IoStart postSend(SocketHandle socket, const uint8_t* data, uint32_t length, Overlapped& io,
                 uint32_t& count);
IoStart postReceive(SocketHandle socket, uint8_t* buffer, uint32_t length, Overlapped& io,
                    uint32_t& count);
// A datagram receive that also records the sender: on completion io.postedFrom holds its
// socket address (family, port and IPv4 address in network byte order) and
// io.postedFromLength its length.
IoStart postReceiveFrom(SocketHandle socket, uint8_t* buffer, uint32_t length, Overlapped& io,
                        uint32_t& count);
// Waits for the posted transfer or `stop` (may be null); the transfer wins a tie.
IoWait waitPosted(Overlapped& io, Event* stop, uint32_t timeoutMs);
// The completed transfer's count, without waiting; false (count 0) when it failed.
bool postedResult(Overlapped& io, uint32_t& count);
// After the socket of a transfer left posted was closed: waits, at most `timeoutMs`, until
// the system has finished with the block, so the block and the buffer may go.
void settlePosted(Overlapped& io, uint32_t timeoutMs = 1000);
// Withdraws a transfer left posted on a socket that stays open, and waits (at most
// `timeoutMs`) until the system has finished with the block, so its buffer may go.
void cancelPosted(SocketHandle socket, Overlapped& io, uint32_t timeoutMs = 1000);

} // namespace zs::platform

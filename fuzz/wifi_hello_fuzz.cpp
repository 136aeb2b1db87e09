// The Wi-Fi hello exchange on a real connected pair of sockets: the instrument's side sends
// whatever the input holds, then closes. The library must send its 9-byte hello, take exactly
// the 5-byte reply (never a byte beyond it) and read the code from it, or give nothing when
// fewer than 5 bytes came.
#include "discovery/network_attach.h"
#include "frame/dev_struct.h"
#include "fuzz_support.h"

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

using namespace zs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0; // the socket pair's buffer takes it without blocking
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
    const int library = pair[0], instrument = pair[1];
    if (size > 0) fuzz::check(::write(instrument, data, size) == static_cast<ssize_t>(size));
    ::shutdown(instrument, SHUT_WR);

    static frame::DevStruct record; // lends its stop event, as the first channel's record does
    const auto code =
        discovery::helloChannelCode(static_cast<platform::SocketHandle>(library), record);
    if (size >= 5) {
        uint32_t want;
        std::memcpy(&want, data + 1, sizeof want);
        fuzz::check(code && *code == want);
    } else {
        fuzz::check(!code);
    }

    uint8_t hello[16];
    fuzz::check(::read(instrument, hello, sizeof hello) == 9 && hello[0] == 0x11);
    // What came after the reply is still in the socket, untouched.
    uint8_t rest[4096];
    const ssize_t left = ::recv(library, rest, sizeof rest, MSG_DONTWAIT);
    const size_t expected = size > 5 ? size - 5 : 0;
    fuzz::check(static_cast<size_t>(left > 0 ? left : 0) == expected &&
                (expected == 0 || std::memcmp(rest, data + 5, expected) == 0));
    ::close(library);
    ::close(instrument);
    return 0;
}

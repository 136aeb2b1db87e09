#include "frame/dev_struct.h"
#include "frame/file_struct.h"
#include "platform/clock.h"
#include "platform/sockets.h"
#include "transport/d2xx.h"

#include <gtest/gtest.h>

using namespace zs;

namespace {

int g_closed = 0;
int32_t ZS_D2XX_API countClose(transport::FtHandle) {
    ++g_closed;
    return 1;
}

// Installs a D2XX table whose close call is counted, for the life of the guard.
struct CountingD2xx {
    CountingD2xx() {
        g_closed = 0;
        api.close = countClose;
        transport::installD2xxForTests(&api);
    }
    ~CountingD2xx() { transport::installD2xxForTests(nullptr); }
    transport::D2xxApi api;
};

uint32_t destroyAndTime(std::unique_ptr<frame::DevStruct> d) {
    const uint32_t t0 = platform::tickMs();
    d.reset();
    return platform::tickMs() - t0;
}

} // namespace

TEST(DevStructDestruction, ClosesOnlyTheFirstLinkAndSleepsOnlyForSockets) {
    platform::socketsStartup();
    CountingD2xx d2xx;

    auto none = std::make_unique<frame::DevStruct>();
    EXPECT_LT(destroyAndTime(std::move(none)), 100u);
    EXPECT_EQ(g_closed, 0);

    // FTDI and TCP both set: only the FTDI handle is closed, without the socket pause.
    const auto socket = platform::openTcpSocket();
    auto both = std::make_unique<frame::DevStruct>();
    both->ftdiHandle = reinterpret_cast<transport::FtHandle>(intptr_t{0x1234});
    both->tcpSocket = socket;
    EXPECT_LT(destroyAndTime(std::move(both)), 100u);
    EXPECT_EQ(g_closed, 1);

    auto tcp = std::make_unique<frame::DevStruct>();
    tcp->tcpSocket = socket;
    EXPECT_GE(destroyAndTime(std::move(tcp)), 90u); // ticks may come in 15.6 ms steps
    EXPECT_EQ(g_closed, 1);
    platform::socketsCleanup();
}

TEST(DevStructDestruction, ReleasesLocksEventsAndTheSharedCommandSocket) {
    auto d = std::make_unique<frame::DevStruct>();
    d->dataLock = std::make_unique<std::mutex>();
    d->stopEvent = std::make_unique<platform::Event>(platform::Event::Reset::Manual);
    auto shared = std::make_shared<transport::auto_close_socket>();
    d->commandSocket = shared;
    EXPECT_EQ(shared.use_count(), 2);
    d.reset();
    EXPECT_EQ(shared.use_count(), 1); // the other holder keeps the socket open
}

TEST(FileStructCopy, CopiesTheBaseDeeply) {
    frame::FileStruct a;
    a.fileId = 300;
    a.rows[0].values[0] = {{1.0, 2.0}};
    a.layout.averagingNames[1] = u"Slow";
    a.recordBuffer = {1, 2, 3};
    frame::FileStruct b = a;
    a.rows[0].values[0][0][0] = 9.0;
    a.layout.averagingNames[1] = u"x";
    a.recordBuffer[0] = 7;
    EXPECT_EQ(b.fileId, 300u);
    EXPECT_EQ(b.rows[0].values[0][0][0], 1.0);
    EXPECT_EQ(b.layout.averagingNames[1], u"Slow");
    EXPECT_EQ(b.recordBuffer[0], 1);
}

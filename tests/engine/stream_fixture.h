#pragma once
// Devices put in the library's list through the C++ seam, each on a simulated instrument at
// stream level: FTDI and WinUSB through the simulated drivers, TCP and UDP on loopback.
#include "engine/io_threads.h"
#include "frame/library.h"
#include "platform/clock.h"
#include "platform/sockets.h"
#include "stream_instruments.h"
#include "support/eventually.h"
#include "transport/sim_fixtures.h"
#include "zentrel_signal.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace zs::test {

inline uint16_t networkOrder16(uint16_t v) {
    return static_cast<uint16_t>(v >> 8 | v << 8);
}
inline uint32_t networkOrder32(uint32_t v) {
    return v >> 24 | (v >> 8 & 0xFF00) | (v << 8 & 0xFF0000) | v << 24;
}

class StreamDevices : public SimWinUsbTest {
  protected:
    using DevicePtr = engine::DevicePtr;

    void SetUp() override {
        SimWinUsbTest::SetUp();
        frame::libraryLoad();
    }
    void TearDown() override {
        for (auto& d : frame::lib().devices) engine::stopIoThread(*d);
        for (auto& w : winUsbInstruments_) w->stop();
        frame::lib().devices.clear();
        tcp_.clear();
        udp_.clear();
        frame::libraryUnload();
        winUsbInstruments_.clear();
        SimWinUsbTest::TearDown();
    }

    static sim::StreamSource source(uint16_t type, uint16_t program, double rate) {
        return sim::StreamSource(sim::referenceLayout(type), {type, program, 0x00031001}, rate);
    }

    // A record as identification leaves it: type, program and layout known.
    DevicePtr newRecord(transport::LinkKind linkKind, uint16_t type, uint16_t program) {
        auto d = std::make_shared<frame::DevStruct>();
        d->linkKind = linkKind;
        d->state.deviceType = type;
        d->state.programNumber = program;
        d->selectLayout(frame::lib().description);
        return d;
    }

    DevicePtr list(DevicePtr d) {
        frame::lib().devices.push_back(d);
        return d;
    }

    struct Ftdi {
        DevicePtr record;
        sim::SimD2xxDevice* device;
        std::shared_ptr<sim::FtdiStreamInstrument> instrument;
    };
    Ftdi addFtdi(transport::LinkKind linkKind, uint16_t type, uint16_t program, double rate,
                 const char* serial = "ZS000001") {
        Ftdi f;
        f.record = newRecord(linkKind, type, program);
        f.record->ftdiHandle = openDevice(f.device, serial);
        const auto framing =
            engine::isSyncFamily(linkKind) ? sim::Framing::Sync : sim::Framing::Tagged;
        f.instrument =
            sim::FtdiStreamInstrument::attach(*f.device, source(type, program, rate), framing);
        list(f.record);
        return f;
    }

    struct Tcp {
        DevicePtr record;
        sim::TcpStreamInstrument* instrument;
    };
    Tcp addTcp(transport::LinkKind linkKind, uint16_t type, uint16_t program, double rate,
               uint16_t knownType = 0xFFFF) {
        const auto framing =
            engine::isSyncFamily(linkKind) ? sim::Framing::Sync : sim::Framing::Tagged;
        tcp_.push_back(
            std::make_unique<sim::TcpStreamInstrument>(source(type, program, rate), framing));
        Tcp t{newRecord(linkKind, knownType == 0xFFFF ? type : knownType, program),
              tcp_.back().get()};
        const auto s = platform::openTcpSocket();
        EXPECT_TRUE(
            platform::connectSocket(s, {platform::kLoopbackAddress, t.instrument->port()}, 5000));
        t.record->tcpSocket = s;
        list(t.record);
        return t;
    }

    struct Udp {
        DevicePtr record;
        sim::UdpStreamInstrument* instrument;
    };
    Udp addUdp(uint16_t type, uint16_t program, double rate) {
        udp_.push_back(std::make_unique<sim::UdpStreamInstrument>(source(type, program, rate)));
        Udp u{newRecord(transport::LinkKind::Ethernet, type, program), udp_.back().get()};
        const auto s = platform::openUdpSocket();
        platform::SocketAddress local{platform::kLoopbackAddress, 0};
        EXPECT_TRUE(platform::bindSocket(s, local));
        EXPECT_TRUE(
            platform::connectSocket(s, {platform::kLoopbackAddress, u.instrument->port()}, 1000));
        u.record->udpSocket = s;
        u.record->udpPeer.port = networkOrder16(u.instrument->port());
        u.record->udpPeer.address = networkOrder32(platform::kLoopbackAddress);
        list(u.record);
        return u;
    }

    struct WinUsb {
        DevicePtr record;
        std::shared_ptr<sim::WinUsbStreamInstrument> instrument;
    };
    WinUsb addWinUsb(uint16_t type, uint16_t program, double rate) {
        WinUsb w;
        w.record = newRecord(transport::LinkKind::NoneOrWinUsb, type, program);
        sim::SimWinUsbDevice* device = nullptr;
        void* file = nullptr;
        w.record->winUsbHandle = openWinUsb(device, file);
        w.record->winUsbFile = file;
        w.instrument = sim::WinUsbStreamInstrument::attach(*device, source(type, program, rate));
        winUsbInstruments_.push_back(w.instrument);
        list(w.record);
        return w;
    }

    // The value cell of a layout's value item, as the host reads it.
    static double cell(int32_t index, const sim::ValueItem& item) {
        return K427_GetData(index, item.channel, item.set - 1, item.index, item.column);
    }

  private:
    std::vector<std::unique_ptr<sim::TcpStreamInstrument>> tcp_;
    std::vector<std::unique_ptr<sim::UdpStreamInstrument>> udp_;
    std::vector<std::shared_ptr<sim::WinUsbStreamInstrument>> winUsbInstruments_;
};

} // namespace zs::test

#include "soak_instruments.h"

#include "plugged_instruments.h"
#include "sim_d2xx.h"
#include "sim_winusb.h"
#include "support/loopback_address.h"
#include "transport/d2xx.h"
#include "transport/winusb_binding.h"
#include "zentrel_signal.h"

namespace zs::soak {
namespace {

constexpr double kRecordsPerSecond = 10;
constexpr const char* kFtdiSerial = "SK000001A";
constexpr sim::StreamIdentity kFtdi{28, 40, 0x00031001};
constexpr sim::StreamIdentity kWinUsb{132, 132, 0x00031002};
constexpr sim::StreamIdentity kWiFi{28, 40, 0x00031003};
constexpr sim::StreamIdentity kEthernet{28, 40, 0x00031004};

const ZS_WCHAR* wideText(const std::u16string& s) {
    return reinterpret_cast<const ZS_WCHAR*>(s.c_str());
}

} // namespace

SoakInstruments::SoakInstruments() {
    sim::SimD2xx::instance().reset();
    transport::installD2xxForTests(&sim::SimD2xx::table());
    sim::SimWinUsb::instance().reset();
    transport::installWinUsbForTests(&sim::SimWinUsb::table());
}

SoakInstruments::~SoakInstruments() {
    if (winUsb_) winUsb_->stop();
    ethernet_.reset();
    wifi_.reset();
    transport::installWinUsbForTests(nullptr);
    sim::SimWinUsb::instance().reset();
    transport::installD2xxForTests(nullptr);
    sim::SimD2xx::instance().reset();
}

bool SoakInstruments::list(std::string& why, std::string& notes) {
    sim::FtdiInstrument ftdiModel; // tagged, at 2304000 bit/s
    ftdiModel.family = sim::FtdiInstrument::Family::Tagged;
    ftdiModel.rate = 2304000;
    ftdi_ =
        sim::attachStreamingFtdi(sim::SimD2xx::instance().addDevice(kFtdiSerial, "Brevane DOUT20"),
                                 ftdiModel, sim::referenceSource(kFtdi, kRecordsPerSecond));
    winUsbDevice_ = &sim::SimWinUsb::instance().addDevice(u"\\\\?\\usb#soak#1");
    winUsb_ = sim::attachStreamingWinUsb(*winUsbDevice_, sim::WinUsbInstrument{},
                                         sim::referenceSource(kWinUsb, kRecordsPerSecond));
    instruments_.push_back(
        {"FTDI", kFtdi.serialNumber, -1, Instrument::Carrier::Bytes, ftdi_.get()});
    instruments_.push_back(
        {"WinUSB", kWinUsb.serialNumber, -1, Instrument::Carrier::Frames, winUsb_.get()});
    if (K427_BuildFList() != 2) {
        why = "K427_BuildFList did not list the FTDI and the WinUSB instrument";
        return false;
    }

    sim::WiFiOptions wifi;
    wifi.address = test::freshLoopbackAddress();
    wifi.channelCode = 0; // one channel, tagged
    wifi.identity[0] = kWiFi;
    wifi.recordsPerSecond = kRecordsPerSecond;
    wifi_ = std::make_unique<sim::SimWiFiInstrument>(wifi);
    const std::u16string wifiAddress = test::wide(test::dotted(wifi.address));
    int32_t index = -1;
    if (!wifi_->listening() || K427_AttachWiFiDevice(nullptr, wideText(wifiAddress), &index) != 1 ||
        index != 2) {
        why = "the Wi-Fi instrument at " + test::dotted(wifi.address) + " was not attached";
        return false;
    }
    instruments_.push_back(
        {"Wi-Fi", kWiFi.serialNumber, -1, Instrument::Carrier::Bytes, &wifi_->stream(0)});

    sim::EthernetOptions eth;
    eth.address = test::freshLoopbackAddress();
    eth.identity = kEthernet;
    eth.recordsPerSecond = kRecordsPerSecond;
    ethernet_ = std::make_unique<sim::SimEthernetInstrument>(eth);
    if (!ethernet_->listening()) {
        notes = "UDP port 22 of " + test::dotted(eth.address) +
                " cannot be bound (no right to privileged ports): the Ethernet instrument is "
                "left out";
        ethernet_.reset();
    } else {
        const std::u16string ethAddress = test::wide(test::dotted(eth.address));
        if (K427_AttachEthDevice(wideText(ethAddress), &index) != 1 || index != 3) {
            why = "the Ethernet instrument at " + test::dotted(eth.address) + " was not attached";
            return false;
        }
        instruments_.push_back({"Ethernet", kEthernet.serialNumber, -1,
                                Instrument::Carrier::Datagrams, &ethernet_->stream()});
    }

    // Identification put each serial number in its record; the positions follow from them.
    for (auto& in : instruments_) {
        for (int32_t i = 0; i < K427_GetDeviceCount(); ++i)
            if (static_cast<uint32_t>(K427_GetDeviceVIN(i)) == in.serial) in.position = i;
        if (in.position < 0) {
            why = "no listed device carries the serial number of the " + in.link + " instrument";
            return false;
        }
    }
    return true;
}

std::vector<std::string> SoakInstruments::driverHandlesOpen() {
    std::vector<std::string> open;
    sim::SimD2xx::instance().locked([&] {
        if (auto* d = sim::SimD2xx::instance().find(kFtdiSerial); d && d->open)
            open.push_back(std::string("FTDI device ") + kFtdiSerial);
        return 0;
    });
    if (!winUsbDevice_) return open;
    sim::SimWinUsb::instance().locked([&] {
        const auto& d = *winUsbDevice_;
        if (d.fileOpens != d.fileCloses)
            open.push_back("WinUSB files: " + std::to_string(d.fileOpens) + " opened, " +
                           std::to_string(d.fileCloses) + " closed");
        if (d.initializeCalls != d.freeCalls)
            open.push_back("WinUSB interfaces: " + std::to_string(d.initializeCalls) +
                           " initialised, " + std::to_string(d.freeCalls) + " freed");
        return 0;
    });
    return open;
}

void SoakInstruments::trimLogs() {
    for (auto& in : instruments_) in.stream->log.clear();
    sim::SimD2xx::instance().locked([] {
        if (auto* d = sim::SimD2xx::instance().find(kFtdiSerial)) {
            d->written.clear();
            d->history.clear();
        }
        return 0;
    });
    if (!winUsbDevice_) return;
    sim::SimWinUsb::instance().locked([this] {
        winUsbDevice_->written.clear();
        winUsbDevice_->pipesUsed.clear();
        return 0;
    });
}

} // namespace zs::soak

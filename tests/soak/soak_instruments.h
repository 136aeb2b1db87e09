#pragma once
// The soak's four instruments, one per link, listed the way a host lists them: an FTDI and a
// WinUSB instrument through the simulated drivers (K427_BuildFList), a Wi-Fi instrument
// (K427_AttachWiFiDevice) and an Ethernet one (K427_AttachEthDevice) on loopback addresses.
#include "network_instruments.h"
#include "stream_instruments.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zs::soak {

struct Instrument {
    std::string link;    // "FTDI", "WinUSB", "Wi-Fi", "Ethernet"
    uint32_t serial = 0; // what its records say, to find its list position
    int32_t position = -1;
    // How commands travel: a byte stream (FTDI, TCP), WinUSB frames or UDP datagrams.
    enum class Carrier { Bytes, Frames, Datagrams } carrier = Carrier::Bytes;
    sim::StreamState* stream = nullptr; // its records and its command log
};

class SoakInstruments {
  public:
    // Installs the simulated drivers; load the library after this.
    SoakInstruments();
    // Stops every simulator and uninstalls the drivers; free the list and unload first.
    ~SoakInstruments();
    SoakInstruments(const SoakInstruments&) = delete;
    SoakInstruments& operator=(const SoakInstruments&) = delete;

    // Lists every instrument through the exports; false (with `why`) when one is missing.
    // Without the right to bind UDP port 22 the Ethernet instrument is left out, and
    // `notes` says so.
    bool list(std::string& why, std::string& notes);
    std::vector<Instrument>& all() { return instruments_; }

    // The driver handles still open (an FTDI device, a WinUSB file or interface), named;
    // empty when none is. Asked after the list is freed.
    std::vector<std::string> driverHandlesOpen();

    // Empties the simulators' observation logs (commands, bytes and calls seen), which grow
    // with every command; the library's memory is what the soak watches.
    void trimLogs();

  private:
    std::shared_ptr<sim::FtdiStreamInstrument> ftdi_;
    std::shared_ptr<sim::WinUsbStreamInstrument> winUsb_;
    sim::SimWinUsbDevice* winUsbDevice_ = nullptr;
    std::unique_ptr<sim::SimWiFiInstrument> wifi_;
    std::unique_ptr<sim::SimEthernetInstrument> ethernet_;
    std::vector<Instrument> instruments_;
};

} // namespace zs::soak

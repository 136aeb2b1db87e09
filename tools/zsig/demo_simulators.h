#pragma once
// The simulated drivers the demo's steps start instruments with, loaded by name from beside
// the library as a host would load the real ones, and a guard that leaves nothing behind.
#include "commands.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zsig {

// The simulated D2XX driver (the library binds the same file by name).
class SimulatedD2xx {
  public:
    SimulatedD2xx();
    const zs::host::Library& library() const { return lib_; }
    // Plugs in instruments ("SERIAL|DESCRIPTION|key=value,..;..."); Failure when refused.
    void plug(const std::string& text) const;
    void reset() const { reset_(); }
    // Everything written to the device so far.
    std::vector<uint8_t> written(const std::string& serial) const;
    // The commands among the bytes written from byte `from` on, decoded, one a line.
    std::vector<std::string> commands(const std::string& serial, size_t from) const;

  private:
    zs::host::Library lib_;
    void (*reset_)();
    int (*plug_)(const char*);
    int (*written_)(const char*, uint8_t*, uint32_t);
    int (*commands_)(const char*, uint32_t, char*, uint32_t);
};

// Simulated Wi-Fi and Ethernet instruments on loopback addresses, started through the
// simulated D2XX driver's network controls.
class SimulatedNetwork {
  public:
    explicit SimulatedNetwork(const SimulatedD2xx& d2xx);
    ~SimulatedNetwork() { stopAll(); }
    SimulatedNetwork(const SimulatedNetwork&) = delete;
    SimulatedNetwork& operator=(const SimulatedNetwork&) = delete;
    // Instruments of types 28 and 38 (Wi-Fi channels 0 and 1) or 28 (Ethernet); false when
    // the instrument cannot listen at `address` (a loopback address, host byte order).
    bool startWiFi(uint32_t address, uint32_t channelCode, uint32_t serial,
                   double recordsPerSecond);
    bool startEthernet(uint32_t address, uint32_t serial, double recordsPerSecond);
    void stopAll();

  private:
    void* (*startWiFi_)(uint32_t, uint32_t, uint32_t, uint32_t, double);
    void* (*startEthernet_)(uint32_t, uint32_t, double);
    void (*stop_)(void*);
    std::vector<void*> running_;
};

// A SCPI generator behind a pseudo-terminal, started through the simulated D2XX driver and
// listed in ZS_SERIAL_PORTS for as long as it runs, so the library's serial scan finds it.
// Not ready where there are no pseudo-terminals (Windows).
class SimulatedSerialGenerator {
  public:
    SimulatedSerialGenerator(const SimulatedD2xx& d2xx, const std::string& identity);
    ~SimulatedSerialGenerator();
    SimulatedSerialGenerator(const SimulatedSerialGenerator&) = delete;
    SimulatedSerialGenerator& operator=(const SimulatedSerialGenerator&) = delete;
    bool ready() const { return handle_ != nullptr; }
    const std::string& path() const { return path_; }
    // Every command line the generator received.
    std::vector<std::string> commands() const;
    // Waits (at most `timeoutMs`) until the generator received the command line `command`.
    bool waitFor(const std::string& command, uint32_t timeoutMs) const;

  private:
    int (*log_)(void*, char*, uint32_t);
    int (*wait_)(void*, const char*, uint32_t);
    void (*stop_)(void*);
    void* handle_ = nullptr;
    std::string path_;
    bool hadPorts_ = false;
    std::string ports_; // the variable's value before the generator was listed
};

// A loopback address 127.a.b.`host` of this run (a and b from the process number), so a demo
// never meets the instruments of a test or of another demo running at once.
uint32_t demoLoopbackAddress(uint8_t host);
std::string dotted(uint32_t address);

// Ends a step: frees the library's device list, then stops the network instruments and
// unplugs every simulated USB instrument, so the next step starts from nothing.
class StepCleanup {
  public:
    StepCleanup(const zs::host::Library& lib, const SimulatedD2xx& d2xx,
                SimulatedNetwork* network = nullptr)
        : lib_(lib), d2xx_(d2xx), network_(network) {}
    ~StepCleanup();
    StepCleanup(const StepCleanup&) = delete;
    StepCleanup& operator=(const StepCleanup&) = delete;

  private:
    const zs::host::Library& lib_;
    const SimulatedD2xx& d2xx_;
    SimulatedNetwork* network_;
};

// Lines of a text, without their ends.
std::vector<std::string> splitLines(const std::string& text);

} // namespace zsig

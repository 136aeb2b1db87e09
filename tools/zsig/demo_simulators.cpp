#include "demo_simulators.h"

#include <cstdlib>
#include <sstream>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace zsig {
namespace {

#ifdef _WIN32
const char kD2xxSim[] = "ftd2xx.dll";
#else
const char kD2xxSim[] = "libftd2xx.so";
#endif

zs::host::Library load(const char* name) {
    try {
        return zs::host::Library(name);
    } catch (const std::exception& e) {
        throw Failure(std::string("simulated driver: ") + e.what());
    }
}

template <class Fn>
Fn find(const zs::host::Library& lib, const char* name) {
    try {
        return lib.get<Fn>(name);
    } catch (const std::exception& e) {
        throw Failure(std::string("simulated driver: ") + e.what());
    }
}

} // namespace

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

SimulatedD2xx::SimulatedD2xx()
    : lib_(load(kD2xxSim)), reset_(find<void (*)()>(lib_, "ZsSimD2xx_Reset")),
      plug_(find<int (*)(const char*)>(lib_, "ZsSimD2xx_Plug")),
      written_(find<int (*)(const char*, uint8_t*, uint32_t)>(lib_, "ZsSimD2xx_Written")),
      commands_(find<int (*)(const char*, uint32_t, char*, uint32_t)>(lib_, "ZsSimD2xx_Commands")) {
}

void SimulatedD2xx::plug(const std::string& text) const {
    if (!plug_(text.c_str())) throw Failure("the simulated D2XX driver refused '" + text + "'");
}

std::vector<uint8_t> SimulatedD2xx::written(const std::string& serial) const {
    const int n = written_(serial.c_str(), nullptr, 0);
    std::vector<uint8_t> bytes(n > 0 ? static_cast<size_t>(n) : 0);
    if (!bytes.empty()) written_(serial.c_str(), bytes.data(), static_cast<uint32_t>(bytes.size()));
    return bytes;
}

std::vector<std::string> SimulatedD2xx::commands(const std::string& serial, size_t from) const {
    const auto start = static_cast<uint32_t>(from);
    const int n = commands_(serial.c_str(), start, nullptr, 0);
    if (n <= 0) return {};
    std::string text(static_cast<size_t>(n) + 1, '\0');
    commands_(serial.c_str(), start, text.data(), static_cast<uint32_t>(text.size()));
    text.resize(static_cast<size_t>(n));
    return splitLines(text);
}

SimulatedSerialGenerator::SimulatedSerialGenerator(const SimulatedD2xx& d2xx,
                                                   const std::string& identity)
    : log_(find<int (*)(void*, char*, uint32_t)>(d2xx.library(), "ZsSimSerial_Log")),
      wait_(find<int (*)(void*, const char*, uint32_t)>(d2xx.library(),
                                                        "ZsSimSerial_WaitForCommand")),
      stop_(find<void (*)(void*)>(d2xx.library(), "ZsSimSerial_Stop")) {
    handle_ = find<void* (*)(const char*)>(d2xx.library(), "ZsSimSerial_Start")(identity.c_str());
    if (!handle_) return;
    char path[256];
    find<int (*)(void*, char*, uint32_t)>(d2xx.library(), "ZsSimSerial_Path")(handle_, path,
                                                                              sizeof path);
    path_ = path;
#ifndef _WIN32
    const char* ports = std::getenv("ZS_SERIAL_PORTS");
    hadPorts_ = ports != nullptr;
    if (ports) ports_ = ports;
    const std::string listed = ports_.empty() ? path_ : path_ + ":" + ports_;
    ::setenv("ZS_SERIAL_PORTS", listed.c_str(), 1);
#endif
}

SimulatedSerialGenerator::~SimulatedSerialGenerator() {
#ifndef _WIN32
    if (handle_ && hadPorts_) ::setenv("ZS_SERIAL_PORTS", ports_.c_str(), 1);
    if (handle_ && !hadPorts_) ::unsetenv("ZS_SERIAL_PORTS");
#endif
    stop_(handle_);
}

std::vector<std::string> SimulatedSerialGenerator::commands() const {
    if (!handle_) return {};
    const int n = log_(handle_, nullptr, 0);
    if (n <= 0) return {};
    std::string text(static_cast<size_t>(n) + 1, '\0');
    log_(handle_, text.data(), static_cast<uint32_t>(text.size()));
    text.resize(static_cast<size_t>(n));
    return splitLines(text);
}

bool SimulatedSerialGenerator::waitFor(const std::string& command, uint32_t timeoutMs) const {
    return handle_ && wait_(handle_, command.c_str(), timeoutMs) == 1;
}

SimulatedNetwork::SimulatedNetwork(const SimulatedD2xx& d2xx)
    : startWiFi_(find<void* (*)(uint32_t, uint32_t, uint32_t, uint32_t, double)>(
          d2xx.library(), "ZsSimNet_StartWiFi")),
      startEthernet_(
          find<void* (*)(uint32_t, uint32_t, double)>(d2xx.library(), "ZsSimNet_StartEthernet")),
      stop_(find<void (*)(void*)>(d2xx.library(), "ZsSimNet_Stop")) {}

bool SimulatedNetwork::startWiFi(uint32_t address, uint32_t channelCode, uint32_t serial,
                                 double recordsPerSecond) {
    void* instrument = startWiFi_(address, channelCode, serial, serial + 1, recordsPerSecond);
    if (instrument) running_.push_back(instrument);
    return instrument != nullptr;
}

bool SimulatedNetwork::startEthernet(uint32_t address, uint32_t serial, double recordsPerSecond) {
    void* instrument = startEthernet_(address, serial, recordsPerSecond);
    if (instrument) running_.push_back(instrument);
    return instrument != nullptr;
}

void SimulatedNetwork::stopAll() {
    for (void* instrument : running_) stop_(instrument);
    running_.clear();
}

uint32_t demoLoopbackAddress(uint8_t host) {
#ifdef _WIN32
    const auto process = static_cast<uint32_t>(_getpid());
#else
    const auto process = static_cast<uint32_t>(getpid());
#endif
    // Tests take 127.20.x.x to 127.219.x.x; the demo stays above them.
    return 127u << 24 | (220 + process % 30) << 16 | (process / 30 % 250) << 8 | host;
}

std::string dotted(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 0xFF) + "." +
           std::to_string(a >> 8 & 0xFF) + "." + std::to_string(a & 0xFF);
}

StepCleanup::~StepCleanup() {
    ZS_HOST_GET(lib_, K427_FreeFList)();
    if (network_) network_->stopAll();
    d2xx_.reset();
}

} // namespace zsig

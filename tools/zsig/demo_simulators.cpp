#include "demo_simulators.h"

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

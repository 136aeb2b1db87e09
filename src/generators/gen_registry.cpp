#include "generators/gen_registry.h"

#include "frame/lookup.h"
#include "platform/clock.h"
#include "platform/little_endian.h"
#include "platform/serial_port.h"

#include <algorithm>
#include <map>
#include <memory>

namespace zs::generators {
namespace {

using transport::D2xxApi;
using transport::FtHandle;

constexpr uint32_t kAnswerWaitMs = 500;
constexpr uint32_t kReplyRead = 1024;
constexpr uint32_t kReplyCounted = 1023;
constexpr uint32_t kModuleRead = 1024;
constexpr uint32_t kModuleScanLimit = 16 * kModuleRead;
constexpr uint32_t kModuleRate = 115200;
constexpr uint32_t kSerialLength = 128;
constexpr uint32_t kParityCheckBit = 1u << 1; // fParity of the line settings
const char kVisaUsbResources[] = "USB[0-9]*::?*INSTR";

struct FtdiModule {
    FtHandle handle;
    bool tagged;
    std::string serial;
};

void closeAll(std::vector<FtdiModule>& modules) {
    for (auto& m : modules) transport::d2xx().close(m.handle);
    modules.clear();
}

// FTDI devices that may be output modules, opened. A "QRNT" device stands alone: what was
// recorded before it is closed and dropped, and the scan ends there.
std::vector<FtdiModule> openFtdiCandidates() {
    const D2xxApi& api = transport::d2xx();
    std::vector<FtdiModule> found;
    uint32_t count = 0;
    if (api.count(&count, nullptr, transport::kD2xxListNumberOnly) != transport::kD2xxOk) count = 0;
    for (uint32_t i = 0; i < count; ++i) {
        char serial[kSerialLength] = {};
        if (api.serial(reinterpret_cast<void*>(static_cast<uintptr_t>(i)), serial,
                       transport::kD2xxListSerialByIndex) != transport::kD2xxOk)
            continue;
        serial[kSerialLength - 1] = '\0';
        const std::string number = serial;
        const bool secondChannel = number.size() > 7 && number.back() == 'B';
        const FtHandle h =
            api.open(serial, 0xC0000000, 0, nullptr, 3, transport::kD2xxOpenFlags, nullptr);
        if (h == transport::kNoFtdiHandle || h == nullptr) continue;
        char manufacturer[256] = {}, manufacturerId[256] = {}, description[256] = {},
             stored[256] = {};
        transport::D2xxProgramData data;
        data.manufacturer = manufacturer;
        data.manufacturerId = manufacturerId;
        data.description = description;
        data.serialNumber = stored;
        if (api.configuration(h, &data) != transport::kD2xxOk) {
            api.close(h);
            continue;
        }
        description[sizeof description - 1] = '\0';
        const std::string text = description;
        if (text == "QRNT") {
            closeAll(found);
            found.push_back({h, false, number});
            break;
        }
        if (text == "Brevane DOUT20")
            found.push_back({h, !secondChannel, number});
        else if (text == "Brevane DOUT21")
            found.push_back({h, false, number});
        else
            api.close(h);
    }
    return found;
}

void setUpLine(FtHandle h) {
    const D2xxApi& api = transport::d2xx();
    transport::D2xxLineSettings line;
    api.getLineSettings(h, &line);
    line.flags &= ~kParityCheckBit;
    line.byteSize = 8;
    line.stopBits = 0; // one stop bit
    line.length = 28;
    api.setLineSettings(h, &line);
    api.rate(h, kModuleRate);
    api.flow(h, 0, 0, 0); // no handshake
}

// Whether a status packet is among the bytes the module has queued. Everything queued is
// looked at (up to a bound), so stale bytes in front of the first status do not hide it.
bool sendsStatus(FtHandle h, transport::CPacketProcess& parser) {
    const D2xxApi& api = transport::d2xx();
    for (uint32_t total = 0; total < kModuleScanLimit;) {
        uint32_t waiting = 0;
        api.queue(h, &waiting);
        if (waiting == 0) return false;
        uint8_t bytes[kModuleRead];
        uint32_t got = 0;
        api.read(h, bytes, std::min(waiting, kModuleRead), &got, nullptr);
        got = std::min(got, kModuleRead);
        if (got == 0) return false;
        total += got;
        uint32_t position = 0;
        while (parser.process(bytes, got, position)) {
            const uint8_t* p = parser.payload();
            if (parser.payloadLength() >= kModulePacketMinimum &&
                platform::le16(p) == kModuleStatus)
                return true;
        }
    }
    return false;
}

bool acceptReply(const char* reply, uint32_t length) {
    if (length == 0) return false;
    const auto commas = std::count(reply, reply + length, ',');
    const char last = reply[length - 1];
    return commas == 3 && (last == '\r' || last == '\n');
}

} // namespace

std::vector<std::string> scanGenerators(GenDevice& probe) {
    // Every port that opens is asked at once; the answers are collected after one wait.
    std::map<std::string, std::unique_ptr<platform::SerialPort>> ports;
    for (const auto& path : platform::serialPortCandidates()) {
        auto port = platform::SerialPort::open(path);
        if (!port) continue;
        static const char kQuery[] = "*IDN?\r\n";
        port->write(kQuery, sizeof kQuery - 1);
        ports[path] = std::move(port);
    }

    std::vector<FtdiModule> modules = openFtdiCandidates();
    for (const auto& m : modules) setUpLine(m.handle);

    platform::sleepMs(kAnswerWaitMs);

    std::vector<std::string> names;
    for (auto& [path, port] : ports) {
        char reply[kReplyRead];
        const int32_t n = port->read(reply, sizeof reply);
        if (n > 0 &&
            acceptReply(reply, std::min<uint32_t>(static_cast<uint32_t>(n), kReplyCounted)))
            names.push_back(path);
        port.reset();
    }

    if (probe.visaAvailable()) {
        const VisaApi& v = *probe.visaApi();
        ViSession findList = 0;
        uint32_t count = 0;
        char description[kVisaDescriptionLength] = {};
        // A find list that was made is closed, even one that found nothing.
        if (v.findRsrc(probe.visaManager(), kVisaUsbResources, &findList, &count, description) ==
            kVisaOk) {
            if (count >= 1) {
                description[kVisaDescriptionLength - 1] = '\0';
                names.emplace_back(description);
            }
            for (uint32_t i = 1; i < count; ++i) {
                char next[kVisaDescriptionLength] = {};
                if (v.findNext(findList, next) != kVisaOk) continue;
                next[kVisaDescriptionLength - 1] = '\0';
                names.emplace_back(next);
            }
            v.close(findList);
        }
    }

    // Each module gets a parser of its own, so a packet one module left unfinished cannot
    // join the next module's bytes.
    for (const bool tagged : {false, true}) {
        for (const auto& m : modules) {
            if (m.tagged != tagged) continue;
            std::unique_ptr<transport::CPacketProcess> parser;
            if (tagged)
                parser = std::make_unique<transport::CDoutPacketProcess>(kParserBufferSize);
            else
                parser = std::make_unique<transport::CDinPacketProcess>(kParserBufferSize);
            if (sendsStatus(m.handle, *parser))
                names.push_back((tagged ? "DOUT_" : "DIN_") + m.serial);
        }
    }
    closeAll(modules);
    return names;
}

int32_t buildGenList(frame::GeneratorList& list) {
    list.clear(); // each generator closes as it goes
    std::vector<std::string> names;
    {
        GenDevice probe;
        names = scanGenerators(probe);
    }
    for (auto& name : names) {
        auto generator = std::make_unique<GenDevice>();
        generator->entryName = std::move(name);
        list.push_back(std::move(generator));
    }
    return static_cast<int32_t>(list.size());
}

GenDevice* findGenerator(frame::GeneratorList& list, int32_t index) {
    auto* entry = frame::findByPosition(list, index);
    return entry ? static_cast<GenDevice*>(entry->get()) : nullptr;
}

} // namespace zs::generators

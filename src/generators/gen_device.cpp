#include "generators/gen_device.h"

#include "platform/clock.h"

#include <algorithm>

namespace zs::generators {
namespace {

constexpr uint32_t kOpenAccess = 0xC0000000; // read and write
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kFirstByteMs = 99;
// A reply that keeps trickling in without a line end is cut after this long, so that no
// export waits more than about a second on one generator.
constexpr uint32_t kReplyLimitMs = 1000;
constexpr int32_t kFailed = 1;

const char kModuleIdentitySync[] = "Brevane,BRV-AX-410[DIN],,";
const char kModuleIdentityTagged[] = "Brevane,BRV-AX-410[DOUT],,";

bool hasLineEnd(const uint8_t* bytes, uint32_t length) {
    return std::any_of(bytes, bytes + length, [](uint8_t b) { return b == '\r' || b == '\n'; });
}

} // namespace

GenDevice::GenDevice() {
    visa_ = visa();
    if (visa_ && visa_->openDefaultRM(&visaManager_) == kVisaOk) visaAvailable_ = true;
}

GenDevice::~GenDevice() {
    close();
    if (visaAvailable_) visa_->close(visaManager_);
}

bool GenDevice::openModule(const std::string& serial, bool tagged) {
    const transport::FtHandle h =
        transport::d2xx().open(serial.c_str(), kOpenAccess, 0, nullptr, kOpenExisting,
                               transport::kD2xxOpenFlagsOverlapped, nullptr);
    if (h == transport::kNoFtdiHandle || h == nullptr) return false;
    ftdiHandle_ = h;
    parser_ = tagged ? static_cast<transport::CPacketProcess*>(&taggedParser_) : &syncParser_;
    kind_ = GenKind::Module;
    reader_.start(ftdiHandle_, tagged, *parser_, module_);
    return true;
}

bool GenDevice::open(const std::string& name) {
    close();
    if (platform::isSerialPortName(name)) {
        port_ = platform::SerialPort::open(name);
        if (!port_) return false;
        // Output mode 0 before anything else; the reply, if any, is not needed.
        static const char kOutputMode[] = "OUTM 0\r\n";
        port_->write(kOutputMode, sizeof kOutputMode - 1);
        kind_ = GenKind::Generic;
    } else if (name.starts_with("DIN_")) {
        if (!openModule(name.substr(4), false)) return false;
    } else if (name.starts_with("DOUT_")) {
        if (!openModule(name.substr(5), true)) return false;
    } else {
        if (!visaAvailable_ ||
            visa_->open(visaManager_, name.c_str(), 0, 0, &visaInstrument_) != kVisaOk)
            return false;
        kind_ = GenKind::Generic;
    }
    isOpen_ = true;
    name_ = name;
    identify(); // tells a "StanfordResearchSystems" generator apart
    return true;
}

void GenDevice::close() {
    if (!isOpen_) return;
    isOpen_ = false;
    if (port_) {
        port_.reset();
    } else if (ftdiHandle_ != transport::kNoFtdiHandle) {
        reader_.stop();
        transport::d2xx().close(ftdiHandle_);
        ftdiHandle_ = transport::kNoFtdiHandle;
    } else if (visaAvailable_) {
        visa_->close(visaInstrument_);
        visaInstrument_ = 0;
    }
}

std::string GenDevice::identify() {
    if (!isOpen_) return {};
    if (kind_ == GenKind::Module)
        return parser_ == &syncParser_ ? kModuleIdentitySync : kModuleIdentityTagged;
    uint8_t reply[kIdentifyCapacity];
    uint32_t length = 0;
    if (send("*IDN?") != 0 || receive(reply, sizeof reply, length) != 0) return {};
    std::string text = identityText(reply, length);
    kind_ = identityKind(text);
    return text;
}

std::string GenDevice::shortName() {
    return shortNameOf(identify());
}

std::string identityText(const uint8_t* reply, uint32_t length) {
    std::string text(reinterpret_cast<const char*>(reply),
                     std::min<uint32_t>(length, kIdentifyCapacity - 1));
    while (!text.empty() && (text.back() == '\t' || text.back() == '\n' || text.back() == '\r' ||
                             text.back() == ' '))
        text.pop_back();
    return text;
}

GenKind identityKind(std::string_view identity) {
    return identity.find("StanfordResearchSystems") != std::string_view::npos ? GenKind::Stanford
                                                                              : GenKind::Generic;
}

std::string shortNameOf(std::string_view identity) {
    const size_t first = identity.find(',');
    if (first == std::string_view::npos) return {};
    const size_t second = identity.find(',', first + 1);
    if (second == std::string_view::npos) return {};
    return std::string(identity.substr(0, second));
}

int32_t GenDevice::send(std::string_view text) {
    if (port_) {
        std::string line(text);
        line += "\r\n";
        return port_->write(line.data(), static_cast<uint32_t>(line.size())) ? 0 : kFailed;
    }
    if (ftdiHandle_ != transport::kNoFtdiHandle) {
        uint32_t written = 0;
        return transport::d2xx().write(ftdiHandle_, const_cast<char*>(text.data()),
                                       static_cast<uint32_t>(text.size()), &written, nullptr)
                   ? 0
                   : kFailed;
    }
    if (visaAvailable_) {
        uint32_t written = 0;
        return visa_->write(visaInstrument_, reinterpret_cast<const uint8_t*>(text.data()),
                            static_cast<uint32_t>(text.size()), &written);
    }
    return 0;
}

int32_t GenDevice::receiveSerial(uint8_t* buffer, uint32_t capacity, uint32_t& length) {
    const uint32_t start = platform::tickMs();
    for (;;) {
        const int32_t n = port_->read(buffer, 1);
        if (n < 0) return kFailed;
        if (n == 1) break;
        if (platform::tickMs() - start > kFirstByteMs) return kFailed;
    }
    length = 1;
    while (length < capacity && !hasLineEnd(buffer, length)) {
        if (platform::tickMs() - start > kReplyLimitMs) break;
        const int32_t n = port_->read(buffer + length, capacity - length);
        if (n < 0) return kFailed;
        if (n == 0) break;
        length += static_cast<uint32_t>(n);
    }
    return 0;
}

int32_t GenDevice::receive(uint8_t* buffer, uint32_t capacity, uint32_t& length) {
    length = 0;
    if (!buffer || capacity < 2) return kFailed;
    if (port_) return receiveSerial(buffer, capacity, length);
    if (ftdiHandle_ != transport::kNoFtdiHandle) return 0; // modules answer their reader thread
    if (visaAvailable_) {
        uint32_t got = 0;
        const ViStatus status = visa_->read(visaInstrument_, buffer, capacity, &got);
        visa_->clear(visaInstrument_);
        length = std::min(got, capacity); // a driver's count past the buffer is not believed
        return status;
    }
    return 0;
}

} // namespace zs::generators

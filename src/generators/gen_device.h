#pragma once
#include "frame/generator.h"
#include "generators/output_module.h"
#include "generators/visa_binding.h"
#include "platform/serial_port.h"
#include "transport/d2xx.h"
#include "transport/packet_process.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace zs::generators {

enum class GenKind : int32_t {
    Generic = 0,  // any SCPI generator
    Stanford = 1, // one that names "StanfordResearchSystems" as its maker
    Module = 2,   // the maker's output module
};

inline constexpr uint32_t kParserBufferSize = 128;
inline constexpr uint32_t kIdentifyCapacity = 256;

// The text of a "*IDN?" reply of `length` bytes (the read may report more than the buffer
// holds): at most kIdentifyCapacity - 1 of them, without trailing blanks and line ends.
std::string identityText(const uint8_t* reply, uint32_t length);
// Which SCPI dialect an identity text calls for.
GenKind identityKind(std::string_view identity);
// Maker and model: an identity text up to its second comma; empty without two commas.
std::string shortNameOf(std::string_view identity);

// One generator of the list: a SCPI generator on a serial port or behind VISA, or an output
// module on FTDI. Closed after discovery; opened by name when first used.
class GenDevice : public frame::Generator {
  public:
    // Binds VISA (when the library is there) and opens a default resource manager.
    GenDevice();
    ~GenDevice() override;
    GenDevice(const GenDevice&) = delete;
    GenDevice& operator=(const GenDevice&) = delete;

    // Closes first if open. Serial paths, "DIN_"/"DOUT_" + FTDI serial number, else VISA.
    bool open(const std::string& name);
    void close();
    // The reply to "*IDN?" (a fixed text for modules); empty when closed or unanswered.
    std::string identify();
    // Maker and model: the identification up to its second comma.
    std::string shortName();
    // 0 on success.
    int32_t send(std::string_view text);
    int32_t receive(uint8_t* buffer, uint32_t capacity, uint32_t& length);

    // The host's settings by generator kind; true when the generator took them.
    bool setFrequency(double hz, uint32_t channel);
    bool setLevel(double volts, uint32_t channel);
    bool setOffset(double volts, uint32_t channel);
    bool setUnits(int32_t units, uint32_t channel);
    bool setOutputState(int32_t on, uint32_t channel);
    bool setOutputLoad(double ohms, uint32_t channel);
    bool setSignalType(int32_t waveform, uint32_t channel);

    bool isOpen() const { return isOpen_; }
    GenKind kind() const { return kind_; }
    bool visaAvailable() const { return visaAvailable_; }
    ViSession visaManager() const { return visaManager_; }
    const VisaApi* visaApi() const { return visa_; }
    int32_t units() const { return units_; }
    const std::string& name() const { return name_; }
    ModuleState& module() { return module_; }
    transport::CDinPacketProcess& syncParser() { return syncParser_; }
    transport::CDoutPacketProcess& taggedParser() { return taggedParser_; }
    bool moduleReaderRunning() const { return reader_.running(); }

    // The name this entry was listed under (kept even while closed).
    std::string entryName;

  private:
    bool openModule(const std::string& serial, bool tagged);
    // Sends the formatted command; true when the send routine reports success.
    bool sendCommand(const char* format, ...);
    int32_t receiveSerial(uint8_t* buffer, uint32_t capacity, uint32_t& length);

    const VisaApi* visa_ = nullptr;
    bool visaAvailable_ = false;
    bool isOpen_ = false;
    ViSession visaManager_ = 0;
    ViSession visaInstrument_ = 0;
    std::unique_ptr<platform::SerialPort> port_;
    transport::FtHandle ftdiHandle_ = transport::kNoFtdiHandle;
    std::string name_;
    GenKind kind_ = GenKind::Generic;
    int32_t units_ = 1;
    transport::CDinPacketProcess syncParser_{kParserBufferSize};
    transport::CDoutPacketProcess taggedParser_{kParserBufferSize};
    transport::CPacketProcess* parser_ = &syncParser_;
    ModuleState module_;
    ModuleReader reader_;
};

} // namespace zs::generators

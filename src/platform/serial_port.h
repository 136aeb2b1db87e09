#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zs::platform {

// A serial port with the line settings signal generators use: 9600 bit/s, 8 data bits, no
// parity, 2 stop bits, no flow control, DTR and RTS raised. A read ends 10 ms after the last
// byte or 250 ms after it began; a write may take 1 ms per byte plus 10 ms.
class SerialPort {
  public:
    // Opens an existing port for this process alone; null when it cannot be opened.
    static std::unique_ptr<SerialPort> open(const std::string& path);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Writes every byte within the write time-out, or fails.
    bool write(const void* data, uint32_t length);
    // One read under the time-outs: the bytes read (0 when none came) or -1 when the port
    // failed, for example because it went away.
    int32_t read(void* buffer, uint32_t capacity);

  private:
    explicit SerialPort(intptr_t handle) : handle_(handle) {}
    intptr_t handle_;
};

// Whether a generator name is a serial-port path: "\\.\COMn" on Windows, "/dev/..." on Linux.
bool isSerialPortName(std::string_view name);

inline constexpr char kExtraPortsVariable[] = "ZS_SERIAL_PORTS";

// The ports discovery tries: "\\.\COM1" to "\\.\COM256" on Windows; on Linux the
// /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* devices that exist and the "/dev/" paths listed
// in the environment variable ZS_SERIAL_PORTS (separated by ':'), at most 256 in path order.
std::vector<std::string> serialPortCandidates();

// The system's own list, before any test seam.
std::vector<std::string> systemSerialCandidates();

// Test seam (C++ only): the candidates discovery tries from now on; null returns to the
// system's list. The list must outlive its installation.
void installSerialCandidatesForTests(const std::vector<std::string>* candidates);

} // namespace zs::platform

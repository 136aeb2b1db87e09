#include "platform/serial_port.h"

#include <cstdio>
#include <windows.h>

namespace zs::platform {

std::unique_ptr<SerialPort> SerialPort::open(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    SetCommState(h, &dcb);
    COMMTIMEOUTS timeouts{10, 0, 250, 1, 10};
    SetCommTimeouts(h, &timeouts);
    EscapeCommFunction(h, SETDTR);
    EscapeCommFunction(h, SETRTS);
    // What the line received before we held it answers nothing we are about to ask.
    PurgeComm(h, PURGE_RXCLEAR);
    return std::unique_ptr<SerialPort>(new SerialPort(reinterpret_cast<intptr_t>(h)));
}

SerialPort::~SerialPort() {
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool SerialPort::write(const void* data, uint32_t length) {
    DWORD written = 0;
    // The write time-out ends a stalled write with fewer bytes: that is a failure too.
    return WriteFile(reinterpret_cast<HANDLE>(handle_), data, length, &written, nullptr) &&
           written == length;
}

int32_t SerialPort::read(void* buffer, uint32_t capacity) {
    DWORD got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, capacity, &got, nullptr)) return -1;
    return static_cast<int32_t>(got);
}

std::vector<std::string> systemSerialCandidates() {
    std::vector<std::string> ports;
    char path[32];
    for (int n = 1; n <= 256; ++n) {
        std::snprintf(path, sizeof path, "\\\\.\\COM%d", n);
        ports.emplace_back(path);
    }
    return ports;
}

} // namespace zs::platform

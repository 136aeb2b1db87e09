#include "usb_drivers.h"

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#else
#include <link.h>
#endif

namespace zsig {
namespace {

struct Known {
    const char* file; // the file name, or its start on Linux (versions follow)
    const char* link;
    const char* binding;
};
#ifdef _WIN32
constexpr Known kKnown[] = {{"ftd2xx.dll", "FTDI", "D2XX"}, {"winusb.dll", "WinUSB", "WinUSB"}};
#else
constexpr Known kKnown[] = {{"libftd2xx.so", "FTDI", "D2XX"},
                            {"libftdi1.so", "FTDI", "libftdi1"},
                            {"libusb-1.0.so", "WinUSB", "libusb-1.0"}};

int collect(dl_phdr_info* info, size_t, void* out) {
    const std::string path = info->dlpi_name ? info->dlpi_name : "";
    const std::string name = path.substr(path.find_last_of('/') + 1);
    for (const Known& k : kKnown)
        if (name.rfind(k.file, 0) == 0)
            static_cast<std::vector<UsbDriver>*>(out)->push_back({k.link, k.binding, path});
    return 0;
}
#endif

} // namespace

std::vector<UsbDriver> loadedUsbDrivers() {
    std::vector<UsbDriver> drivers;
#ifdef _WIN32
    for (const Known& k : kKnown) {
        HMODULE module = GetModuleHandleA(k.file);
        if (!module) continue;
        char path[MAX_PATH] = {};
        GetModuleFileNameA(module, path, MAX_PATH);
        drivers.push_back({k.link, k.binding, path});
    }
#else
    dl_iterate_phdr(collect, &drivers);
#endif
    std::stable_sort(drivers.begin(), drivers.end(),
                     [](const UsbDriver& a, const UsbDriver& b) { return a.link < b.link; });
    return drivers;
}

std::string describeUsbDrivers(const std::vector<UsbDriver>& drivers) {
    std::string line = "USB drivers:";
    bool ftdi = false;
    for (const UsbDriver& d : drivers) {
        line += (line.back() == ':' ? " " : ", ") + d.link + " through " + d.binding + " (" +
                d.path + ")";
        ftdi = ftdi || d.link == "FTDI";
    }
    if (!ftdi) {
#ifdef _WIN32
        line += std::string(line.back() == ':' ? " " : ", ") +
                "no FTDI driver (ftd2xx.dll could not be loaded)";
#else
        line += std::string(line.back() == ':' ? " " : ", ") +
                "no FTDI driver (neither libftd2xx.so nor libftdi1.so.2 could be loaded)";
#endif
    }
    return line;
}

} // namespace zsig

// zsig list: builds the device list (USB, or one Wi-Fi instrument, or the Ethernet ones)
// and shows one line per instrument.
#include "list_command.h"

#include "usb_drivers.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace zsig {

int buildDeviceList(const zs::host::Library& lib, const ListRequest& request) {
    if (request.wifi) {
        const std::u16string address = utf16(request.address);
        int32_t index = -1;
        if (!ZS_HOST_GET(lib, K427_AttachWiFiDevice)(nullptr, wideText(address), &index))
            throw Failure("no Wi-Fi instrument answered at " + request.address);
    } else if (request.ethernet) {
        const std::u16string address = utf16(request.address);
        int32_t index = -1;
        ZS_HOST_GET(lib, K427_AttachEthDevice)
        (request.address.empty() ? nullptr : wideText(address), &index);
    } else {
        ZS_HOST_GET(lib, K427_BuildFList)();
    }
    return ZS_HOST_GET(lib, K427_GetDeviceCount)();
}

const char* linkName(const ListRequest& request) {
    return request.wifi ? "Wi-Fi" : request.ethernet ? "Ethernet" : "USB";
}

void printDeviceHeading() {
    std::printf("%-5s  %-5s  %-10s  %-8s  %-8s  %s\n", "index", "type", "serial", "channels",
                "link", "online");
}

void printDevices(const zs::host::Library& lib, int first, int end, const char* link) {
    for (int i = first; i < end; ++i) {
        const int32_t vin = ZS_HOST_GET(lib, K427_GetDeviceVIN)(i);
        char serial[16];
        if (vin == -1)
            std::snprintf(serial, sizeof serial, "-");
        else
            std::snprintf(serial, sizeof serial, "%u", static_cast<unsigned>(vin));
        std::printf("%-5d  %-5d  %-10s  %-8d  %-8s  %s\n", i,
                    ZS_HOST_GET(lib, K427_GetDeviceType)(i), serial,
                    ZS_HOST_GET(lib, K427_GetChannelN)(i), link,
                    ZS_HOST_GET(lib, K427_IsDeviceOnLine)(i) ? "yes" : "no");
    }
}

int runList(const zs::host::Library& lib, const ListRequest& request) {
    const int count = buildDeviceList(lib, request);
    const bool usb = !request.wifi && !request.ethernet;
    if (usb) {
        const auto drivers = loadedUsbDrivers();
        std::printf("%s\n", describeUsbDrivers(drivers).c_str());
        // Without an FTDI driver the list builder stops before it looks at any USB device:
        // nothing is wrong with the search, there is nothing to search with.
        const bool ftdi = std::any_of(drivers.begin(), drivers.end(),
                                      [](const UsbDriver& d) { return d.link == "FTDI"; });
        if (count == 0 && !ftdi) {
            std::printf("no USB instruments listed: no FTDI driver could be loaded (the README "
                        "says which)\n");
            return 0;
        }
    }
    if (count == 0) {
        ZS_HOST_GET(lib, K427_FreeFList)();
        throw Failure("no instruments found");
    }
    printDeviceHeading();
    printDevices(lib, 0, count, linkName(request));
    ZS_HOST_GET(lib, K427_FreeFList)();
    return 0;
}

void addLinkOptions(CLI::App& command, ListRequest& request) {
    CLI::Option* wifi = command.add_option("--wifi", request.address,
                                           "The Wi-Fi instrument at this address instead of USB");
    CLI::Option* eth =
        command
            .add_option("--eth", request.address,
                        "Ethernet instruments at this address (none: every adapter's broadcast "
                        "address) instead of USB")
            ->expected(0, 1);
    wifi->excludes(eth);
    // Which of them was given is known once the line is parsed.
    command.parse_complete_callback([&request, wifi, eth] {
        request.wifi = wifi->count() > 0;
        request.ethernet = eth->count() > 0;
    });
}

void addListCommand(CLI::App& app, Context& context) {
    auto request = std::make_shared<ListRequest>();
    CLI::App* cmd =
        context.command(app, "list", "List the instruments found, one line each",
                        [request](Context& c) { return runList(c.library(), *request); });
    addLinkOptions(*cmd, *request);
}

} // namespace zsig

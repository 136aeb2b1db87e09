// Demo step: instruments of every link found and identified. USB instruments of both
// families are plugged into the simulated D2XX driver, a Wi-Fi and an Ethernet instrument
// listen on loopback addresses, and the library's list shows them all.
#include "demo.h"
#include "demo_simulators.h"
#include "list_command.h"

#include <cstdio>
#include <string>

namespace zsig {
namespace {

struct Plugged {
    const char* serial;
    const char* description;
    const char* keys;
    const char* shown; // what the demo says it is
};

const Plugged kUsb[] = {
    {"ZD000001A", "Brevane DOUT20", "family=tagged,rate=2304000,type=28,vin=0x31001",
     "tagged family at 2304000 baud"},
    {"ZD000002B", "Brevane DOUT20", "family=sync,rate=768000,programs=40+41,type=38,vin=0x31002",
     "sync family, program list at 768000 baud"},
    {"ZD000003", "QRNT", "family=sync,rate=230400,streams,type=38,vin=0x31003",
     "sync family talking unasked at 230400 baud"},
};

} // namespace

int demoInstrumentsFound(Context& context, const DemoEnv&) {
    const auto& lib = context.library();
    const SimulatedD2xx d2xx;
    SimulatedNetwork network(d2xx);
    const StepCleanup cleanup(lib, d2xx, &network);
    d2xx.reset();

    std::string text;
    std::printf("  plugged into the simulated D2XX driver:\n");
    for (const Plugged& p : kUsb) {
        std::printf("    %-10s %-16s %s\n", p.serial, p.description, p.shown);
        text +=
            std::string(text.empty() ? "" : ";") + p.serial + "|" + p.description + "|" + p.keys;
    }
    d2xx.plug(text);
    const uint32_t wifiAddress = demoLoopbackAddress(1);
    // An odd host number: under Wine the instrument's socket listens on every address and
    // answers from 127.0.0.1, which the library accepts only from an address it is a subset of.
    const uint32_t ethernetAddress = demoLoopbackAddress(3);
    const std::string wifi = dotted(wifiAddress);
    const std::string ethernet = dotted(ethernetAddress);
    const bool wifiListens = network.startWiFi(wifiAddress, 55, 0x31004, 10);
    std::printf("  a Wi-Fi instrument with two channels at %s: %s\n", wifi.c_str(),
                wifiListens ? "listening" : "cannot listen there");
    const bool ethernetListens = network.startEthernet(ethernetAddress, 0x31006, 10);
    std::printf("  an Ethernet instrument at %s: %s\n", ethernet.c_str(),
                ethernetListens ? "listening on UDP port 22"
                                : "cannot take UDP port 22 there (a port below 1024 may "
                                  "need privileges); shown without it");

    std::printf("\n  K427_BuildFList, K427_AttachWiFiDevice, K427_AttachEthDevice:\n\n");
    const int usb = ZS_HOST_GET(lib, K427_BuildFList)();
    printDeviceHeading();
    printDevices(lib, 0, usb, "USB");
    int count = usb;
    if (wifiListens) {
        const std::u16string address = utf16(wifi);
        if (ZS_HOST_GET(lib, K427_AttachWiFiDevice)(wideText(address), wideText(address),
                                                    nullptr)) {
            const int now = ZS_HOST_GET(lib, K427_GetDeviceCount)();
            printDevices(lib, count, now, "Wi-Fi");
            count = now;
        } else {
            std::printf("  (the Wi-Fi instrument did not answer)\n");
        }
    }
    if (ethernetListens) {
        const std::u16string address = utf16(ethernet);
        if (ZS_HOST_GET(lib, K427_AttachEthDevice)(wideText(address), nullptr) > 0) {
            const int now = ZS_HOST_GET(lib, K427_GetDeviceCount)();
            printDevices(lib, count, now, "Ethernet");
            count = now;
        } else {
            std::printf("  (the Ethernet instrument did not answer)\n");
        }
    }
    std::printf("\n  %d instruments found: %d on USB, %d over the network\n", count, usb,
                count - usb);
    ZS_HOST_GET(lib, K427_FreeFList)();
    std::printf("  K427_FreeFList: %d devices left in the list\n",
                ZS_HOST_GET(lib, K427_GetDeviceCount)());
    return 0;
}

} // namespace zsig

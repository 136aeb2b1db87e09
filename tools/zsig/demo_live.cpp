// Demo steps on a streaming USB instrument: its values as a live table, and a control command
// arriving at the instrument.
#include "demo.h"
#include "demo_simulators.h"
#include "output.h"
#include "watch_command.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace zsig {
namespace {

const char kSerial[] = "ZD000011A";
const char kInstrument[] = "ZD000011A|Brevane DOUT20|family=tagged,rate=2304000,type=28,"
                           "vin=0x31011,records=10";
constexpr double kLiveSeconds = 3;

// Plugs in the one instrument of these steps and lists it; Failure when it is not found.
void listInstrument(const zs::host::Library& lib, const SimulatedD2xx& d2xx) {
    d2xx.reset();
    d2xx.plug(kInstrument);
    if (ZS_HOST_GET(lib, K427_BuildFList)() != 1)
        throw Failure("the simulated instrument was not found");
}

} // namespace

int demoLiveTable(Context& context, const DemoEnv&) {
    const auto& lib = context.library();
    const SimulatedD2xx d2xx;
    const StepCleanup cleanup(lib, d2xx);
    listInstrument(lib, d2xx);
    std::printf(
        "  device 0 (type %d, serial %d) streams 10 records a second; the sound levels of\n"
        "  its channel 0 (band set 2) for %.0f seconds, through K427_WaitForTelePacket and\n"
        "  K427_GetData:\n\n",
        ZS_HOST_GET(lib, K427_GetDeviceType)(0), ZS_HOST_GET(lib, K427_GetDeviceVIN)(0),
        kLiveSeconds);
    LiveTable table;
    table.redraw = stdoutIsTerminal() ? LiveTable::Redraw::Below : LiveTable::Redraw::EverySecond;
    table.channel = 0;
    table.bandSet = 2;
    table.durationSeconds = kLiveSeconds;
    const uint64_t records = showLiveValues(lib, 0, table);
    std::printf("  %llu records in %.0f seconds\n", static_cast<unsigned long long>(records),
                kLiveSeconds);
    if (records == 0) throw Failure("the simulated instrument sent no records");
    return 0;
}

int demoCommand(Context& context, const DemoEnv&) {
    const auto& lib = context.library();
    const SimulatedD2xx d2xx;
    const StepCleanup cleanup(lib, d2xx);
    listInstrument(lib, d2xx);
    if (!ZS_HOST_GET(lib, K427_WaitForTelePacket)(0, 3000))
        throw Failure("the simulated instrument sent no records");

    // Sends one command and shows what reached the instrument: its bytes, and the commands
    // the instrument reads in them.
    auto send = [&](const char* call, const char* expected, const std::function<void()>& command) {
        const size_t before = d2xx.written(kSerial).size();
        command();
        std::vector<std::string> received;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        for (bool found = false; !found && std::chrono::steady_clock::now() < end;) {
            received = d2xx.commands(kSerial, before);
            for (const auto& line : received) found = found || line.rfind(expected, 0) == 0;
            if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const auto bytes = d2xx.written(kSerial);
        std::string hex;
        for (size_t i = before; i < bytes.size() && i < before + 24; ++i) {
            char b[4];
            std::snprintf(b, sizeof b, "%s%02X", hex.empty() ? "" : " ", bytes[i]);
            hex += b;
        }
        std::printf("  %s\n", call);
        std::printf("    bytes on the line     : %s\n", hex.empty() ? "(none)" : hex.c_str());
        const char* label = "    instrument received   : ";
        for (const auto& line : received) {
            std::printf("%s%s\n", label, line.c_str());
            label = "                            ";
        }
        if (received.empty()) std::printf("%s(nothing yet)\n", label);
    };
    std::printf(
        "  device 0 (type %d, serial %d) is streaming; commands go out on its I/O thread:\n",
        ZS_HOST_GET(lib, K427_GetDeviceType)(0), ZS_HOST_GET(lib, K427_GetDeviceVIN)(0));
    send("K427_SendRangeCmd(0, 3): measuring range 3", "range", [&] {
        ZS_HOST_GET(lib, K427_SendRangeCmd)(0, 3);
    });
    send("K427_SendStartStopCmd(0): start/stop measuring", "startStop", [&] {
        ZS_HOST_GET(lib, K427_SendStartStopCmd)(0);
    });
    const size_t before = d2xx.written(kSerial).size();
    ZS_HOST_GET(lib, K427_FreeFList)();
    std::printf("  K427_FreeFList\n");
    const char* label = "    instrument received   : ";
    for (const auto& line : d2xx.commands(kSerial, before)) {
        std::printf("%s%s\n", label, line.c_str());
        label = "                            ";
    }
    return 0;
}

} // namespace zsig

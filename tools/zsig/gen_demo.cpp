// The generator step of zsig demo: a simulated SCPI generator on a pseudo-terminal, two
// behind the simulated VISA driver and a simulated output module on the simulated D2XX
// driver, found, named and set through the library's exports, with what each received.
#include "demo.h"
#include "demo_simulators.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace zsig {
namespace {

#if defined(_WIN64)
const char kVisaSim[] = "visa64.dll";
#elif defined(_WIN32)
const char kVisaSim[] = "visa32.dll";
#else
const char kVisaSim[] = "libvisa.so";
#endif

const char kGeneric[] = "USB0::0x2A8D::0x0001::ZSDEMO1::INSTR";
const char kStanford[] = "USB0::0x2A8D::0x0002::ZSDEMO2::INSTR";
const char kModule[] = "ZSDEMO3A";
const char kSerialIdentity[] = "Zentrel Simulation,SG-10,ZSDEMO0,1.0";

// What a generator received, one command a line.
void printReceived(const std::vector<std::string>& commands) {
    const char* label = "    received        : ";
    for (const std::string& command : commands) {
        std::printf("%s%s\n", label, command.c_str());
        label = "                      ";
    }
}

} // namespace

int demoGenerators(Context& context, const DemoEnv&) {
    const auto& lib = context.library();
    std::printf("  through K427_BuildGenList, K427_GetGenName and the K427_GenSet... exports\n");
    try {
        const zs::host::Library visa(kVisaSim);
        const SimulatedD2xx simulatedD2xx;
        const StepCleanup cleanup(lib, simulatedD2xx);
        const zs::host::Library& d2xx = simulatedD2xx.library();
        auto addInstrument =
            visa.get<void (*)(const char*, const char*)>("ZsSimVisa_AddInstrument");
        auto visaLog = visa.get<int (*)(const char*, char*, uint32_t)>("ZsSimVisa_Log");
        auto addModule =
            d2xx.get<void (*)(const char*, const char*, int)>("ZsSimD2xx_AddOutputModule");
        auto moduleState =
            d2xx.get<int (*)(const char*, uint32_t*, uint32_t*, uint32_t*, uint32_t*)>(
                "ZsSimD2xx_ModuleState");
        addInstrument(kGeneric, "Zentrel Simulation,SG-20,ZSDEMO1,1.0");
        addInstrument(kStanford, "StanfordResearchSystems,DS360,ZSDEMO2,1.0");
        addModule(kModule, "Brevane DOUT20", 1);
        const SimulatedSerialGenerator serial(simulatedD2xx, kSerialIdentity);
        if (serial.ready())
            std::printf(
                "  a SCPI generator on the pseudo-terminal %s (listed in ZS_SERIAL_PORTS)\n",
                serial.path().c_str());
        else
            std::printf("  (no pseudo-terminal here for a serial-port generator)\n");

        const int32_t count = ZS_HOST_GET(lib, K427_BuildGenList)();
        std::printf("  generators found  : %d\n", count);
        int32_t onSerial = -1, generic = -1, stanford = -1, module = -1;
        for (int32_t i = 0; i < count; ++i) {
            ZS_WCHAR buffer[128];
            const std::string name =
                ZS_HOST_GET(lib, K427_GetGenName)(i, buffer, 128) > 0 ? utf8(buffer) : "";
            std::printf("  %5d             : %s\n", i,
                        name.empty() ? "(does not answer)" : name.c_str());
            if (name == "Zentrel Simulation,SG-10") onSerial = i;
            if (name == "Zentrel Simulation,SG-20") generic = i;
            if (name == "StanfordResearchSystems,DS360") stanford = i;
            if (name == "Brevane,BRV-AX-410[DOUT]") module = i;
        }
        auto showLog = [&](const char* resource) {
            char text[2048];
            if (visaLog(resource, text, sizeof text) >= 0) printReceived(splitLines(text));
        };
        if (onSerial >= 0) {
            std::printf("  generator %d: 440 Hz sine, 1 V RMS, output on\n", onSerial);
            ZS_HOST_GET(lib, K427_GenSetFreq)(onSerial, 440.0, 0);
            ZS_HOST_GET(lib, K427_GenSetSignalType)(onSerial, 1, 0);
            ZS_HOST_GET(lib, K427_GenSetLevel)(onSerial, 1.0, 0);
            ZS_HOST_GET(lib, K427_GenSetOutputState)(onSerial, 1, 0);
            // The terminal hands the lines over a moment after the library wrote them.
            serial.waitFor("OUTPUT 1", 2000);
            printReceived(serial.commands());
        }
        if (generic >= 0) {
            std::printf(
                "  generator %d: 1 kHz on channel 1, 0.5 V peak to peak, square wave, output on\n",
                generic);
            ZS_HOST_GET(lib, K427_GenSetFreq)(generic, 1000.0, 1);
            ZS_HOST_GET(lib, K427_GenSetUnits)(generic, 2, 1);
            ZS_HOST_GET(lib, K427_GenSetLevel)(generic, 0.5, 1);
            ZS_HOST_GET(lib, K427_GenSetSignalType)(generic, 2, 1);
            ZS_HOST_GET(lib, K427_GenSetOutputState)(generic, 1, 1);
            showLog(kGeneric);
        }
        if (stanford >= 0) {
            std::printf(
                "  generator %d: 0.5 V peak to peak into 50 ohm; a 75 ohm load is %s\n", stanford,
                ZS_HOST_GET(lib, K427_GenSetOutputLoad)(stanford, 75.0, 0) ? "taken" : "refused");
            ZS_HOST_GET(lib, K427_GenSetUnits)(stanford, 2, 0);
            ZS_HOST_GET(lib, K427_GenSetLevel)(stanford, 0.5, 0);
            ZS_HOST_GET(lib, K427_GenSetOutputLoad)(stanford, 50.0, 0);
            showLog(kStanford);
        }
        if (module >= 0) {
            std::printf("  generator %d: output module to 2 kHz at -20 dB, output on\n", module);
            ZS_HOST_GET(lib, K427_GenSetFreq)(module, 2000.0, 0);
            ZS_HOST_GET(lib, K427_GenSetLevel)(module, 1.0, 0);
            ZS_HOST_GET(lib, K427_GenSetOutputState)(module, 1, 0);
            // The module takes the settings when it next reports its status.
            uint32_t freqWord = 0, levelWord = 0;
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (std::chrono::steady_clock::now() < end) {
                moduleState(kModule, &freqWord, &levelWord, nullptr, nullptr);
                if (freqWord == 699051 && levelWord == 0x8028) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            std::printf("    module reports  : frequency word %u (%.1f Hz), level word 0x%04X\n",
                        freqWord, freqWord * 48000.0 / 16777216.0, levelWord);
        }
    } catch (const std::runtime_error& e) {
        throw Failure(std::string("simulated generators: ") + e.what());
    }
    return 0;
}

} // namespace zsig

// Output modules on the simulated D2XX shared library: added by a test through
// ZsSimD2xx_AddOutputModule, or at load from ZS_SIM_OUTPUT_MODULES
// ("serial=description=tagged or sync|...").
#include "sim_d2xx.h"
#include "sim_export.h"
#include "sim_output_module.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

using zs::sim::OutputModuleModel;
using zs::sim::SimD2xx;

namespace {

std::map<std::string, std::shared_ptr<OutputModuleModel>>& models() {
    static std::map<std::string, std::shared_ptr<OutputModuleModel>> m;
    return m;
}

void addModule(const std::string& serial, const std::string& description, bool tagged) {
    auto& sim = SimD2xx::instance();
    sim.locked([&] {
        OutputModuleModel model;
        model.family = tagged ? OutputModuleModel::Family::Tagged : OutputModuleModel::Family::Sync;
        auto& device = sim.addDevice(serial, description);
        models()[serial] = OutputModuleModel::attach(device, model);
        return 0;
    });
}

struct FromEnvironment {
    FromEnvironment() {
        const char* list = std::getenv("ZS_SIM_OUTPUT_MODULES");
        if (!list) return;
        const std::string text = list;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('|', start);
            if (end == std::string::npos) end = text.size();
            const std::string item = text.substr(start, end - start);
            const size_t a = item.find('=');
            const size_t b = a == std::string::npos ? a : item.find('=', a + 1);
            if (b != std::string::npos)
                addModule(item.substr(0, a), item.substr(a + 1, b - a - 1),
                          item.substr(b + 1) == "tagged");
            start = end + 1;
        }
    }
} g_fromEnvironment;

} // namespace

// Adds an output module (tagged: nonzero for the tagged-packet family, else sync packets).
SIM_EXPORT void ZsSimD2xx_AddOutputModule(const char* serial, const char* description, int tagged) {
    addModule(serial ? serial : "", description ? description : "", tagged != 0);
}

// What a module has taken: its frequency word, level word and how many commands of each
// kind arrived. 0 for an unknown serial number.
SIM_EXPORT int ZsSimD2xx_ModuleState(const char* serial, uint32_t* freqWord, uint32_t* levelWord,
                                     uint32_t* frequencyCommands, uint32_t* levelCommands) {
    auto& sim = SimD2xx::instance();
    return sim.locked([&] {
        auto it = models().find(serial ? serial : "");
        if (it == models().end()) return 0;
        const OutputModuleModel& m = *it->second;
        if (freqWord) *freqWord = m.freqWord;
        if (levelWord) *levelWord = m.levelWord;
        if (frequencyCommands) *frequencyCommands = m.frequencyCommands;
        if (levelCommands) *levelCommands = m.levelCommands;
        return 1;
    });
}

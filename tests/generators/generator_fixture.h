#pragma once
#include "frame/library.h"
#include "generators/gen_registry.h"
#include "generators/visa_binding.h"
#include "platform/serial_port.h"
#include "sim_d2xx.h"
#include "sim_output_module.h"
#include "sim_visa.h"
#include "transport/d2xx.h"
#include "zentrel_signal.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace zs::test {

// A freshly loaded library with the simulated D2XX and VISA drivers installed and the serial
// candidates the test names (none at first).
class GeneratorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::SimD2xx::instance().reset();
        sim::SimVisa::instance().reset();
        transport::installD2xxForTests(&sim::SimD2xx::table());
        generators::installVisaForTests(&sim::SimVisa::table());
        platform::installSerialCandidatesForTests(&ports);
        frame::libraryLoad();
    }
    void TearDown() override {
        frame::libraryUnload();
        platform::installSerialCandidatesForTests(nullptr);
        generators::installVisaForTests(nullptr);
        transport::installD2xxForTests(nullptr);
        sim::SimVisa::instance().reset();
        sim::SimD2xx::instance().reset();
    }

    // Every generator's name as the host sees it.
    static std::vector<std::string> names() {
        std::vector<std::string> out;
        for (int32_t i = 0; i < K427_GetGenCount(); ++i) out.push_back(name(i));
        return out;
    }
    // The names the generators were listed under (paths, resources, "DIN_"/"DOUT_" + serial).
    static std::vector<std::string> entryNames() {
        std::vector<std::string> out;
        for (auto& g : frame::lib().generators)
            out.push_back(static_cast<generators::GenDevice&>(*g).entryName);
        return out;
    }
    static std::string name(int32_t index) {
        ZS_WCHAR buffer[128];
        const int32_t n = K427_GetGenName(index, buffer, 128);
        std::string s;
        for (int32_t i = 0; i < n && buffer[i]; ++i) s += static_cast<char>(buffer[i]);
        return s;
    }

    std::shared_ptr<sim::OutputModuleModel> addModule(const std::string& serial,
                                                      const std::string& description, bool tagged,
                                                      bool sendsStatus = true) {
        auto& d = sim::SimD2xx::instance().addDevice(serial, description);
        sim::OutputModuleModel m;
        m.family =
            tagged ? sim::OutputModuleModel::Family::Tagged : sim::OutputModuleModel::Family::Sync;
        m.sendsStatus = sendsStatus;
        return sim::OutputModuleModel::attach(d, m);
    }

    template <class Pred>
    static bool eventually(Pred pred, int timeoutMs = 3000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (sim::SimD2xx::instance().locked(pred)) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    std::vector<std::string> ports;
};

} // namespace zs::test

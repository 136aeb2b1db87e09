#include "platform/debug_output.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace zs::platform;

TEST(DebugOutput, CaptureSeesEveryTextUntilRemoved) {
    std::vector<std::string> seen;
    setDebugCapture([&](std::string_view t) { seen.emplace_back(t); });
    debugOutput("first\n");
    debugOutput("second");
    setDebugCapture(nullptr);
    debugOutput("unseen");
    EXPECT_EQ(seen, (std::vector<std::string>{"first\n", "second"}));
}

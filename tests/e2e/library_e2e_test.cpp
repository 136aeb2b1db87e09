#include "../../tools/hostlib/zs_host.h"
#include "e2e/sim_d2xx_driver.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>

using zs::host::Library;

TEST(HostLoadsLibrary, VersionCountAndTeleTypeWithoutDevices) {
    Library lib;
    EXPECT_EQ(ZS_HOST_GET(lib, K427_GetLibraryVersion)(), 131083);
    EXPECT_EQ(ZS_HOST_GET(lib, K427_GetDeviceCount)(), 0);
    EXPECT_EQ(ZS_HOST_GET(lib, GetTeleType)(), -1);
}

TEST(HostLoadsLibrary, LoadsAndUnloadsSeveralTimes) {
    for (int round = 0; round < 4; ++round) {
        Library lib;
        ASSERT_EQ(ZS_HOST_GET(lib, K427_GetDeviceCount)(), 0) << round;
    }
}

#ifdef _WIN32
TEST(HostLoadsLibrary, VersionResourceSays2_11) {
    const DWORD size = GetFileVersionInfoSizeA("ZentrelSignal.dll", nullptr);
    ASSERT_GT(size, 0u);
    std::string data(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA("ZentrelSignal.dll", 0, size, data.data()));
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length));
    EXPECT_EQ(info->dwFileVersionMS, 0x0002000Bu);
}
#endif

TEST(HostLoadsLibrary, OnlyDocumentedNamesAreExported) {
    Library lib;
    EXPECT_EQ(lib.symbol("libraryLoad"), nullptr);
#ifdef _WIN32
    EXPECT_EQ(lib.symbol("K427_GetLibraryVersion@0"), nullptr);
    EXPECT_EQ(lib.symbol("_K427_GetLibraryVersion@0"), nullptr);
#endif
}

// A host that unloads the library while a list streams and an output module runs gets its
// unload back at once: nothing waits for a thread under the system loader's lock. The library
// loads again afterwards; freeing what the host left there lets it go for good.
TEST(HostLoadsLibrary, UnloadReturnsWhileAListStreamsAndAModuleRuns) {
    zs::test::Driver driver;
    driver.reset();
    ASSERT_TRUE(driver.plug("TG000001A|Brevane DOUT20|family=tagged,rate=2304000,vin=0x31001"));
    driver.lib.get<void (*)(const char*, const char*, int)>("ZsSimD2xx_AddOutputModule")(
        "ZS41000A", "Brevane DOUT20", 1);
    auto lib = std::make_unique<Library>();
    const int32_t generators = ZS_HOST_GET(*lib, K427_BuildGenList)();
    int32_t module = -1;
    std::string names;
    for (int32_t i = 0; i < generators; ++i) {
        ZS_WCHAR name[64] = {};
        ZS_HOST_GET(*lib, K427_GetGenName)(i, name, 64);
        std::string text;
        for (int k = 0; k < 64 && name[k]; ++k) text += static_cast<char>(name[k]);
        if (text.starts_with("Brevane,BRV-AX-410")) module = i;
        names += text + "; ";
    }
    ASSERT_GE(module, 0) << names;
    ASSERT_EQ(ZS_HOST_GET(*lib, K427_GenSetFreq)(module, 1000.0, 0), 1);
    // The module is in use now, so the list takes the instrument alone.
    ASSERT_EQ(ZS_HOST_GET(*lib, K427_BuildFList)(), 1);

    std::atomic<bool> returned{false};
    std::thread unload([&] {
        lib.reset();
        returned = true;
    });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!returned && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!returned) {
        // The unloading thread is stuck for good: report and leave rather than hang the run.
        std::fputs("unloading the library did not return\n", stderr);
        std::fflush(stderr);
#ifdef _WIN32
        TerminateProcess(GetCurrentProcess(), 1); // exiting would wait for the loader's lock
#endif
        std::_Exit(1);
    }
    unload.join();

    Library again;
    EXPECT_EQ(ZS_HOST_GET(again, K427_GetLibraryVersion)(), 131083);
    ZS_HOST_GET(again, K427_FreeFList)();
    ZS_HOST_GET(again, K427_BuildGenList)();
    EXPECT_EQ(ZS_HOST_GET(again, K427_GetDeviceCount)(), 0);
    driver.reset();
}

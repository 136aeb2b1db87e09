#include "../../tools/hostlib/zs_host.h"

#include <gtest/gtest.h>

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

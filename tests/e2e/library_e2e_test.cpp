#include <gtest/gtest.h>

#include "../../tools/hostlib/zs_host.h"

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

TEST(HostLoadsLibrary, OnlyDocumentedNamesAreExported) {
    Library lib;
    EXPECT_EQ(lib.symbol("libraryLoad"), nullptr);
#ifdef _WIN32
    EXPECT_EQ(lib.symbol("K427_GetLibraryVersion@0"), nullptr);
    EXPECT_EQ(lib.symbol("_K427_GetLibraryVersion@0"), nullptr);
#endif
}

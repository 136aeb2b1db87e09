#include "frame/description_guard.h"
#include "support/library_fixture.h"

#include <gtest/gtest.h>

namespace zs::test {
namespace {

using DescriptionGuard = LibraryTest;

TEST_F(DescriptionGuard, ReadsAtMostOnce) {
    auto& state = frame::lib();
    EXPECT_EQ(state.descriptionLoaded, 0);
    frame::ensureDescriptionLoaded();
    EXPECT_EQ(state.descriptionLoaded, 1);

    state.description.bandNames = {u"marker"};
    frame::ensureDescriptionLoaded();
    EXPECT_EQ(state.description.bandNames, std::vector<std::u16string>{u"marker"});
}

} // namespace
} // namespace zs::test

#pragma once
#include <gtest/gtest.h>

#include "frame/library.h"

namespace zs::test {

// Every test starts from a freshly loaded library state and leaves none behind.
class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override { frame::libraryLoad(); }
    void TearDown() override { frame::libraryUnload(); }
};

} // namespace zs::test

#include "app/instance_guard.h"

#include <gtest/gtest.h>

#include "support/image_builder.h"

namespace prendle::app {
namespace {

TEST(InstanceGuard, ASecondInstanceIsRefusedUntilTheFirstEnds) {
    test::TempFolder folder;
    auto first = std::make_unique<InstanceGuard>(folder.path());
    EXPECT_TRUE(first->acquired());
    InstanceGuard second(folder.path());
    EXPECT_FALSE(second.acquired());
    first.reset();
    InstanceGuard third(folder.path());
    EXPECT_TRUE(third.acquired());
    EXPECT_STREQ(kAnotherInstanceText, "Another instance of application is already running");
}

}  // namespace
}  // namespace prendle::app

#include <gtest/gtest.h>

#include "activity_log.h"

TEST(ActivityLog, Placeholder) { EXPECT_EQ(1, 1); }

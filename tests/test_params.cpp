#include <gtest/gtest.h>
#include "params.h"
TEST(Placeholder, Builds) { EXPECT_EQ(sq(3.0), 9.0); }

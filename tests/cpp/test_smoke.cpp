#include <gtest/gtest.h>

#include "decimal.hpp"

TEST(Decimal, DefaultIsZeroAtScaleZero) {
  tallyforge::Decimal d;
  EXPECT_TRUE(d.is_zero());
  EXPECT_EQ(d.scale(), 0u);
}

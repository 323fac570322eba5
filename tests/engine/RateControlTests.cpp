// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "engine/Engine.h"

namespace sorvane {
namespace {

TEST(RateControl, WarmUpIsOneHundredBlocksOf220WhateverTheQueue) {
  RateControl r{kWarmUp, kWarmUpBlocks, 220};
  for (int i = 1; i <= 99; ++i) {
    EXPECT_EQ(RateControlStep(r, i % 20), 220);
    ASSERT_EQ(r.RateState, kWarmUp) << i;
  }
  EXPECT_EQ(RateControlStep(r, 0), 220);
  EXPECT_EQ(r.RateState, kSteady);  // the 100th processed block switches
}

TEST(RateControl, SteersTheQueueIntoEightToTwelve) {
  RateControl r{kSteady, 0, 220};
  for (int q = 8; q <= 12; ++q) {
    EXPECT_EQ(RateControlStep(r, q), 220);
    EXPECT_EQ(r.RateState, kSteady);
  }
  EXPECT_EQ(RateControlStep(r, 7), 220);  // a change takes effect with the next block
  EXPECT_EQ(r.RateState, kLengthen);
  EXPECT_EQ(RateControlStep(r, 9), 242);
  EXPECT_EQ(RateControlStep(r, 10), 220);
  EXPECT_EQ(r.RateState, kSteady);
  EXPECT_EQ(RateControlStep(r, 13), 220);
  EXPECT_EQ(r.RateState, kShorten);
  EXPECT_EQ(RateControlStep(r, 11), 198);
  EXPECT_EQ(RateControlStep(r, 10), 220);
  EXPECT_EQ(r.RateState, kSteady);
}

}  // namespace
}  // namespace sorvane

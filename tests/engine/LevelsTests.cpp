// SPDX-License-Identifier: GPL-3.0-or-later
// The block meters at their edges: the most negative input sample, a song
// exactly at full scale, peaks held over blocks until read.
#include <gtest/gtest.h>

#include "engine/Levels.h"

namespace sorvane {
namespace {

TEST(LevelMeters, FullScaleEdgesAndPeaksHeldUntilTaken) {
  LevelMeters meters;
  const int16_t input[] = {5, -32768, 0};
  const int16_t song[] = {32767, -32767, 32766, -32766, 0};
  MeterBlock(meters, input, 3, song, 5);
  // A quieter block after it lowers no peak.
  const int16_t quietInput[] = {100};
  const int16_t quietSong[] = {-10};
  MeterBlock(meters, quietInput, 1, quietSong, 1);

  LevelReading reading = TakeLevels(meters);
  EXPECT_EQ(reading.InputPeak, 32768);
  EXPECT_EQ(reading.OutputPeak, 32767);
  EXPECT_EQ(reading.ClippedSamples, 2u);  // only the two at full scale

  // Read again: the peaks start from nothing, the count stays until cleared.
  reading = TakeLevels(meters);
  EXPECT_EQ(reading.InputPeak, 0);
  EXPECT_EQ(reading.OutputPeak, 0);
  EXPECT_EQ(reading.ClippedSamples, 2u);
  MeterBlock(meters, input, 3, song, 1);
  EXPECT_EQ(TakeLevels(meters).ClippedSamples, 3u);
  ClearClipped(meters);
  EXPECT_EQ(TakeLevels(meters).ClippedSamples, 0u);
}

}  // namespace
}  // namespace sorvane

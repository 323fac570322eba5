// SPDX-License-Identifier: GPL-3.0-or-later
// Block peaks and the clipped-sample count.
#include "engine/Levels.h"

#include <cstdlib>

namespace sorvane {

namespace {

int32_t Peak(const int16_t* samples, int length) {
  int32_t peak = 0;
  for (int i = 0; i < length; ++i) {
    const int32_t magnitude = std::abs(static_cast<int32_t>(samples[i]));
    if (magnitude > peak) peak = magnitude;
  }
  return peak;
}

// Only the engine's thread raises a peak; a reader's reset in between is at
// worst overwritten by this block's peak, which it has not yet seen.
void Raise(std::atomic<int32_t>& held, int32_t peak) {
  if (peak > held.load(std::memory_order_relaxed)) held.store(peak, std::memory_order_relaxed);
}

}  // namespace

void MeterBlock(LevelMeters& meters, const int16_t* input, int inputLength, const int16_t* song, int songLength) {
  Raise(meters.InputPeak, Peak(input, inputLength));
  Raise(meters.OutputPeak, Peak(song, songLength));
  uint64_t clipped = 0;
  for (int i = 0; i < songLength; ++i) clipped += std::abs(static_cast<int32_t>(song[i])) >= kFullScale;
  if (clipped > 0) meters.ClippedSamples.fetch_add(clipped, std::memory_order_relaxed);
}

LevelReading TakeLevels(LevelMeters& meters) {
  return {meters.InputPeak.exchange(0, std::memory_order_relaxed),
          meters.OutputPeak.exchange(0, std::memory_order_relaxed),
          meters.ClippedSamples.load(std::memory_order_relaxed)};
}

void ClearClipped(LevelMeters& meters) { meters.ClippedSamples.store(0, std::memory_order_relaxed); }

}  // namespace sorvane

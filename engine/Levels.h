// SPDX-License-Identifier: GPL-3.0-or-later
// The levels a player sets by: the peak of the voice coming in and of the
// song going out, and how many of the song's samples hit full scale. The
// engine's thread meters each block it handles; the window and the live
// renderer read from any thread, without a lock.
#pragma once

#include <atomic>
#include <cstdint>

namespace sorvane {

// A song sample at full scale: the saturation leaves nothing beyond it.
inline constexpr int32_t kFullScale = 32767;

struct LevelMeters {
  // The largest magnitude since the reader last took it (0..32768).
  std::atomic<int32_t> InputPeak{0};
  std::atomic<int32_t> OutputPeak{0};
  // Song samples at full scale since the count was last cleared.
  std::atomic<uint64_t> ClippedSamples{0};
};

// One handled block: the capture block's samples and the song's.
void MeterBlock(LevelMeters& meters, const int16_t* input, int inputLength, const int16_t* song, int songLength);

struct LevelReading {
  int32_t InputPeak;
  int32_t OutputPeak;
  uint64_t ClippedSamples;
};

// The peaks since the last call (which start again from 0) and the count.
LevelReading TakeLevels(LevelMeters& meters);

// The clipped count starts again from 0.
void ClearClipped(LevelMeters& meters);

}  // namespace sorvane

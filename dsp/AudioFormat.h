// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's time grid: the sample rate, the capture block and the three
// output block lengths, the analysis frame, and the rule that turns times
// into sample counts. Every layer that counts samples takes them from here.
#pragma once

namespace sorvane {

// Samples per second of everything the engine captures, plays and writes.
inline constexpr int kSampleRate = 22050;

// A time in milliseconds as a sample count: ms × 22050 div 1000, truncated
// as integer division does (50 ms is 1102 samples, not 1102.5).
constexpr int MsToSamples(int ms) { return ms * kSampleRate / 1000; }

// One capture block: 10 ms.
inline constexpr int kBlockSamples = MsToSamples(10);
static_assert(kBlockSamples == 220);

// Output blocks: the normal length is one capture block; the rate control
// lengthens or shortens a block by a tenth of it.
inline constexpr int kBlockLengthNormal = kBlockSamples;
inline constexpr int kBlockLengthStep = kBlockSamples / 10;
inline constexpr int kBlockLengthLong = kBlockLengthNormal + kBlockLengthStep;
inline constexpr int kBlockLengthShort = kBlockLengthNormal - kBlockLengthStep;
inline constexpr int kMaxBlockSamples = kBlockLengthLong;
static_assert(kBlockLengthLong == 242 && kBlockLengthShort == 198);
static_assert(kBlockLengthStep * 10 == kBlockSamples);

// The analysis frame: the newest capture block and the three before it, 40 ms.
inline constexpr int kFrameBlocks = 4;
inline constexpr int kFrameLength = kFrameBlocks * kBlockSamples;
static_assert(kFrameLength == 880);

}  // namespace sorvane

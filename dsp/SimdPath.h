// SPDX-License-Identifier: GPL-3.0-or-later
// Which vector instructions the signal path runs on. Every path gives the
// same bits: each lane does exactly the scalar operations in the scalar
// order, with no fused multiply-add and no reciprocal. SSE2 is the baseline
// every x86-64 processor has; AVX2 and AVX-512 are used where the processor
// reports them. The plain path renders sample by sample straight from the
// formulas, with no vectors: the definition the others are held to, which
// every processor runs and which is taken only when asked for. The choice
// is made once at start-up; SORVANE_SIMD=sse2, avx2, avx512 or plain asks
// for one path (a path the processor lacks falls back to the widest it
// has, with a message on stderr).
#pragma once

namespace sorvane {

enum class SimdPath : int { kSse2 = 0, kAvx2 = 1, kAvx512 = 2, kPlain = 3 };
inline constexpr int kSimdPathCount = 4;

// "sse2", "avx2", "avx512", "plain".
const char* SimdPathName(SimdPath path);

// Whether this processor (and its operating system) runs the path.
bool SimdPathSupported(SimdPath path);

// The widest path the processor runs.
SimdPath WidestSimdPath();

// The path the signal path uses now.
SimdPath ActiveSimdPath();

// Switches to `path` if the processor runs it; returns false and changes
// nothing otherwise. For tests and benchmarks, between blocks.
bool SelectSimdPath(SimdPath path);

}  // namespace sorvane

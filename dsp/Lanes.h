// SPDX-License-Identifier: GPL-3.0-or-later
// The vector lanes the signal path's kernels are written in: SORVANE_LANE_WIDTH
// doubles side by side (2 for SSE2, 4 for AVX2 and AVX-512), each lane doing
// exactly the scalar operations in the scalar order, so every width gives
// the bits of the plain code.
//
// Included by a kernel file of one vector path, after that file has set
// SORVANE_LANE_WIDTH (and SORVANE_LANES_AVX512 where AVX-512's instructions
// may be used) and opened its target region. Every name here is local to
// that file, so the paths' kernels never meet at link time.
#pragma once

#ifndef SORVANE_LANE_WIDTH
#error "set SORVANE_LANE_WIDTH before including dsp/Lanes.h"
#endif

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "dsp/Filter.h"

namespace sorvane {
namespace {

constexpr int kWidth = SORVANE_LANE_WIDTH;
typedef double Lanes __attribute__((vector_size(8 * kWidth)));
typedef int64_t LaneMask __attribute__((vector_size(8 * kWidth)));

#define SORVANE_LANE_INLINE inline __attribute__((always_inline))

// How many vectors hold `count` values, a value to a lane.
constexpr int VectorsFor(int count) { return (count + kWidth - 1) / kWidth; }

// Runs body.template operator()<V>() with V the number of vectors that
// hold `count` values (at least 1, at most VectorsFor(Most)): the kernels
// keep their vectors in registers, so each vector count gets its own copy.
template <int Most, int V = 1, typename Body>
SORVANE_LANE_INLINE void WithVectors(int count, Body&& body) {
  if constexpr (V < VectorsFor(Most)) {
    if (VectorsFor(count) > V) return WithVectors<Most, V + 1>(count, body);
  }
  body.template operator()<V>();
}

// The intrinsic `name` for this width: _mm_name_pd or _mm256_name_pd.
#if SORVANE_LANE_WIDTH == 2
#define SORVANE_LANE_OP(name) _mm_##name##_pd
#else
#define SORVANE_LANE_OP(name) _mm256_##name##_pd
#endif

SORVANE_LANE_INLINE Lanes Splat(double v) { return SORVANE_LANE_OP(set1)(v); }

SORVANE_LANE_INLINE Lanes Load(const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

SORVANE_LANE_INLINE void Store(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

// Vector p of `count` values: lane l holds value(p·kWidth + l), or
// `spare` past the last one.
template <typename Value>
SORVANE_LANE_INLINE Lanes Gather(int p, int count, Value value, double spare = 0.0) {
  Lanes v;
  for (int l = 0; l < kWidth; ++l) {
    const int c = p * kWidth + l;
    v[l] = c < count ? value(c) : spare;
  }
  return v;
}

// The lanes of vector p back to the `count` values: store(c, value) for
// each value c it holds; the spare lanes are dropped.
template <typename Put>
SORVANE_LANE_INLINE void Scatter(Lanes v, int p, int count, Put store) {
  for (int l = 0; l < kWidth; ++l) {
    const int c = p * kWidth + l;
    if (c < count) store(c, v[l]);
  }
}

SORVANE_LANE_INLINE Lanes Magnitude(Lanes v) {
  return reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(v) & 0x7fffffffffffffffLL);
}

// The flush and the guard below are the rules handed to the shared
// formulas (CascadeSample, LatticeStage). Those are built without this
// file's vector instructions, so the rules are plain inline functions:
// they are inlined once the formula is inlined into its kernel.

// Flush on every lane: |v| < 1e-15 (or NaN) gives +0.
inline Lanes FlushLanes(Lanes v) {
  const LaneMask keep = Magnitude(v) >= Splat(kFlushLimit);
  return reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(v) & keep);
}

// a < b ? a : b and a > b ? a : b on every lane: minpd and maxpd exactly.
SORVANE_LANE_INLINE Lanes Min(Lanes a, Lanes b) { return SORVANE_LANE_OP(min)(a, b); }
SORVANE_LANE_INLINE Lanes Max(Lanes a, Lanes b) { return SORVANE_LANE_OP(max)(a, b); }

// The guard on every lane: tiny values and NaN to +0, else held to
// ±limit. The hold is applied first and the flush mask, taken from the
// value before the hold, afterwards: the same result for every input (a
// held value is never tiny), with a shorter chain of dependent instructions.
inline Lanes GuardLanes(Lanes v, double limitValue) {
  const Lanes limit = Splat(limitValue);
#if defined(SORVANE_LANES_AVX512)
  // One range instruction: the smaller magnitude of v and the limit with
  // the sign of v; lanes outside the flush mask to +0.
  const __mmask8 keep = _mm256_cmp_pd_mask(Magnitude(v), Splat(kFlushLimit), _CMP_GE_OQ);
  return _mm256_maskz_range_pd(keep, v, limit, 0x02);
#else
  const LaneMask keep = Magnitude(v) >= Splat(kFlushLimit);  // false for NaN
  const Lanes held = Max(Min(v, limit), -limit);
  return reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(held) & keep);
#endif
}

}  // namespace
}  // namespace sorvane

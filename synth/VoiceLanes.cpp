// SPDX-License-Identifier: GPL-3.0-or-later
// The voice kernels built once per lane width. The standard headers come
// first, outside the target regions, so that only this file's own kernels
// carry AVX2 or AVX-512 instructions. No fused multiply-add is enabled.
#include "synth/VoiceLanes.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <immintrin.h>
#include <utility>

namespace sorvane {

namespace lanes_sse2 {
#define SORVANE_LANE_WIDTH 2
#include "synth/VoiceLanes.inc"
#undef SORVANE_LANE_WIDTH
}  // namespace lanes_sse2

#pragma GCC push_options
#pragma GCC target("avx2")
namespace lanes_avx2 {
#define SORVANE_LANE_WIDTH 4
#include "synth/VoiceLanes.inc"
#undef SORVANE_LANE_WIDTH
}  // namespace lanes_avx2
#pragma GCC pop_options

// AVX-512 in 256-bit registers: its range instruction guards the lattice
// in one step. 512-bit registers cost more than they give here: each short
// burst of them slows the processor's clock for a while (measured on an
// AVX-512 Xeon: the live block took a third longer with them), so the
// compiler is told not to use them for its own loops either.
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512vl,prefer-vector-width=256")
namespace lanes_avx512 {
#define SORVANE_LANE_WIDTH 4
#define SORVANE_LANES_AVX512 1
#include "synth/VoiceLanes.inc"
#undef SORVANE_LANES_AVX512
#undef SORVANE_LANE_WIDTH
}  // namespace lanes_avx512
#pragma GCC pop_options

const VoiceKernels& VoiceKernelsFor(SimdPath path) {
  static constexpr VoiceKernels kSets[kSimdPathCount] = {
      {lanes_sse2::LatticeVoices, lanes_sse2::LiveVoice, lanes_sse2::ExciteVoices, lanes_sse2::BandPassVoices,
       lanes_sse2::OutputStage, lanes_sse2::AddVoice},
      {lanes_avx2::LatticeVoices, lanes_avx2::LiveVoice, lanes_avx2::ExciteVoices, lanes_avx2::BandPassVoices,
       lanes_avx2::OutputStage, lanes_avx2::AddVoice},
      {lanes_avx512::LatticeVoices, lanes_avx512::LiveVoice, lanes_avx512::ExciteVoices, lanes_avx512::BandPassVoices,
       lanes_avx512::OutputStage, lanes_avx512::AddVoice},
  };
  return kSets[static_cast<int>(path)];
}

}  // namespace sorvane

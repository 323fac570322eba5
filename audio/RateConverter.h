// SPDX-License-Identifier: GPL-3.0-or-later
// The edge between a host's float samples at its own rate and the engine's
// 16-bit samples at 22050 Hz, shared by the JACK client and the plugin: the
// conversion of each sample and the set-up of a libsamplerate converter.
#pragma once

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace sorvane {

// Full scale is 32768 both ways, so that 16-bit samples pass through float
// and back unchanged; the top is clipped at 32767. NaN, which a host may
// hand over and which has no sample value, is silence.
inline int16_t FloatToSample(float x) {
  if (!(x == x)) return 0;  // NaN
  const float scaled = std::clamp(x * 32768.0f, -32768.0f, 32767.0f);
  return static_cast<int16_t>(std::lrint(scaled));
}
inline float SampleToFloat(int16_t s) { return static_cast<float>(s) * (1.0f / 32768.0f); }

// The converter's reach at ratio: how many frames a fresh converter takes
// in, fed one at a time, up to and including the one that lets its first
// output frame out; what it holds beyond the frame it produces is one less.
// 0 when it gives nothing within the probe's limit. The converter is reset
// afterwards.
uint32_t ConverterReach(SRC_STATE* converter, double ratio);

// A fresh one-channel converter of type (SRC_SINC_MEDIUM_QUALITY, ...) for
// ratio (output rate / input rate), with its reach at that ratio; null, with
// libsamplerate's error code in error, when it cannot be made. Freed with
// src_delete.
SRC_STATE* MakeConverter(int type, double ratio, uint32_t& reach, int& error);

}  // namespace sorvane

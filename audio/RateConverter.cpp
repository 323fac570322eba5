// SPDX-License-Identifier: GPL-3.0-or-later
// libsamplerate converters: made for one channel, their reach probed with
// silence.
#include "audio/RateConverter.h"

namespace sorvane {
namespace {

// The most frames a converter is fed, one at a time, to find its reach.
constexpr uint32_t kReachProbeLimit = 4096;

}  // namespace

uint32_t ConverterReach(SRC_STATE* converter, double ratio) {
  float in = 0;
  float out = 0;
  uint32_t taken = 0;
  for (uint32_t call = 0; call < kReachProbeLimit; ++call) {
    SRC_DATA data{};
    data.data_in = &in;
    data.input_frames = 1;
    data.data_out = &out;
    data.output_frames = 1;
    data.src_ratio = ratio;
    if (src_process(converter, &data) != 0) break;
    taken += static_cast<uint32_t>(data.input_frames_used);
    if (data.output_frames_gen > 0) break;
  }
  src_reset(converter);
  return taken;
}

SRC_STATE* MakeConverter(int type, double ratio, uint32_t& reach, int& error) {
  error = 0;
  reach = 0;
  SRC_STATE* converter = src_new(type, 1, &error);
  if (converter != nullptr) reach = ConverterReach(converter, ratio);
  return converter;
}

}  // namespace sorvane

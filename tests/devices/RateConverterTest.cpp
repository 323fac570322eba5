// SPDX-License-Identifier: GPL-3.0-or-later
// The float and 16-bit edge and the converter set-up that the JACK client
// and the plugin share.
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "audio/RateConverter.h"

namespace sorvane {
namespace {

TEST(SampleConversion, EverySampleComesBackUnchanged) {
  for (int s = -32768; s <= 32767; ++s) {
    ASSERT_EQ(FloatToSample(SampleToFloat(static_cast<int16_t>(s))), s);
  }
}

TEST(SampleConversion, ClipsAtFullScaleAndSilencesNaN) {
  EXPECT_EQ(FloatToSample(1.0f), 32767);
  EXPECT_EQ(FloatToSample(-1.0f), -32768);
  EXPECT_EQ(FloatToSample(7.5f), 32767);
  EXPECT_EQ(FloatToSample(-std::numeric_limits<float>::infinity()), -32768);
  EXPECT_EQ(FloatToSample(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(FloatToSample(-std::numeric_limits<float>::quiet_NaN()), 0);
}

// An impulse through the converter, 2048 frames of output at most.
std::vector<float> Impulse(SRC_STATE* converter, double ratio) {
  std::vector<float> in(512, 0.0f);
  in[0] = 1.0f;
  std::vector<float> out(2048, 0.0f);
  SRC_DATA data{};
  data.data_in = in.data();
  data.input_frames = static_cast<long>(in.size());
  data.data_out = out.data();
  data.output_frames = static_cast<long>(out.size());
  data.src_ratio = ratio;
  EXPECT_EQ(src_process(converter, &data), 0);
  out.resize(static_cast<size_t>(data.output_frames_gen));
  return out;
}

// The probe feeds the converter silence; a converter that kept it would
// delay everything after by its reach.
TEST(ConverterSetUp, ProbingTheReachLeavesTheConverterFresh) {
  for (const double ratio : {48000.0 / 22050.0, 22050.0 / 44100.0}) {
    SCOPED_TRACE(ratio);
    int error = 0;
    uint32_t reach = 0;
    SRC_STATE* made = MakeConverter(SRC_SINC_FASTEST, ratio, reach, error);
    ASSERT_NE(made, nullptr);
    EXPECT_GT(reach, 1u);
    SRC_STATE* plain = src_new(SRC_SINC_FASTEST, 1, &error);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(ConverterReach(made, ratio), reach);
    EXPECT_EQ(Impulse(made, ratio), Impulse(plain, ratio));
    src_delete(made);
    src_delete(plain);
  }
}

}  // namespace
}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// Pitch bend and velocity through the plugin at a host's rate, measured in
// the song of a steady voice: the pitch of a bent note against the semitone
// arithmetic, and the level of a note struck softer.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/plugin/PluginHost.h"
#include "tests/support/SteadyPitch.h"

namespace sorvane {
namespace {

using test::PluginHost;
using test::TimedMidi;

constexpr double kRate = 48000.0;
constexpr uint8_t kA3 = 57;  // 220 Hz in the "Mid" range, the start-up octave
constexpr double kHz220 = 220.0;

// The steady voice at the host's rate for four seconds.
std::vector<float> SteadyVoiceAtRate() {
  std::vector<float> voice(static_cast<size_t>(4 * kRate));
  for (size_t i = 0; i < voice.size(); ++i) {
    voice[i] = static_cast<float>(test::SteadyVoice(static_cast<double>(i) / kRate) / 32768.0);
  }
  return voice;
}

// A3 held from the first frame with the given MIDI before it, through a
// plugin whose controls are set first; the song from 1.5 s (past the
// latency and the analysis's warm-up) to 3.9 s.
std::vector<float> SteadySong(const std::vector<float>& voice,
                              const std::vector<std::pair<const char*, float>>& controls, std::vector<TimedMidi> midi,
                              uint8_t velocity) {
  PluginHost host(kRate);
  for (const auto& [symbol, value] : controls) host.Control(symbol) = value;
  midi.push_back({0, {0x90, kA3, velocity}});
  const std::vector<float> song = host.RunAll(voice, {256}, midi);
  return std::vector<float>(song.begin() + static_cast<long>(1.5 * kRate),
                            song.begin() + static_cast<long>(3.9 * kRate));
}

double LevelDb(const std::vector<float>& x) {
  double sum = 0.0;
  for (float v : x) sum += static_cast<double>(v) * v;
  return 10.0 * std::log10(sum / static_cast<double>(x.size()));
}

TEST(PluginExpression, ABentNoteSoundsTheSemitonesOfItsBendWithinHalfACent) {
  const std::vector<float> voice = SteadyVoiceAtRate();
  for (const int range : {2, 12}) {
    for (const int bend : {-8192, 0, 8191}) {
      SCOPED_TRACE(testing::Message() << "range " << range << ", bend " << bend);
      const int value = bend + 8192;  // the 14-bit value, 8192 at rest, least significant 7 bits first
      const TimedMidi wheel{0, {0xE0, static_cast<uint8_t>(value & 0x7F), static_cast<uint8_t>(value >> 7)}};
      const std::vector<float> song = SteadySong(voice, {{"bend_range", static_cast<float>(range)}}, {wheel}, 100);
      const double expected = kHz220 * std::exp2((bend / 8192.0 * range) / 12.0);
      const double measured = test::AutocorrelationPitch(song, kRate, expected);
      ASSERT_FALSE(std::isnan(measured)) << "no pitch within a third of " << expected << " Hz";
      EXPECT_LT(std::fabs(1200.0 * std::log2(measured / expected)), 0.5)
          << measured << " Hz against " << expected << " Hz";
    }
  }
}

TEST(PluginExpression, VelocitySetsANotesLevelOnlyWhenSwitchedOn) {
  const std::vector<float> voice = SteadyVoiceAtRate();
  const std::vector<float> full = SteadySong(voice, {{"velocity", 1}}, {}, 127);
  // Off, the velocity changes nothing; on, 127 is the level of today.
  EXPECT_TRUE(SteadySong(voice, {}, {}, 64) == full);
  const double fullDb = LevelDb(full);
  EXPECT_NEAR(LevelDb(SteadySong(voice, {{"velocity", 1}}, {}, 64)) - fullDb, -6.0, 0.5);
  EXPECT_NEAR(LevelDb(SteadySong(voice, {{"velocity", 1}}, {}, 32)) - fullDb, -12.0, 0.5);
}

}  // namespace
}  // namespace sorvane

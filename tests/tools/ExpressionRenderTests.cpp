// SPDX-License-Identifier: GPL-3.0-or-later
// Pitch bend, velocity and glide through the renderer, measured in the
// song: the pitch of a bent note, the level of a note struck softer, and a
// MIDI file's bends and velocities against the same moves as script lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "RenderSupport.h"
#include "SmfBuilder.h"
#include "tests/support/SteadyPitch.h"
#include "tests/wavfile/WaveTestSupport.h"

namespace sorvane {
namespace {

using test::ReadFileBytes;
using test::Scratch;
using test::SongSamples;
using namespace test::smf;

constexpr double kRate = 22050.0;
// Key 21 at "Mid" (the start-up octave) sounds 220 Hz, MIDI note 57.
constexpr int kKey220 = 21;
constexpr int kNote220 = 57;
constexpr double kHz220 = 220.0;
constexpr int kBlocks = 400;

// The steady voice for as long as the renders run.
void PutSteadyVoice(const Scratch& s) {
  test::Bytes samples;
  for (int i = 0; i < (kBlocks + 1) * 220; ++i) {
    const double v = test::SteadyVoice(i / kRate);
    test::PutLe(samples, static_cast<uint16_t>(static_cast<int16_t>(std::lround(v))), 2);
  }
  test::WriteBytes((s.Dir / "steady.wav").string(),
                   test::Riff({test::Chunk("fmt ", test::FmtBody(1)), test::Chunk("data", samples)}));
}

// The song of a render, from its second second (past the warm-up of the
// analysis) to its last tenth of a second.
std::vector<int16_t> SteadyPart(const Scratch& s, const std::string& wav) {
  const std::vector<int16_t> all = SongSamples(ReadFileBytes(s.Dir / wav));
  if (all.size() < 3 * 22050) return {};
  return std::vector<int16_t>(all.begin() + 22050, all.end() - 2205);
}

double Cents(double hz, double reference) { return 1200.0 * std::log2(hz / reference); }

double LevelDb(const std::vector<int16_t>& x) {
  double sum = 0.0;
  for (int16_t v : x) sum += static_cast<double>(v) * v;
  return 10.0 * std::log10(sum / static_cast<double>(x.size()));
}

// One note held through the render, struck at velocity on channel 1.
Bytes HeldNote(int velocity, const std::vector<Bytes>& more = {}) {
  Bytes track;
  Event(track, 0, {0x90, kNote220, velocity});
  for (const Bytes& b : more) track.insert(track.end(), b.begin(), b.end());
  EndOfTrack(track);
  return Smf(0, 500, {track});  // at 500 000 us a quarter: 1 ms a tick
}

TEST(ExpressionRender, ABentNoteSoundsTheSemitonesOfItsBendWithinHalfACent) {
  Scratch s;
  PutSteadyVoice(s);
  for (const int range : {2, 12}) {
    for (const int bend : {-8192, 0, 8191}) {
      SCOPED_TRACE(testing::Message() << "range " << range << ", bend " << bend);
      const std::string name = "bend" + std::to_string(range) + "_" + std::to_string(bend);
      s.Put(name + ".txt", "0 bend " + std::to_string(bend) + "\n0 down " + std::to_string(kKey220) + "\n");
      const auto run = s.Render("--input steady.wav --blocks " + std::to_string(kBlocks) + " --bend-range " +
                                std::to_string(range) + " --script " + name + ".txt --output " + name + ".wav");
      ASSERT_EQ(run.Status, 0) << run.Stderr;
      const double expected = kHz220 * std::exp2((bend / 8192.0 * range) / 12.0);
      const double measured = test::AutocorrelationPitch(SteadyPart(s, name + ".wav"), kRate, expected);
      ASSERT_FALSE(std::isnan(measured)) << "no pitch within a third of " << expected << " Hz";
      EXPECT_LT(std::fabs(Cents(measured, expected)), 0.5) << measured << " Hz against " << expected << " Hz";
    }
  }
}

TEST(ExpressionRender, VelocitySetsANotesLevelOnlyWhenSwitchedOn) {
  Scratch s;
  PutSteadyVoice(s);
  const std::string common = "--input steady.wav --blocks " + std::to_string(kBlocks);
  s.Put("key.txt", "0 down " + std::to_string(kKey220) + "\n");
  ASSERT_EQ(s.Render(common + " --script key.txt --output key.wav").Status, 0);
  const auto asKey = ReadFileBytes(s.Dir / "key.wav");
  double full = 0.0;
  for (const int velocity : {127, 64, 32}) {
    SCOPED_TRACE(velocity);
    const std::string name = "v" + std::to_string(velocity);
    s.Put(name + ".mid", Text(HeldNote(velocity)));
    ASSERT_EQ(s.Render(common + " --midi " + name + ".mid --output " + name + "off.wav").Status, 0);
    EXPECT_TRUE(ReadFileBytes(s.Dir / (name + "off.wav")) == asKey) << "velocity off changed the song";
    const auto run = s.Render(common + " --velocity --midi " + name + ".mid --output " + name + ".wav");
    ASSERT_EQ(run.Status, 0) << run.Stderr;
    const double level = LevelDb(SteadyPart(s, name + ".wav"));
    if (velocity == 127) {
      full = level;
      EXPECT_TRUE(ReadFileBytes(s.Dir / (name + ".wav")) == asKey) << "127 is not the level of a key";
    }
    const double wanted = velocity == 127 ? 0.0 : velocity == 64 ? -6.0 : -12.0;
    EXPECT_NEAR(level - full, wanted, 0.5);
  }
}

TEST(ExpressionRender, AMidiFilesBendsAreTheScriptsBendCommandsOnTheChannelPlayed) {
  Scratch s;
  PutSteadyVoice(s);
  // Blocks of 10 ms from 0 s: 1.0 s is block 100, 1.5 s block 150, 2.0 s
  // block 200, 3.0 s block 300.
  Bytes bends;
  Event(bends, 1000, {0xE0, 0, 96});    // +4096
  Event(bends, 500, {0xE1, 127, 127});  // channel 2, full up
  Event(bends, 500, {0xE0, 0, 0});      // -8192
  Event(bends, 1000, {0xE0, 0, 64});    // at rest
  s.Put("bends.mid", Text(HeldNote(100, {bends})));
  s.Put("bends.txt", "0 down 21\n100 bend 4096\n200 bend -8192\n300 bend 0\n");
  const std::string common = "--input steady.wav --blocks " + std::to_string(kBlocks) + " --bend-range 7 ";
  ASSERT_EQ(s.Render(common + "--script bends.txt --output script.wav").Status, 0);
  const auto run = s.Render(common + "--midi bends.mid --midi-channel 1 --output midi.wav");
  ASSERT_EQ(run.Status, 0) << run.Stderr;
  const auto script = ReadFileBytes(s.Dir / "script.wav");
  EXPECT_TRUE(ReadFileBytes(s.Dir / "midi.wav") == script);
  // Every channel played: channel 2's bend counts too.
  ASSERT_EQ(s.Render(common + "--midi bends.mid --output all.wav").Status, 0);
  EXPECT_FALSE(ReadFileBytes(s.Dir / "all.wav") == script);
  // The script's bendrange and glide commands are the options' settings.
  s.Put("set.txt", "0 bendrange 7\n0 glide 250\n0 down 9\n100 bend 4096\n150 down 21\n");
  s.Put("plain.txt", "0 down 9\n100 bend 4096\n150 down 21\n");
  const std::string run2 = "--input steady.wav --blocks " + std::to_string(kBlocks) + " ";
  ASSERT_EQ(s.Render(run2 + "--script set.txt --output set.wav").Status, 0);
  ASSERT_EQ(s.Render(run2 + "--script plain.txt --bend-range 7 --glide 250 --output options.wav").Status, 0);
  ASSERT_EQ(s.Render(run2 + "--script plain.txt --bend-range 7 --output noglide.wav").Status, 0);
  EXPECT_TRUE(ReadFileBytes(s.Dir / "set.wav") == ReadFileBytes(s.Dir / "options.wav"));
  EXPECT_FALSE(ReadFileBytes(s.Dir / "set.wav") == ReadFileBytes(s.Dir / "noglide.wav"));
}

TEST(ExpressionRender, SettingsOutOfRangeAreRefused) {
  Scratch s;
  PutSteadyVoice(s);
  for (const auto& [arguments, message] : std::vector<std::pair<std::string, std::string>>{
           {"--bend-range 13", "--bend-range takes whole semitones from 1 to 12, not \"13\""},
           {"--bend-range 0", "--bend-range takes whole semitones from 1 to 12, not \"0\""},
           {"--glide 1001", "--glide takes milliseconds from 0 to 1000, not \"1001\""},
           {"--glide -5", "--glide takes milliseconds from 0 to 1000, not \"-5\""}}) {
    SCOPED_TRACE(arguments);
    const auto run = s.Render("--input steady.wav --output o.wav " + arguments);
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Stderr.find(message), std::string::npos) << run.Stderr;
  }
  for (const std::string line : {"0 bend 8192", "0 bend -8193", "0 bendrange 13", "0 glide 1001", "0 velocity 2"}) {
    SCOPED_TRACE(line);
    s.Put("bad.txt", line + "\n");
    EXPECT_EQ(s.Render("--input steady.wav --output o.wav --script bad.txt").Status, 2);
  }
  EXPECT_FALSE(std::filesystem::exists(s.Dir / "o.wav"));
}

}  // namespace
}  // namespace sorvane

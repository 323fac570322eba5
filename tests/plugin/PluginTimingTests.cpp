// SPDX-License-Identifier: GPL-3.0-or-later
// When things happen at host rates: a MIDI note reaches the first 10-ms
// block whose voice ends at or after the note's frame, and after a silence
// in which nothing sounds the plugin rests and then sings exactly as a new
// instance started on the frame where the voice comes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tests/plugin/PluginHost.h"

namespace sorvane {
namespace {

using test::PluginHost;
using test::TimedMidi;

// The speech at rate, held sample by sample, repeated to seconds.
std::vector<float> Speech(double rate, double seconds) {
  const std::vector<int16_t> speech = test::ReadSpeech();
  std::vector<float> voice(static_cast<size_t>(rate * seconds));
  for (size_t i = 0; i < voice.size(); ++i) {
    voice[i] = speech[static_cast<size_t>(static_cast<double>(i) * 22050.0 / rate) % speech.size()] / 32768.0f;
  }
  return voice;
}

// The host frame on which the last voice sample of block b stands.
double BlockEnd(int64_t b, double rate) { return static_cast<double>(220 * b + 219) * rate / 22050.0; }

TEST(PluginTiming, ANoteReachesTheFirstBlockWhoseVoiceEndsAtOrAfterItsFrame) {
  for (const double rate : {44100.0, 48000.0}) {
    SCOPED_TRACE(testing::Message() << rate << " Hz");
    const std::vector<float> voice = Speech(rate, 1.5);
    auto sing = [&](int64_t frame) {
      PluginHost host(rate);
      return host.RunAll(voice, {256}, {{frame, {0x90, 57, 100}}});
    };
    constexpr int64_t kBlock = 60;
    const auto justAfterPrevious = static_cast<int64_t>(std::floor(BlockEnd(kBlock - 1, rate))) + 1;
    const auto atEnd = static_cast<int64_t>(std::floor(BlockEnd(kBlock, rate)));
    const auto justAfterEnd = atEnd + 1;
    const auto atNextEnd = static_cast<int64_t>(std::floor(BlockEnd(kBlock + 1, rate)));
    const std::vector<float> inBlock = sing(atEnd);
    EXPECT_EQ(sing(justAfterPrevious), inBlock);
    const std::vector<float> inNext = sing(justAfterEnd);
    EXPECT_EQ(sing(atNextEnd), inNext);
    EXPECT_NE(inBlock, inNext);
  }
}

TEST(PluginRest, AfterASilenceItSingsAsANewInstanceStartedWhereTheVoiceReturns) {
  constexpr double kRate = 48000;
  const std::vector<float> speech = Speech(kRate, 1.5);
  const auto back = static_cast<int64_t>(3 * kRate) + 77;
  const std::vector<TimedMidi> note = {{3000, {0x90, 60, 90}}};
  auto shifted = [](std::vector<TimedMidi> midi, int64_t by) {
    for (TimedMidi& m : midi) m.Frame += by;
    return midi;
  };
  // A new instance from the speech's first frame that is not zero.
  const auto start = std::find_if(speech.begin(), speech.end(), [](float x) { return x != 0.0f; }) - speech.begin();
  PluginHost fresh(kRate);
  const std::vector<float> anew =
      fresh.RunAll(std::vector<float>(speech.begin() + start, speech.end()), {256}, shifted(note, -start));
  ASSERT_GT(test::Envelope(anew, kRate, 0, 1.0, 1)[0], -40.0);  // it sings

  // Three seconds of digital silence first: the converters rest, and start
  // again on the voice's first frame as a new instance's do.
  std::vector<float> voice(static_cast<size_t>(back), 0.0f);
  voice.insert(voice.end(), speech.begin(), speech.end());
  PluginHost rested(kRate);
  const std::vector<float> song = rested.RunAll(voice, {256}, shifted(note, back));
  EXPECT_EQ(std::vector<float>(song.begin() + back + start, song.end()), anew);

  // Speech and a note before the silence: the note afterwards sings as
  // loud as in a new instance (the analysis' state carried through the
  // rest differs from a new one's only by its faint remains).
  std::copy(speech.begin(), speech.begin() + back / 3, voice.begin());
  PluginHost again(kRate);
  const std::vector<float> later =
      again.RunAll(voice, {256}, {{0, {0x90, 57, 100}}, {40000, {0x80, 57, 0}}, {back + 3000, {0x90, 60, 90}}});
  for (int64_t t = back - static_cast<int64_t>(kRate); t < back; ++t) ASSERT_EQ(later[static_cast<size_t>(t)], 0.0f);
  const std::vector<float> tail(later.begin() + back + start, later.end());
  EXPECT_NEAR(test::Envelope(tail, kRate, 0, 1.0, 1)[0], test::Envelope(anew, kRate, 0, 1.0, 1)[0], 0.5);
}

}  // namespace
}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include <unistd.h>

#include "phrase/PhraseStore.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TempDir.h"
#include "wavfile/WaveFile.h"

namespace sorvane {
namespace {

using test::EngineOnRig;
using test::RecordedBoxes;

using test::TempDir;

TEST(PhraseButtons, FollowTheModes) {
  PhraseState s;
  ResetPhraseState(s);
  EXPECT_FALSE(s.Buttons.RecEnabled || s.Buttons.LoadEnabled || s.Buttons.SaveEnabled);
  StartPhraseCapture(s);  // ignored while off
  EXPECT_EQ(s.PhraseMode, kPhraseOff);
  SwitchPhraseMode(s, true);
  EXPECT_EQ(s.PhraseMode, kPhraseReplay);
  EXPECT_TRUE(s.Buttons.RecEnabled && s.Buttons.LoadEnabled && s.Buttons.SaveEnabled);
  StartPhraseCapture(s);
  EXPECT_EQ(s.PhraseMode, kPhraseCapture);
  EXPECT_EQ(s.Buttons.RecCaption, PhraseRecCaption::Say);
  EXPECT_FALSE(s.Buttons.LoadEnabled || s.Buttons.SaveEnabled);
  EXPECT_EQ(s.LeadIn, 4);
  StartPhraseCapture(s);  // a click during a capture is ignored
  EXPECT_EQ(s.LeadIn, 4);
  SwitchPhraseMode(s, false);
  EXPECT_EQ(s.PhraseMode, kPhraseOff);
  EXPECT_EQ(s.Buttons.RecCaption, PhraseRecCaption::Rec);
  EXPECT_FALSE(s.Buttons.RecEnabled);
}

// Records the phrase mode after each capture event.
struct ModeLog : VirtualLoopClient {
  EngineState& E;
  std::vector<int32_t> Modes;
  std::vector<int32_t> Captured;
  explicit ModeLog(EngineState& e) : E(e) {}
  void BeforeCapture(VirtualAudioRig&, int32_t) override {}
  void AfterCapture(VirtualAudioRig&, int32_t, int64_t) override {
    Modes.push_back(E.Phrase.PhraseMode);
    Captured.push_back(E.Phrase.CapturedFrames);
  }
};

TEST(PhraseCapture, LeadInThenExactly300FramesThenReplayInTheSameBlock) {
  EngineOnRig r(test::TestVoice(22050 * 8, 12000));
  OpenAudio(r.E());
  r.Rig->Run(EngineEvents(r.E()), 20, nullptr);
  // Sentinels past what a capture writes.
  r.E().Store.PhraseSamples[66000] = 1234;
  r.E().Store.PhraseHighBand[66005] = 5.5;
  r.E().Store.PhraseAmplitude[300] = 7.0;
  r.E().Store.PhraseReflection[300][3] = 0.125;
  SetPhraseOn(r.E(), true);
  EngineStartPhraseCapture(r.E());
  const size_t silentFrom = r.Rig->Played().size();
  ModeLog log(r.E());
  r.Rig->Run(EngineEvents(r.E()), 20 + 310, &log);

  // The input is loud from the start, yet the first three blocks are not tested.
  EXPECT_EQ(log.Captured[0], 0);
  EXPECT_EQ(log.Captured[2], 0);
  EXPECT_EQ(log.Captured[3], 1);  // the fourth block triggers and is recorded
  EXPECT_EQ(r.Host.Buttons.back().RecCaption, PhraseRecCaption::Rec);
  int firstReplay = -1;
  for (size_t i = 0; i < log.Modes.size(); ++i) {
    if (log.Modes[i] == kPhraseReplay) {
      firstReplay = static_cast<int>(i);
      break;
    }
  }
  EXPECT_EQ(firstReplay, 3 + 299);  // the 300th recorded block already switches
  EXPECT_EQ(r.E().Phrase.CapturedFrames, 0);

  // Frame f holds capture block f's raw samples.
  const int firstBlock = 20 + 3;
  for (int f = 0; f < 300; f += 37) {
    for (int i = 0; i < 220; i += 11) {
      ASSERT_EQ(r.E().Store.PhraseSamples[220 * f + i], r.Input[220 * (firstBlock + f) + i]) << f;
    }
  }
  EXPECT_EQ(r.E().Store.PhraseSamples[66000], 1234);
  EXPECT_EQ(r.E().Store.PhraseHighBand[66005], 5.5);
  EXPECT_EQ(r.E().Store.PhraseAmplitude[300], 7.0);
  EXPECT_EQ(r.E().Store.PhraseReflection[300][3], 0.125);
  EXPECT_GT(r.E().Store.PhraseAmplitude[100], 0.0);

  // Every block of the capture was silent.
  const auto& played = r.Rig->Played();
  int loud = 0;
  for (size_t i = silentFrom; i < silentFrom + 300 * 198; ++i) loud += played[i] != 0;
  EXPECT_EQ(loud, 0);
}

TEST(PhraseCapture, ClearingTheBoxMidwayKeepsTheFramesRecordedSoFar) {
  EngineOnRig r(test::TestVoice(22050 * 8, 12000));
  OpenAudio(r.E());
  r.E().Store.PhraseSamples[220 * 50] = -999;
  SetPhraseOn(r.E(), true);
  EngineStartPhraseCapture(r.E());
  r.Rig->Run(EngineEvents(r.E()), 30, nullptr);
  SetPhraseOn(r.E(), false);
  EXPECT_EQ(r.E().Phrase.PhraseMode, kPhraseOff);
  EXPECT_EQ(r.E().Store.PhraseSamples[220 * 10], r.Input[220 * (3 + 10)]);
  EXPECT_EQ(r.E().Store.PhraseSamples[220 * 50], -999);
}

TEST(PhraseCapture, QuietInputWaitsForever) {
  EngineOnRig r(std::vector<int16_t>(22050 * 4, 3));
  OpenAudio(r.E());
  SetPhraseOn(r.E(), true);
  EngineStartPhraseCapture(r.E());
  r.Rig->Run(EngineEvents(r.E()), 300, nullptr);
  EXPECT_EQ(r.E().Phrase.PhraseMode, kPhraseCapture);
  EXPECT_EQ(r.E().Phrase.LeadIn, 1);
  EXPECT_EQ(r.E().Phrase.Buttons.RecCaption, PhraseRecCaption::Say);
}

TEST(PhraseReplay, HeldKeyFallsSilentAfter300BlocksAndMicrophoneIsIgnored) {
  EngineOnRig r(test::TestVoice(22050 * 20, 12000));
  OpenAudio(r.E());
  SetPhraseOn(r.E(), true);
  EngineStartPhraseCapture(r.E());
  r.Rig->Run(EngineEvents(r.E()), 400, nullptr);
  ASSERT_EQ(r.E().Phrase.PhraseMode, kPhraseReplay);
  KeyNoteOn(r.E(), 20);
  const auto analysis = r.E().Analysis;
  const auto frame = r.E().Frame;
  r.Rig->Run(EngineEvents(r.E()), 500, nullptr);
  EXPECT_FALSE(r.E().Pool.Voices[0].Finished);
  EXPECT_EQ(std::memcmp(&analysis, &r.E().Analysis, sizeof analysis), 0);  // no analysis in replay
  EXPECT_EQ(std::memcmp(&frame, &r.E().Frame, sizeof frame), 0);
  r.Rig->Run(EngineEvents(r.E()), 700, nullptr);
  EXPECT_TRUE(r.E().Pool.Voices[0].Finished);
  EXPECT_EQ(r.E().Pool.VoiceKeys[0], 20);
  EXPECT_EQ(r.Host.Colours, std::vector<int>{20});  // the key stays red
}

TEST(PhraseFiles, SaveThenLoadGivesTheSameSamples) {
  TempDir dir;
  auto e = std::make_unique<EngineOnRig>();
  for (int i = 0; i < kPhraseSamples; ++i) e->E().Store.PhraseSamples[i] = static_cast<int16_t>(i * 37);
  const auto file = dir / "phrase.wav";
  ASSERT_TRUE(PhraseSaveFile(e->E(), file.c_str()));
  EXPECT_EQ(std::filesystem::file_size(file), 132344u);
  auto f = std::make_unique<EngineOnRig>();
  PhraseLoadBegin(f->E());
  ASSERT_TRUE(PhraseLoadFile(f->E(), file.c_str()));
  EXPECT_EQ(std::memcmp(e->E().Store.PhraseSamples.data(), f->E().Store.PhraseSamples.data(), 132300), 0);
  EXPECT_EQ(f->E().Phrase.PhraseMode, kPhraseReplay);
  EXPECT_EQ(f->E().Analysis.BandPrevious, static_cast<double>(f->E().Store.PhraseSamples[66219]));
}

TEST(PhraseFiles, AFileThatIsNotPcmLeavesThePhraseAsItWas) {
  TempDir dir;
  RecordedBoxes boxes;
  const auto file = dir / "adpcm.wav";
  {
    std::vector<int16_t> s(100, 5);
    ASSERT_TRUE(WriteWaveFile(file.c_str(), s.data(), 200));
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(20);
    f.put(2);  // format tag 2
  }
  EngineOnRig r;
  r.E().Store.PhraseSamples[10] = 42;
  r.E().Store.PhraseGain[10] = 0.5;
  PhraseLoadBegin(r.E());
  EXPECT_FALSE(PhraseLoadFile(r.E(), file.c_str()));
  EXPECT_EQ(boxes.Texts, std::vector<std::string>{"PCMフォーマットではありません。"});
  EXPECT_EQ(boxes.Captions[0], "エラー");
  EXPECT_EQ(r.E().Store.PhraseSamples[10], 42);
  EXPECT_EQ(r.E().Store.PhraseGain[10], 0.5);
  EXPECT_EQ(r.E().Phrase.PhraseMode, kPhraseReplay);
}

TEST(PhraseFiles, AShortFileIsFollowedBySilence) {
  TempDir dir;
  const auto file = dir / "short.wav";
  std::vector<int16_t> s(1001, 300);
  ASSERT_TRUE(WriteWaveFile(file.c_str(), s.data(), 2001));  // an odd byte count
  EngineOnRig r;
  r.E().Store.PhraseSamples.fill(-7);
  ASSERT_TRUE(PhraseLoadFile(r.E(), file.c_str()));
  EXPECT_EQ(r.E().Store.PhraseSamples[999], 300);
  EXPECT_EQ(r.E().Store.PhraseSamples[1000], 300 & 0xFF);  // low byte from the file, high byte cleared
  EXPECT_EQ(r.E().Store.PhraseSamples[1001], 0);
  EXPECT_EQ(r.E().Store.PhraseSamples[kPhraseSamples - 1], 0);
}

TEST(PhraseFiles, AFullLengthFileKeepsTheSamplesBeyondThreeSeconds) {
  TempDir dir;
  const auto file = dir / "long.wav";
  std::vector<int16_t> s(22050 * 4, 11);
  ASSERT_TRUE(WriteWaveFile(file.c_str(), s.data(), static_cast<uint32_t>(2 * s.size())));
  EngineOnRig r;
  r.E().Store.PhraseSamples.fill(-7);
  ASSERT_TRUE(PhraseLoadFile(r.E(), file.c_str()));
  EXPECT_EQ(r.E().Store.PhraseSamples[66149], 11);
  EXPECT_EQ(r.E().Store.PhraseSamples[66150], -7);
}

TEST(PhraseFiles, A44kStereo24BitToneIsConvertedToItsPitchAndLength) {
  // 2 s of 440 Hz at 44100 Hz, 24-bit, the right channel at half the left's
  // level: 44100 samples of 440 Hz at three quarters of the left's level.
  TempDir dir;
  const auto file = dir / "tone.wav";
  {
    constexpr int kFrames = 2 * 44100;
    std::vector<char> bytes(44 + 6 * kFrames);
    auto put = [&bytes](size_t at, uint32_t v, int width) {
      for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
    };
    std::memcpy(bytes.data(), "RIFF\0\0\0\0WAVEfmt \x10\0\0\0", 20);
    put(4, static_cast<uint32_t>(bytes.size() - 8), 4);
    put(20, 1, 2), put(22, 2, 2), put(24, 44100, 4), put(28, 44100 * 6, 4), put(32, 6, 2), put(34, 24, 2);
    std::memcpy(bytes.data() + 36, "data", 4);
    put(40, 6 * kFrames, 4);
    for (int i = 0; i < kFrames; ++i) {
      const double left = 4000000.0 * std::sin(2.0 * M_PI * 440.0 * i / 44100.0);
      put(44 + 6 * i, static_cast<uint32_t>(static_cast<int32_t>(std::lround(left))), 3);
      put(47 + 6 * i, static_cast<uint32_t>(static_cast<int32_t>(std::lround(left / 2))), 3);
    }
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  EngineOnRig r;
  r.E().Store.PhraseSamples.fill(-7);
  RecordedBoxes boxes;
  ASSERT_TRUE(PhraseLoadFile(r.E(), file.c_str()));
  EXPECT_TRUE(boxes.Texts.empty());
  const auto& s = r.E().Store.PhraseSamples;
  // Length: two seconds at 22050 Hz, then the silence a short file gets.
  EXPECT_GT(*std::max_element(s.begin() + 44000, s.begin() + 44100), 11000);
  EXPECT_TRUE(std::all_of(s.begin() + 44100, s.end(), [](int16_t x) { return x == 0; }));
  // Level: 3/4 of 4000000 / 256 = 11719 at the peaks.
  const auto [lo, hi] = std::minmax_element(s.begin() + 100, s.begin() + 44000);
  EXPECT_NEAR(*hi, 11719, 30);
  EXPECT_NEAR(*lo, -11719, 30);
  // Pitch: upward zero crossings over 40000 samples (1.814 s) give 440 Hz.
  int crossings = 0;
  int first = -1, last = -1;
  for (int i = 1001; i < 41001; ++i) {
    if (s[i - 1] < 0 && s[i] >= 0) {
      ++crossings;
      if (first < 0) first = i;
      last = i;
    }
  }
  ASSERT_GT(crossings, 10);
  EXPECT_NEAR(22050.0 * (crossings - 1) / (last - first), 440.0, 0.5);
}

TEST(AnalysePhrase, SilenceGivesZeroCoefficientsAndFullGain) {
  auto store = std::make_unique<PhraseStore>();
  *store = {};
  double band = 0;
  AnalysePhrase(*store, band);
  for (int f = 0; f <= 296; ++f) {
    ASSERT_EQ(store->PhraseAmplitude[f], 0.0);
    ASSERT_EQ(store->PhraseGain[f], 1.0);
    for (double k : store->PhraseReflection[f]) ASSERT_EQ(k, 0.0);
  }
}

TEST(AnalysePhrase, GainStartsAtAHalfAndBandPreviousCarriesOver) {
  auto a = std::make_unique<PhraseStore>();
  *a = {};
  const auto voice = test::TestVoice(kPhraseSamples, 9000);
  std::copy(voice.begin(), voice.end(), a->PhraseSamples.begin());
  auto b = std::make_unique<PhraseStore>(*a);
  double band = 0;
  AnalysePhrase(*a, band);
  EXPECT_EQ(band, static_cast<double>(a->PhraseSamples[66219]));
  EXPECT_TRUE(a->PhraseGain[0] == 1.0 || a->PhraseGain[0] == 0.25);
  AnalysePhrase(*b, band);  // a second load starts its first difference from the first's last sample
  EXPECT_EQ(std::memcmp(a->PhraseReflection.data(), b->PhraseReflection.data(), sizeof a->PhraseReflection), 0);
  EXPECT_EQ(a->PhraseHighBand, b->PhraseHighBand);
  for (double g : a->PhraseGain) EXPECT_EQ(std::exp2(std::round(std::log2(g))), g);
}

}  // namespace
}  // namespace sorvane

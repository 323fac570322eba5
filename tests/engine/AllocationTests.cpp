// SPDX-License-Identifier: GPL-3.0-or-later
// Counts heap allocations across thousands of blocks of every kind: the
// block path must not allocate at all.
#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "EngineTestSupport.h"
#include "tests/support/AllocationCount.h"
#include "tests/support/TempDir.h"

namespace sorvane {
namespace {

using test::EngineOnRig;

// Runs every kind of block in turn: live with a chord and vibrato and echo,
// phrase capture, phrase replay, a running take, and drops after stalls.
struct Scenario : VirtualLoopClient {
  EngineState& E;
  const char* TakeDir;
  explicit Scenario(EngineState& e, const char* dir) : E(e), TakeDir(dir) {}
  void BeforeCapture(VirtualAudioRig& rig, int32_t b) override {
    switch (b) {
      case 10:
        KeyNoteOn(E, 3);
        KeyNoteOn(E, 7);
        KeyNoteOn(E, 30);
        break;
      case 200:
        SetEchoLevel(E, 80);
        SetCtrlHeld(E, true);
        break;
      case 300:
        SetGlideMs(E, 300);
        SetVelocityOn(E, true);
        SetPitchBend(E, -3000);
        KeyNoteOn(E, 35, 50);
        break;
      case 400: ToggleTake(E, TakeDir); break;
      case 600: rig.Stall(220 * 70); break;
      case 900: SetPhraseOn(E, true); break;
      case 950: EngineStartPhraseCapture(E); break;
      case 1400:
        for (int k = 0; k < 9; ++k) KeyNoteOn(E, 11 + k);
        break;
      case 1500:
        SelectWaveform(E, kSawtooth);
        SetModShape(E, false);
        SetPitchBend(E, 8191);
        break;
      case 1700:
        rig.Stall(220 * 40);
        SetEmphasis(E, true);
        break;
      case 1900:
        SetPhraseOn(E, false);
        SelectWaveform(E, kSquare);
        break;
      case 2500: ToggleTake(E, TakeDir); break;
      default: break;
    }
  }
  void AfterCapture(VirtualAudioRig&, int32_t, int64_t) override {
    Drops += E.LastCapture.Dropped ? 1 : 0;
    ModesSeen |= 1 << E.Phrase.PhraseMode;
    TakeBlocksSeen += E.Take.Recording ? 1 : 0;
    LongOrShort += E.LastCapture.BlockLength != 220 && !E.LastCapture.Dropped ? 1 : 0;
  }
  int Drops = 0;
  int ModesSeen = 0;
  int TakeBlocksSeen = 0;
  int LongOrShort = 0;
};

TEST(BlockPath, AllocatesNothing) {
  const test::TempDir dir;
  const std::string dirText = dir.Path.string();
  EngineOnRig r(test::TestVoice(22050 * 40, 9000));
  constexpr int32_t kBlocks = 3000;
  r.Rig->ReservePlayed(int64_t{kBlocks} * kBlockLengthLong);
  // The test host records notifications; give it room up front.
  r.Host.Colours.reserve(1000);
  r.Host.Buttons.reserve(1000);
  r.Host.Takes.reserve(1000);
  OpenAudio(r.E());
  Scenario scenario(r.E(), dirText.c_str());

  test::StartCountingAllocations();
  r.Rig->Run(EngineEvents(r.E()), kBlocks, &scenario);
  const long during = test::StopCountingAllocations();

  EXPECT_EQ(during, 0);
  // The run went through every kind of block.
  EXPECT_GT(scenario.Drops, 0);
  EXPECT_EQ(scenario.ModesSeen, 0b111);
  EXPECT_GT(scenario.TakeBlocksSeen, 1000);
  EXPECT_GT(scenario.LongOrShort, 0);
  EXPECT_FALSE(r.E().Take.Recording);
}

}  // namespace
}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// A long run with a random but reproducible user: keys, every control,
// phrase capture and replay, stalls. Checks what must hold at every block.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>

#include "EngineTestSupport.h"
#include "tests/support/TestRandom.h"

namespace sorvane {
namespace {

using test::EngineOnRig;

struct RandomUser : VirtualLoopClient {
  EngineState& E;
  test::TestRandom Random;
  int Lines = 0;
  int Drops = 0;
  int32_t PreviousRate = kWarmUp;
  std::set<double> Gains;
  explicit RandomUser(EngineState& e, uint32_t seed) : E(e), Random(seed) {}

  uint32_t Next(uint32_t range) { return Random.Below(range); }

  void BeforeCapture(VirtualAudioRig& rig, int32_t) override {
    switch (Next(40)) {
      case 0:
      case 1:
      case 2:
      case 3: KeyNoteOn(E, static_cast<int32_t>(Next(41))); break;
      case 4:
      case 5:
      case 6: KeyNoteOff(E, static_cast<int32_t>(Next(41))); break;
      case 7: SelectWaveform(E, static_cast<int32_t>(Next(3))); break;
      case 8: SetOctave(E, static_cast<int32_t>(Next(4))); break;
      case 9: SetModDepth(E, static_cast<int32_t>(Next(101))); break;
      case 10: SetModRate(E, 1 + static_cast<int32_t>(Next(20))); break;
      case 11: SetModShape(E, Next(2) == 0); break;
      case 12: SetCtrlHeld(E, Next(2) == 0); break;
      case 13: SetModAlwaysOn(E, Next(2) == 0); break;
      case 14: SetEchoLevel(E, static_cast<int32_t>(Next(101))); break;
      case 15: SetEchoDelayMs(E, 50 + static_cast<int32_t>(Next(151))); break;
      case 16: SetEmphasis(E, Next(2) == 0); break;
      case 17: SetPhraseOn(E, Next(3) != 0); break;
      case 18: EngineStartPhraseCapture(E); break;
      case 19:
        if (Next(8) == 0) rig.Stall(220 * static_cast<int64_t>(Next(150)));
        break;
      default: break;
    }
  }

  void AfterCapture(VirtualAudioRig&, int32_t, int64_t) override {
    ++Lines;
    const CaptureReport& c = E.LastCapture;
    // The gate drops exactly the blocks that met 16 or more queued buffers.
    ASSERT_EQ(c.Dropped, c.QueuedAtGate >= kDropQueueDepth);
    if (c.Dropped) {
      ++Drops;
      ASSERT_EQ(E.Rate.RateState, PreviousRate);
    } else {
      ASSERT_TRUE(c.BlockLength == 220 || c.BlockLength == 242 || c.BlockLength == 198);
      ASSERT_LE(c.QueuedAtGate, 15);
    }
    ASSERT_EQ(E.Ring.CaptureQueued, kRingSize);  // every buffer goes back
    ASSERT_GE(E.Ring.PlaybackQueued, 0);
    ASSERT_LE(E.Ring.PlaybackQueued, kDropQueueDepth);
    ASSERT_GE(E.Frame.ExcitationGain, kMinExcitationGain);
    ASSERT_LE(E.Frame.ExcitationGain, 1.0);
    Gains.insert(E.Frame.ExcitationGain);
    for (double v : E.Synth.EchoBuffer) ASSERT_LE(std::fabs(v), 32767.0);
    for (double v : E.Synth.LiveLatticeState) ASSERT_LE(std::fabs(v), 262144.0);
    ASSERT_GE(E.Synth.EchoPos, 0);
    ASSERT_LT(E.Synth.EchoPos, kEchoBufferLength);
    int held = 0;
    for (int32_t k : E.Pool.VoiceKeys) held += k != kNoKey;
    ASSERT_LE(held, kVoiceCount);
    PreviousRate = E.Rate.RateState;
  }
};

TEST(LongRun, InvariantsHoldThroughEveryKindOfBlock) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    EngineOnRig r(test::TestVoice(22050 * 30, 14000));
    OpenAudio(r.E());
    RandomUser user(r.E(), seed);
    r.Rig->Run(EngineEvents(r.E()), 6000, &user);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_GT(user.Lines, 4000);
    EXPECT_GT(user.Drops, 0);
    EXPECT_GT(user.Gains.size(), 3u);
    for (double g : user.Gains) EXPECT_EQ(std::exp2(std::round(std::log2(g))), g);
    // No sample is ever -32768.
    const auto& played = r.Rig->Played();
    EXPECT_EQ(std::count(played.begin(), played.end(), static_cast<int16_t>(-32768)), 0);
    // And the engine still closes cleanly.
    EXPECT_FALSE(CloseQuery(r.E()));
    r.Rig->Drain(EngineEvents(r.E()));
    EXPECT_TRUE(r.Host.Closed);
  }
}

}  // namespace
}  // namespace sorvane

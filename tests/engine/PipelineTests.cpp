// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "EngineTestSupport.h"

namespace sorvane {
namespace {

using test::EngineOnRig;
using test::OpenEngineOnRig;
using test::RecordedBoxes;

// Records what each capture event did.
struct Recorder : VirtualLoopClient {
  struct Line {
    int32_t Block;
    int64_t At;
    CaptureReport Report;
    int32_t RateState;
  };
  EngineState& Engine;
  std::vector<Line> Lines;
  std::vector<std::pair<int32_t, int64_t>> Stalls;  // block, samples
  explicit Recorder(EngineState& e) : Engine(e) {}
  void BeforeCapture(VirtualAudioRig& rig, int32_t block) override {
    for (auto& s : Stalls) {
      if (s.first == block) rig.Stall(s.second);
    }
  }
  void AfterCapture(VirtualAudioRig&, int32_t block, int64_t at) override {
    Lines.push_back({block, at, Engine.LastCapture, Engine.Rate.RateState});
  }
};

TEST(OpenAudio, QueuesTheWholeRingAndStarts) {
  OpenEngineOnRig r;
  EXPECT_EQ(r.E().Ring.CaptureIndex, 0);
  EXPECT_EQ(r.E().Ring.CaptureQueued, 101);
  EXPECT_EQ(r.Rig->CaptureDeviceQueued(), 101);
  EXPECT_TRUE(r.E().Running);
  EXPECT_EQ(r.Host.Started, 1);
  for (const auto& h : r.E().Ring.CaptureHeaders) EXPECT_EQ(h.BufferLength, 440u);
}

TEST(Pipeline, WarmUpThenTheQueueSettlesBetweenEightAndTwelve) {
  OpenEngineOnRig r;
  Recorder rec(r.E());
  r.Rig->Run(EngineEvents(r.E()), 2000, &rec);
  ASSERT_EQ(rec.Lines.size(), 2000u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(rec.Lines[i].Report.QueuedAtGate, 0);
    EXPECT_EQ(rec.Lines[i].Report.BlockLength, 220);
  }
  EXPECT_EQ(rec.Lines[99].RateState, kSteady);
  for (int i = 400; i < 2000; ++i) {
    ASSERT_GE(rec.Lines[i].Report.QueuedAtGate, 8) << i;
    ASSERT_LE(rec.Lines[i].Report.QueuedAtGate, 12) << i;
    ASSERT_FALSE(rec.Lines[i].Report.Dropped);
  }
  // Both rings wrapped many times and every capture buffer is still in flight.
  EXPECT_EQ(r.E().Ring.CaptureQueued, 101);
  EXPECT_EQ(r.Rig->LostBlocks(), 0);
  int64_t played = 0;
  for (const auto& l : rec.Lines) played += l.Report.BlockLength;
  EXPECT_EQ(static_cast<int64_t>(r.Rig->Played().size()), played);
}

TEST(Pipeline, HeaderLengthFollowsTheBlockLength) {
  OpenEngineOnRig r;
  Recorder rec(r.E());
  bool seen[3] = {};
  for (int b = 1; b <= 3000 && !(seen[0] && seen[1] && seen[2]); ++b) {
    r.Rig->Run(EngineEvents(r.E()), b, &rec);
    const int32_t last = (r.E().Ring.PlaybackIndex + kRingSize - 1) % kRingSize;
    const uint32_t bytes = r.E().Ring.PlaybackHeaders[last].BufferLength;
    ASSERT_EQ(bytes, 2u * static_cast<uint32_t>(rec.Lines.back().Report.BlockLength));
    seen[0] |= bytes == 440;
    seen[1] |= bytes == 484;
    seen[2] |= bytes == 396;
  }
  EXPECT_TRUE(seen[0] && seen[1]);
}

TEST(DropGate, DropsAtSixteenQueuedAndKeepsTheCaptureRingFull) {
  OpenEngineOnRig r;
  Recorder rec(r.E());
  rec.Stalls = {{300, 220 * 60}, {700, 220 * 90}};
  r.Rig->Run(EngineEvents(r.E()), 1500, &rec);
  bool processedAt15 = false;
  int drops = 0;
  for (const auto& l : rec.Lines) {
    if (l.Report.QueuedAtGate >= 16) {
      ASSERT_TRUE(l.Report.Dropped) << l.Block;
      ASSERT_EQ(l.Report.BlockLength, 0);
      ++drops;
    } else {
      ASSERT_FALSE(l.Report.Dropped) << l.Block;
    }
    processedAt15 |= l.Report.QueuedAtGate == 15;
  }
  EXPECT_GT(drops, 0);
  EXPECT_TRUE(processedAt15);
  EXPECT_EQ(r.E().Ring.CaptureQueued, 101);  // dropped buffers went straight back
  EXPECT_EQ(r.Rig->LostBlocks(), 0);
}

TEST(DropGate, ADroppedBlockLeavesNoTraceInTheAnalysis) {
  // Two runs on the same input, one of which drops some blocks: after the
  // drops the analysis ring holds the blocks analysed before them.
  OpenEngineOnRig r;
  Recorder rec(r.E());
  rec.Stalls = {{150, 220 * 80}};
  r.Rig->Run(EngineEvents(r.E()), 400, &rec);
  int analysed = 0;
  int dropped = 0;
  for (const auto& l : rec.Lines) (l.Report.Dropped ? dropped : analysed) += 1;
  ASSERT_GT(dropped, 0);
  EXPECT_EQ(r.E().Analysis.RingIndex, analysed % 4);
  EXPECT_EQ(r.E().Rate.WarmUpCount, 0);
  EXPECT_EQ(r.E().Rate.RateState == kWarmUp, analysed < 100);
}

TEST(Pipeline, StallLongerThanTheRingLosesSoundButNoBuffer) {
  OpenEngineOnRig r;
  Recorder rec(r.E());
  rec.Stalls = {{200, 220 * 130}};
  r.Rig->Run(EngineEvents(r.E()), 600, &rec);
  EXPECT_GT(r.Rig->LostBlocks(), 0);
  EXPECT_EQ(static_cast<int32_t>(rec.Lines.size()) + r.Rig->LostBlocks(), 600);
  EXPECT_EQ(r.E().Ring.CaptureQueued, 101);
}

TEST(ErrorBox, EngineCaptionFollowsTheLanguage) {
  RecordedBoxes boxes;
  SetLanguageJapanese(false);
  ShowError("Start error");
  SetLanguageJapanese(true);
  ShowError("Start error");
  SetLanguageJapanese(false);
  EXPECT_EQ(boxes.Captions, (std::vector<std::string>{"Sorvane ERROR!", "Sorvane エラー"}));
}

TEST(ErrorBox, ARepeatedDeviceErrorIsNotShownInsideItsOwnBox) {
  struct Nested {
    int Shown = 0;
    static void Handler(void* c, const char*, const char* text) {
      auto* self = static_cast<Nested*>(c);
      ++self->Shown;
      // The box's own event loop delivers more failing events.
      if (self->Shown < 5) {
        ShowError(text);
        ShowError("Out Un Prepare error");
      }
    }
  } nested;
  SetErrorBoxHandler(&Nested::Handler, &nested);
  ShowError("Wave out error");
  SetErrorBoxHandler(nullptr, nullptr);
  EXPECT_EQ(nested.Shown, 2);  // the first box and the other message once
}

struct FailureCase {
  bool Capture;
  VirtualAudioRig::Op Op;
  const char* Message;
};

class CaptureHandlerFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CaptureHandlerFailures, ShowTheMessageAndEndTheHandler) {
  const FailureCase c = GetParam();
  RecordedBoxes boxes;
  OpenEngineOnRig r;
  r.Rig->Run(EngineEvents(r.E()), 10, nullptr);
  const BufferRing before = r.E().Ring;
  const Coefficients prev = r.E().Synth.PrevReflection;
  const size_t played = r.Rig->Played().size();
  r.Rig->FailNext(c.Capture, c.Op);
  r.Rig->Run(EngineEvents(r.E()), 11, nullptr);
  ASSERT_EQ(boxes.Texts, std::vector<std::string>{c.Message});
  EXPECT_EQ(boxes.Captions[0], "Sorvane ERROR!");
  const BufferRing& after = r.E().Ring;
  EXPECT_EQ(after.CaptureQueued, before.CaptureQueued - 1);  // not handed back
  EXPECT_EQ(after.CaptureIndex, before.CaptureIndex);
  // Only a failed hand-back (step 9) comes after the block was played.
  const bool handBackStep = c.Capture && c.Op != VirtualAudioRig::Op::Unprepare;
  EXPECT_EQ(after.PlaybackIndex != before.PlaybackIndex, handBackStep);
  EXPECT_EQ(r.Rig->Played().size() > played, handBackStep);
  if (!c.Capture) {
    EXPECT_EQ(r.E().Synth.PrevReflection, prev);  // the next block glides again from it
  }
}

INSTANTIATE_TEST_SUITE_P(EachStep, CaptureHandlerFailures,
                         ::testing::Values(FailureCase{true, VirtualAudioRig::Op::Unprepare, "In Un Prepare error"},
                                           FailureCase{false, VirtualAudioRig::Op::Prepare, "Out Prepare error"},
                                           FailureCase{false, VirtualAudioRig::Op::Queue, "Wave out error"},
                                           FailureCase{true, VirtualAudioRig::Op::Prepare, "In Prepare error"},
                                           FailureCase{true, VirtualAudioRig::Op::Queue, "Add buffer error"}));

TEST(PlaybackHandler, UnprepareFailureIsShownAndTheHandlerGoesOn) {
  RecordedBoxes boxes;
  OpenEngineOnRig r;
  r.Rig->Run(EngineEvents(r.E()), 5, nullptr);
  r.Rig->FailNext(false, VirtualAudioRig::Op::Unprepare);
  r.Rig->Run(EngineEvents(r.E()), 7, nullptr);
  EXPECT_EQ(boxes.Texts, std::vector<std::string>{"Out Un Prepare error"});
  EXPECT_EQ(r.E().Ring.PlaybackQueued, 1);  // counted back all the same: only the last block is out
}

TEST(OpenAudioFailures, EachStepReportsAndLeavesTheEngineNotRunning) {
  const struct {
    bool Capture;
    VirtualAudioRig::Op Op;
    const char* Message;
    int32_t Queued;
  } cases[] = {{true, VirtualAudioRig::Op::Open, "Problem creating record handle", 0},
               {false, VirtualAudioRig::Op::Open, "Problem creating play handle", 0},
               {true, VirtualAudioRig::Op::Prepare, "In Prepare error", 0},
               {true, VirtualAudioRig::Op::Queue, "Add buffer error", 0},
               {true, VirtualAudioRig::Op::Start, "Start error", 101}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Message);
    RecordedBoxes boxes;
    EngineOnRig r;
    r.Rig->FailNext(c.Capture, c.Op);
    OpenAudio(r.E());
    EXPECT_EQ(boxes.Texts, std::vector<std::string>{c.Message});
    EXPECT_FALSE(r.E().Running);
    EXPECT_EQ(r.E().Ring.CaptureQueued, c.Queued);
    EXPECT_EQ(r.Host.Started, 0);
  }
}

}  // namespace
}  // namespace sorvane

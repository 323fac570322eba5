// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <unistd.h>

#include "EngineTestSupport.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

namespace sorvane {
namespace {

using test::EngineOnRig;
using test::Le32At;
using test::OpenEngineOnRig;
using test::RecordedBoxes;

TEST(Close, WhileRunningIsRefusedUntilEveryBufferIsBack) {
  OpenEngineOnRig r;
  r.Rig->Run(EngineEvents(r.E()), 500, nullptr);
  ASSERT_GT(r.E().Ring.PlaybackQueued, 0);
  EXPECT_FALSE(CloseQuery(r.E()));
  EXPECT_TRUE(r.E().Closing);
  EXPECT_FALSE(CloseQuery(r.E()));  // a second click while draining is harmless
  r.Rig->Drain(EngineEvents(r.E()));
  EXPECT_EQ(r.E().Ring.CaptureQueued, 0);
  EXPECT_EQ(r.E().Ring.PlaybackQueued, 0);
  EXPECT_TRUE(r.E().CloseReady);
  EXPECT_EQ(r.Host.CloseRequests, 1);
  EXPECT_TRUE(r.Host.Closed);
  EXPECT_FALSE(r.Rig->Capture().IsOpen());
  EXPECT_FALSE(r.Rig->Playback().IsOpen());
}

TEST(Close, AfterAFailedOpenSucceedsAtOnce) {
  RecordedBoxes boxes;
  EngineOnRig r;
  r.Rig->FailNext(true, VirtualAudioRig::Op::Open);
  OpenAudio(r.E());
  EXPECT_TRUE(CloseQuery(r.E()));
}

TEST(Close, AfterAFailedStartTheQueuedBuffersComeBackAndAreDropped) {
  RecordedBoxes boxes;
  EngineOnRig r;
  r.Rig->FailNext(true, VirtualAudioRig::Op::Start);
  OpenAudio(r.E());
  EXPECT_FALSE(CloseQuery(r.E()));
  r.Rig->Drain(EngineEvents(r.E()));
  EXPECT_TRUE(r.Host.Closed);
  EXPECT_TRUE(r.Rig->Played().empty());
}

// The bytes of the one file in dir.
std::vector<uint8_t> OnlyFile(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) files.push_back(entry.path());
  EXPECT_EQ(files.size(), 1u);
  if (files.empty()) return {};
  return test::ReadFileBytes(files[0]);
}

// The one take in dir is a complete file of exactly what the rig was given
// to play from sample playedBefore on.
void ExpectTakeOfThePlayed(const std::filesystem::path& dir, const VirtualAudioRig& rig, size_t playedBefore) {
  const size_t takeSamples = rig.Played().size() - playedBefore;
  const std::vector<uint8_t> bytes = OnlyFile(dir);
  ASSERT_EQ(bytes.size(), 46 + 2 * takeSamples);
  EXPECT_EQ(Le32At(bytes, 42), 2 * takeSamples);  // data size: every byte played during the take
  EXPECT_EQ(Le32At(bytes, 4), 38 + 2 * takeSamples);
  EXPECT_EQ(0, std::memcmp(bytes.data() + 46, rig.Played().data() + playedBefore, 2 * takeSamples));
}

TEST(Close, CompletesARunningTakeBeforeTheDevicesClose) {
  const test::TempDir temp;
  const std::filesystem::path& dir = temp.Path;
  OpenEngineOnRig r;
  r.Rig->Run(EngineEvents(r.E()), 50, nullptr);
  ToggleTake(r.E(), dir.c_str());
  ASSERT_TRUE(r.E().Take.Recording);
  const size_t playedBefore = r.Rig->Played().size();
  r.Rig->Run(EngineEvents(r.E()), 400, nullptr);
  const size_t playedAtClose = r.Rig->Played().size();
  CloseQuery(r.E());
  r.Rig->Drain(EngineEvents(r.E()));
  ASSERT_TRUE(r.Host.Closed);
  EXPECT_FALSE(r.E().Take.Recording);
  EXPECT_EQ(r.Host.Takes, (std::vector<bool>{true, false}));
  // The take holds exactly what was queued for playing.
  ExpectTakeOfThePlayed(dir, *r.Rig, playedBefore);
  EXPECT_EQ(r.Rig->Played().size(), playedAtClose);
}

// The sound server goes away 300 blocks into a take and comes back: the
// window never closes, and the take is one valid file of everything played
// before and after the gap.
TEST(Suspend, ATakeGoesOnAcrossTheGapAndTheWindowStays) {
  RecordedBoxes boxes;
  const test::TempDir temp;
  OpenEngineOnRig r;
  r.Rig->Run(EngineEvents(r.E()), 100, nullptr);
  ToggleTake(r.E(), temp.Path.c_str());
  const size_t playedBefore = r.Rig->Played().size();
  r.Rig->Run(EngineEvents(r.E()), 400, nullptr);
  ASSERT_GT(r.E().Ring.PlaybackQueued, 0);

  SuspendAudio(r.E());
  EXPECT_FALSE(r.E().Running);
  EXPECT_FALSE(SuspendSettled(r.E()));  // the buffers are not back yet
  EXPECT_NE(ResumeAudio(r.E()), nullptr);
  r.Rig->Drain(EngineEvents(r.E()));
  EXPECT_EQ(r.E().Ring.CaptureQueued, 0);
  EXPECT_EQ(r.E().Ring.PlaybackQueued, 0);
  EXPECT_FALSE(r.Rig->Capture().IsOpen());
  EXPECT_FALSE(r.Rig->Playback().IsOpen());
  EXPECT_TRUE(SuspendSettled(r.E()));
  EXPECT_EQ(r.Host.CloseRequests, 0);
  EXPECT_FALSE(r.E().CloseReady);
  EXPECT_TRUE(r.E().Take.Recording);

  // The gap: capture blocks pass with no device to take them.
  const size_t playedAtGap = r.Rig->Played().size();
  const int32_t lostBefore = r.Rig->LostBlocks();
  r.Rig->Run(EngineEvents(r.E()), 600, nullptr);
  EXPECT_EQ(r.Rig->LostBlocks() - lostBefore, 200);
  EXPECT_EQ(r.Rig->Played().size(), playedAtGap);

  EXPECT_EQ(ResumeAudio(r.E()), nullptr);
  EXPECT_TRUE(r.E().Running);
  EXPECT_FALSE(r.E().Suspended);
  EXPECT_EQ(r.E().Ring.CaptureQueued, kRingSize);
  EXPECT_EQ(r.Host.Started, 2);
  r.Rig->Run(EngineEvents(r.E()), 900, nullptr);
  EXPECT_GT(r.Rig->Played().size(), playedAtGap + 250 * kBlockSamples);

  CloseQuery(r.E());
  r.Rig->Drain(EngineEvents(r.E()));
  ASSERT_TRUE(r.Host.Closed);
  EXPECT_EQ(r.Host.Takes, (std::vector<bool>{true, false}));
  ExpectTakeOfThePlayed(temp.Path, *r.Rig, playedBefore);
  EXPECT_TRUE(boxes.Texts.empty());
}

// Exit or a termination signal while the sound is gone: the close goes
// ahead at once once the devices are closed, and after the drain when not.
TEST(Suspend, ACloseRequestStillClosesAndCompletesTheTake) {
  const test::TempDir temp;
  OpenEngineOnRig r;
  r.Rig->Run(EngineEvents(r.E()), 100, nullptr);
  ToggleTake(r.E(), temp.Path.c_str());
  r.Rig->Run(EngineEvents(r.E()), 200, nullptr);
  SuspendAudio(r.E());
  r.Rig->Drain(EngineEvents(r.E()));
  EXPECT_TRUE(CloseQuery(r.E()));
  CloseAudio(r.E());
  EXPECT_FALSE(r.E().Take.Recording);
  EXPECT_EQ(Le32At(OnlyFile(temp.Path), 4), 38 + Le32At(OnlyFile(temp.Path), 42));

  // Asked while the suspended devices still hand their buffers back.
  EngineOnRig early;
  OpenAudio(early.E());
  early.Rig->Run(EngineEvents(early.E()), 100, nullptr);
  SuspendAudio(early.E());
  EXPECT_FALSE(CloseQuery(early.E()));
  early.Rig->Drain(EngineEvents(early.E()));
  EXPECT_EQ(early.Host.CloseRequests, 1);
  EXPECT_TRUE(early.Host.Closed);
  EXPECT_NE(ResumeAudio(early.E()), nullptr);  // nothing starts again once closing
  EXPECT_FALSE(early.Rig->Capture().IsOpen());
}

// The server is not quite back: a resume that fails shows no box, leaves
// the engine suspended with its devices closed once the buffers are back,
// and the next try starts the sound.
TEST(Suspend, AFailedResumeStaysSuspendedAndTheNextTryRuns) {
  RecordedBoxes boxes;
  OpenEngineOnRig r;
  r.Rig->Run(EngineEvents(r.E()), 100, nullptr);
  SuspendAudio(r.E());
  r.Rig->Drain(EngineEvents(r.E()));

  r.Rig->FailNext(false, VirtualAudioRig::Op::Open);
  EXPECT_STREQ(ResumeAudio(r.E()), "Problem creating play handle");
  EXPECT_TRUE(r.E().Suspended);
  EXPECT_FALSE(r.Rig->Capture().IsOpen());  // it had opened
  EXPECT_TRUE(SuspendSettled(r.E()));

  r.Rig->FailNext(true, VirtualAudioRig::Op::Start);
  EXPECT_STREQ(ResumeAudio(r.E()), "Start error");
  EXPECT_FALSE(SuspendSettled(r.E()));  // the queued ring comes back first
  r.Rig->Drain(EngineEvents(r.E()));
  EXPECT_TRUE(SuspendSettled(r.E()));
  EXPECT_EQ(r.Host.CloseRequests, 0);

  const size_t played = r.Rig->Played().size();
  EXPECT_EQ(ResumeAudio(r.E()), nullptr);
  r.Rig->Run(EngineEvents(r.E()), 300, nullptr);
  EXPECT_GT(r.Rig->Played().size(), played);
  EXPECT_TRUE(boxes.Texts.empty());
  EXPECT_EQ(r.Host.Started, 2);
}

TEST(Take, AFileThatCannotBeCreatedIsReportedAndTheRecorderStaysIdle) {
  RecordedBoxes boxes;
  EngineOnRig r;
  ToggleTake(r.E(), "/nonexistent-folder/for-sure");
  EXPECT_FALSE(r.E().Take.Recording);
  EXPECT_EQ(boxes.Texts, std::vector<std::string>{"ファイルオープンエラー (mmioOpen)"});
  EXPECT_EQ(r.Host.Takes, std::vector<bool>{false});
}

}  // namespace
}  // namespace sorvane

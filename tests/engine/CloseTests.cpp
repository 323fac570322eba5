// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <unistd.h>

#include "EngineTestSupport.h"
#include "tests/support/TempDir.h"

namespace sorvane {
namespace {

using test::EngineOnRig;
using test::RecordedBoxes;

uint32_t Le32At(const std::vector<char>& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8) |
         (static_cast<uint8_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24);
}

TEST(Close, WhileRunningIsRefusedUntilEveryBufferIsBack) {
  EngineOnRig r;
  OpenAudio(r.E());
  r.Rig->Run(r.E(), 500, nullptr);
  ASSERT_GT(r.E().Ring.PlaybackQueued, 0);
  EXPECT_FALSE(CloseQuery(r.E()));
  EXPECT_TRUE(r.E().Closing);
  EXPECT_FALSE(CloseQuery(r.E()));  // a second click while draining is harmless
  r.Rig->Drain(r.E());
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
  r.Rig->Drain(r.E());
  EXPECT_TRUE(r.Host.Closed);
  EXPECT_TRUE(r.Rig->Played().empty());
}

TEST(Close, CompletesARunningTakeBeforeTheDevicesClose) {
  const test::TempDir temp;
  const std::filesystem::path& dir = temp.Path;
  EngineOnRig r;
  OpenAudio(r.E());
  r.Rig->Run(r.E(), 50, nullptr);
  ToggleTake(r.E(), dir.c_str());
  ASSERT_TRUE(r.E().Take.Recording);
  const size_t playedBefore = r.Rig->Played().size();
  r.Rig->Run(r.E(), 400, nullptr);
  const size_t takeSamples = r.Rig->Played().size() - playedBefore;
  CloseQuery(r.E());
  r.Rig->Drain(r.E());
  ASSERT_TRUE(r.Host.Closed);
  EXPECT_FALSE(r.E().Take.Recording);
  EXPECT_EQ(r.Host.Takes, (std::vector<bool>{true, false}));

  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u);
  std::ifstream in(files[0], std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 46 + 2 * takeSamples);
  EXPECT_EQ(Le32At(bytes, 42), 2 * takeSamples);  // data size: every byte played during the take
  EXPECT_EQ(Le32At(bytes, 4), 38 + 2 * takeSamples);
  // The take holds exactly what was queued for playing.
  EXPECT_EQ(0, std::memcmp(bytes.data() + 46, r.Rig->Played().data() + playedBefore, 2 * takeSamples));
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

// SPDX-License-Identifier: GPL-3.0-or-later
// Take files: names (never one taken before), the exact file a take leaves
// behind however it ended, what a running take's file holds, the block
// limit, and failures to create or to write.
#include "wavfile/TakeRecorder.h"

#include "wavfile/WaveFile.h"

#include "WaveTestSupport.h"

namespace sorvane::test {
namespace {

std::tm Time(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

const std::tm kStart = Time(2024, 3, 1, 9, 5, 7);
constexpr const char* kStartName = "20240301-090507.wav";

// The take layout for n sample bytes, written out independently.
Bytes TakeFile(const Bytes& samples) {
  Bytes out = Text("RIFF");
  PutLe(out, 38 + static_cast<uint32_t>(samples.size()), 4);
  out = Cat({out, Text("WAVEfmt "), {18, 0, 0, 0}, FmtBody(1), {0, 0}, Text("data")});
  PutLe(out, static_cast<uint32_t>(samples.size()), 4);
  return Cat({out, samples});
}

TEST(TakeFileName, IsTheLocalTimeWithLeadingZerosThenANumber) {
  char name[32];
  TakeFileName(kStart, 1, name, 20);
  EXPECT_STREQ(name, kStartName);
  TakeFileName(Time(1999, 12, 31, 23, 59, 59), 1, name, sizeof name);
  EXPECT_STREQ(name, "19991231-235959.wav");
  TakeFileName(kStart, 2, name, sizeof name);
  EXPECT_STREQ(name, "20240301-090507-2.wav");
  TakeFileName(kStart, kTakeNameNumbers, name, sizeof name);
  EXPECT_STREQ(name, "20240301-090507-999.wav");
}

TEST(TakeRecorder, EmptyTakeIsTheBare46ByteLayout) {
  TempDir dir;
  ErrorLog log;
  TakeRecorder take;
  ASSERT_TRUE(StartTake(take, dir.Path.c_str(), kStart));
  EXPECT_TRUE(take.Recording);
  StopTake(take);
  EXPECT_FALSE(take.Recording);
  EXPECT_EQ(WriteTakeBlock(take, "ab", 2), TakeWriteResult::Idle);
  StopTake(take);
  EXPECT_EQ(ReadFileBytes(dir / kStartName), TakeFile({}));
  EXPECT_TRUE(log.Texts.empty());
}

TEST(TakeRecorder, FileHoldsEveryBlockInOrderAndPythonReadsIt) {
  TempDir dir;
  TakeRecorder take;
  ASSERT_TRUE(StartTake(take, (dir.Path.string() + "/").c_str(), kStart));
  Bytes played;
  const uint32_t lengths[] = {220, 242, 198};
  for (int i = 0; i < 30; ++i) {
    const Bytes block = Pattern(2 * lengths[i % 3], static_cast<uint32_t>(i));
    ASSERT_EQ(WriteTakeBlock(take, block.data(), static_cast<uint32_t>(block.size())), TakeWriteResult::Written);
    played = Cat({played, block});
  }
  EXPECT_EQ(take.TakeBlocks, 30);
  StopTake(take);
  EXPECT_EQ(ReadFileBytes(dir / kStartName), TakeFile(played));
  ExpectPythonReads(dir, dir / kStartName, played);
}

TEST(TakeRecorder, NewTakeNeverReplacesAFileAndCompletesThePreviousOne) {
  TempDir dir;
  TakeRecorder take;
  const Bytes first = Pattern(440, 1), second = Pattern(396, 2), third = Pattern(484, 3);
  ASSERT_TRUE(StartTake(take, dir.Path.c_str(), kStart));
  WriteTakeBlock(take, first.data(), 440);
  WriteTakeBlock(take, first.data(), 440);
  StopTake(take);
  // Within the same second the next free number goes after the time; a
  // file of another origin that holds a name is skipped, as is a link to
  // nowhere (which a plain create would follow).
  WriteBytes(dir / "20240301-090507-3.wav", Text("not a take"));
  ASSERT_EQ(::symlink((dir / "elsewhere.wav").c_str(), (dir / "20240301-090507-4.wav").c_str()), 0);
  ASSERT_TRUE(StartTake(take, dir.Path.c_str(), kStart));
  WriteTakeBlock(take, second.data(), 396);
  StopTake(take);
  ASSERT_TRUE(StartTake(take, dir.Path.c_str(), kStart));
  WriteTakeBlock(take, third.data(), 484);
  // Starting while a take runs completes the running one first.
  ASSERT_TRUE(StartTake(take, dir.Path.c_str(), Time(2024, 3, 1, 9, 5, 8)));
  StopTake(take);
  EXPECT_EQ(ReadFileBytes(dir / kStartName), TakeFile(Cat({first, first})));
  EXPECT_EQ(ReadFileBytes(dir / "20240301-090507-2.wav"), TakeFile(second));
  EXPECT_EQ(ReadFileBytes(dir / "20240301-090507-3.wav"), Text("not a take"));
  EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere.wav"));
  EXPECT_EQ(ReadFileBytes(dir / "20240301-090507-5.wav"), TakeFile(third));
  EXPECT_EQ(ReadFileBytes(dir / "20240301-090508.wav"), TakeFile({}));
}

TEST(TakeRecorder, RunningTakeIsAValidFileOfAllButItsLastBlocks) {
  // What a crash or a kill would leave: the file as it is while the take
  // runs. Its sizes cover every block up to the last update; the blocks
  // after it lie beyond the chunks, where readers do not look.
  TempDir dir;
  TakeRecorder take;
  ASSERT_TRUE(StartTake(take, dir.Path.c_str(), kStart));
  const std::string path = dir / kStartName;
  const uint32_t lengths[] = {242, 198, 220};
  constexpr int32_t kLast = 3 * kTakeSizeUpdateBlocks - 1;  // one short of the next update
  Bytes played;
  uint32_t updated = 0;  // data bytes at the last update
  for (int32_t i = 1; i <= kLast; ++i) {
    const Bytes block = Pattern(2 * lengths[i % 3], static_cast<uint32_t>(i));
    ASSERT_EQ(WriteTakeBlock(take, block.data(), static_cast<uint32_t>(block.size())), TakeWriteResult::Written);
    played = Cat({played, block});
    if (i % kTakeSizeUpdateBlocks == 0) updated = static_cast<uint32_t>(played.size());
    // Block 3 stands for a take killed before its first size update.
    if (i % kTakeSizeUpdateBlocks != 0 && i != kLast && i != 3) continue;
    SCOPED_TRACE(i);
    const Bytes file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 46u + played.size());
    EXPECT_EQ(Le32At(file, 42), updated);
    EXPECT_EQ(Le32At(file, 4), 38 + updated);
    {
      ErrorLog log;
      Bytes read(44100 * 4);
      uint32_t copied = 0;
      EXPECT_TRUE(ReadWaveFile(read.data(), path.c_str(), 4, &copied));
      EXPECT_EQ(copied, updated);
    }
    ExpectPythonReads(dir, path, Bytes(played.begin(), played.begin() + updated));
  }
  EXPECT_EQ(updated, 2 * kTakeSizeUpdateBlocks * 2 * 220u);
  StopTake(take);
  // Ended normally, the file is exactly the take's layout.
  EXPECT_EQ(ReadFileBytes(path), TakeFile(played));
}

TEST(TakeRecorder, EndsItselfAtTheBlockLimitAndStartsAgain) {
  TempDir dir;
  TakeRecorder take;
  const std::size_t descriptors = OpenDescriptors();
  for (int second = 0; second < 2; ++second) {
    SCOPED_TRACE(second);
    ASSERT_TRUE(StartTake(take, dir.Path.c_str(), Time(2024, 3, 1, 9, 5, second)));
    for (int32_t i = 1; i < kTakeBlockLimit; ++i) {
      ASSERT_EQ(WriteTakeBlock(take, "\1\2", 2), TakeWriteResult::Written) << i;
    }
    EXPECT_EQ(WriteTakeBlock(take, "\1\2", 2), TakeWriteResult::LimitReached);
    EXPECT_FALSE(take.Recording);
    EXPECT_EQ(WriteTakeBlock(take, "\1\2", 2), TakeWriteResult::Idle);
    const Bytes file = ReadFileBytes(dir / (second == 0 ? "20240301-090500.wav" : "20240301-090501.wav"));
    ASSERT_EQ(file.size(), 46u + 2 * kTakeBlockLimit);
    EXPECT_EQ(Le32At(file, 42), 2u * kTakeBlockLimit);
    EXPECT_EQ(Le32At(file, 4), 38u + 2 * kTakeBlockLimit);
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST(TakeRecorder, FileThatCannotBeCreatedIsReportedAndLeavesTheRecorderIdle) {
  TempDir dir;
  ErrorLog log;
  WriteBytes(dir / "plain", Text("not a directory"));
  const std::string tooLong = dir.Path.string() + "/" + std::string(5000, 'x');
  for (const std::string& directory : {dir / "missing", dir / "plain", tooLong}) {
    SCOPED_TRACE(directory.substr(0, 80));
    log.Clear();
    TakeRecorder take;
    EXPECT_FALSE(StartTake(take, directory.c_str(), kStart));
    EXPECT_EQ(log.Texts, std::vector<std::string>{"ファイルオープンエラー (mmioOpen)"});
    EXPECT_FALSE(take.Recording);
    EXPECT_EQ(WriteTakeBlock(take, "ab", 2), TakeWriteResult::Idle);
    StopTake(take);
  }
  // Headers that cannot be written leave no half-made file behind.
  const int result = RunWithFileSizeLimit(20, [&] {
    ErrorLog childLog;
    TakeRecorder take;
    const bool started = StartTake(take, dir.Path.c_str(), kStart);
    return !started && !take.Recording &&
                   childLog.Texts == std::vector<std::string>{"ファイルオープンエラー (mmioOpen)"}
               ? 0
               : 1;
  });
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(std::filesystem::exists(dir / kStartName));
}

TEST(TakeRecorder, FailedWriteEndsTheTakeAndKeepsAValidFileOfWholeBlocks) {
  TempDir dir;
  std::vector<Bytes> blocks;
  for (uint32_t i = 0; i < 10; ++i) blocks.push_back(Pattern(484, i));
  // Room for the headers, three blocks and part of a fourth.
  const int result = RunWithFileSizeLimit(46 + 3 * 484 + 100, [&] {
    ErrorLog log;
    TakeRecorder take;
    if (!StartTake(take, dir.Path.c_str(), kStart)) return 1;
    TakeWriteResult last = TakeWriteResult::Written;
    std::size_t written = 0;
    while (last == TakeWriteResult::Written && written < blocks.size()) {
      last = WriteTakeBlock(take, blocks[written++].data(), 484);
    }
    if (last != TakeWriteResult::Failed || written != 4) return 2;
    if (take.Recording || WriteTakeBlock(take, blocks[0].data(), 484) != TakeWriteResult::Idle) return 3;
    // The caller reports the failure once its block is done; the write itself shows nothing.
    if (!log.Texts.empty()) return 4;
    ShowTakeWriteError();
    return log.Texts == std::vector<std::string>{"dataチャンク書き込みエラー (mmioWrite)"} ? 0 : 5;
  });
  ASSERT_EQ(result, 0);
  const Bytes kept = Cat({blocks[0], blocks[1], blocks[2]});
  EXPECT_EQ(ReadFileBytes(dir / kStartName), TakeFile(kept));
  ExpectPythonReads(dir, dir / kStartName, kept);
}

}  // namespace
}  // namespace sorvane::test

// SPDX-License-Identifier: GPL-3.0-or-later
// Whole-file writing and reading: the exact bytes written, what an
// independent reader makes of them, how much is read, and every refusal with
// its message and an untouched destination.
#include "wavfile/WaveFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "WaveTestSupport.h"

namespace sorvane::test {
namespace {

Bytes Wave(const Bytes& data) { return Riff({Chunk("fmt ", FmtBody(1)), Chunk("data", data)}); }

TEST(WriteWaveFile, ThreeSecondsGiveTheExactFileThatPythonReads) {
  TempDir dir;
  ErrorLog log;
  const Bytes samples = Pattern(132300, 1);
  const std::string path = dir / "phrase.wav";
  ASSERT_TRUE(WriteWaveFile(path.c_str(), samples.data(), 132300));
  const Bytes file = ReadFileBytes(path);
  ASSERT_EQ(file.size(), 132344u);
  const Bytes header = Cat({Text("RIFF"),
                            {0xF0, 0x04, 0x02, 0x00},
                            Text("WAVEfmt "),
                            {16, 0, 0, 0, 1, 0, 1, 0, 0x22, 0x56, 0, 0, 0x44, 0xAC, 0, 0, 2, 0, 16, 0},
                            Text("data"),
                            {0xCC, 0x04, 0x02, 0x00}});
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 44), header);
  EXPECT_EQ(Le32At(file, 4), 132336u);
  EXPECT_TRUE(std::equal(samples.begin(), samples.end(), file.begin() + 44));
  EXPECT_TRUE(log.Texts.empty());
  ExpectPythonReads(dir, path, samples);
}

TEST(WriteWaveFile, ReplacesALongerFileAndWritesEmptyBuffers) {
  TempDir dir;
  ErrorLog log;
  const std::string path = dir / "phrase.wav";
  const Bytes samples = Pattern(441000, 2);
  ASSERT_TRUE(WriteWaveFile(path.c_str(), samples.data(), 441000));
  ASSERT_TRUE(WriteWaveFile(path.c_str(), samples.data(), 1000));
  EXPECT_EQ(ReadFileBytes(path), Wave(Bytes(samples.begin(), samples.begin() + 1000)));
  ASSERT_TRUE(WriteWaveFile(path.c_str(), nullptr, 0));
  EXPECT_EQ(ReadFileBytes(path), Wave({}));
  EXPECT_TRUE(log.Texts.empty());
}

TEST(WriteWaveFile, EachFailingStepReportsItsOwnMessage) {
  TempDir dir;
  {
    ErrorLog log;
    const Bytes samples = Pattern(100, 3);
    EXPECT_FALSE(WriteWaveFile((dir / "missing/phrase.wav").c_str(), samples.data(), 100));
    EXPECT_FALSE(WriteWaveFile(dir.Path.c_str(), samples.data(), 100));
    EXPECT_FALSE(WriteWaveFile("", samples.data(), 100));
    EXPECT_EQ(log.Texts, std::vector<std::string>(3, "ファイルオープンエラー (mmioOpen)"));
  }
  // A file size limit makes the write fail at a chosen byte: the RIFF
  // header takes bytes 0-11, the format chunk 12-35, the data chunk 36 on.
  const struct {
    rlim_t Limit;
    const char* Message;
  } cases[] = {
      {0, "RIFFチャンク作成エラー (mmioCreateChunk)"},  {12, "fmtチャンク作成エラー (mmioCreateChunk)"},
      {20, "fmtチャンク書き込みエラー (mmioWrite)"},    {36, "dataチャンク作成エラー (mmioCreateChunk)"},
      {1000, "dataチャンク書き込みエラー (mmioWrite)"},
  };
  const Bytes samples = Pattern(4000, 4);
  const std::string path = dir / "limited.wav";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Message);
    const int result = RunWithFileSizeLimit(c.Limit, [&] {
      ErrorLog log;
      const bool ok = WriteWaveFile(path.c_str(), samples.data(), 4000);
      return !ok && log.Texts == std::vector<std::string>{c.Message} ? 0 : 1;
    });
    EXPECT_EQ(result, 0);
  }
}

TEST(WriteWaveFile, FullDiskLeavesTheReplacedFileAsItWasAndNothingElse) {
  TempDir dir;
  const std::string path = dir / "phrase.wav";
  const Bytes old = Pattern(20000, 13), samples = Pattern(132300, 14);
  SmallRoom room{};
  // 64 KiB hold the old file but not the new one beside it.
  const int result = RunOnFullFileSystem(dir.Path.string(), 65536, &room, [&] {
    ErrorLog log;
    if (!WriteWaveFile(path.c_str(), old.data(), 20000)) return 1;
    if (WriteWaveFile(path.c_str(), samples.data(), 132300)) return 2;
    if (log.Texts != std::vector<std::string>{"dataチャンク書き込みエラー (mmioWrite)"}) return 3;
    if (ReadFileBytes(path) != Wave(old)) return 4;
    return FolderNames(dir.Path.string()) == std::vector<std::string>{"phrase.wav"} ? 0 : 5;
  });
  std::printf("room made small by %s\n", room == SmallRoom::SmallFileSystem ? "a 64 KiB tmpfs" : "a file size limit");
  EXPECT_EQ(result, 0) << "1: first save failed, 2: second save succeeded, 3: wrong message, "
                          "4: old file changed, 5: a temporary file was left";
}

TEST(WriteWaveFile, ReplacesTheFileALinkNamesAndKeepsItsPermissions) {
  TempDir dir;
  ErrorLog log;
  std::filesystem::create_directory(dir / "real");
  const std::string target = dir / "real/phrase.wav";
  const Bytes samples = Pattern(1000, 15);
  ASSERT_TRUE(WriteWaveFile(target.c_str(), samples.data(), 500));
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  ASSERT_EQ(::symlink("real/phrase.wav", (dir / "link.wav").c_str()), 0);
  ASSERT_EQ(::symlink("real/new.wav", (dir / "dangling.wav").c_str()), 0);
  ASSERT_TRUE(WriteWaveFile((dir / "link.wav").c_str(), samples.data(), 1000));
  ASSERT_TRUE(WriteWaveFile((dir / "dangling.wav").c_str(), samples.data(), 200));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.wav"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "dangling.wav"));
  EXPECT_EQ(ReadFileBytes(target), Wave(samples));
  EXPECT_EQ(ReadFileBytes(dir / "real/new.wav"), Wave(Bytes(samples.begin(), samples.begin() + 200)));
  struct stat info {};
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(FolderNames(dir / "real"), (std::vector<std::string>{"new.wav", "phrase.wav"}));
  EXPECT_TRUE(log.Texts.empty());
}

TEST(WaveFiles, PipesAreRefusedAtOnceAndLeftAsTheyAre) {
  // Opening a pipe for writing (or, blocking, for reading) waits for the
  // other end; the child is killed after 5 s if anything waits.
  TempDir dir;
  const std::string pipe = dir / "pipe.wav", link = dir / "link.wav";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  ASSERT_EQ(::symlink(pipe.c_str(), link.c_str()), 0);
  const int result = RunWithTimeout(5, [&] {
    ErrorLog log;
    const Bytes samples = Pattern(100, 16);
    uint8_t destination[44100];
    int accepted = 0;
    for (const std::string& path : {pipe, link}) {
      accepted += WriteWaveFile(path.c_str(), samples.data(), 100);
      accepted += ReadWaveFile(destination, path.c_str(), 1);
    }
    return accepted == 0 && log.Texts == std::vector<std::string>(4, "ファイルオープンエラー (mmioOpen)") ? 0 : 1;
  });
  EXPECT_EQ(result, 0) << "100 + 14: a call waited on the pipe";
  EXPECT_TRUE(std::filesystem::is_fifo(std::filesystem::symlink_status(pipe)));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(FolderNames(dir.Path.string()), (std::vector<std::string>{"link.wav", "pipe.wav"}));
}

TEST(ReadWaveFile, CopiesWhatTheWriterWrote) {
  TempDir dir;
  const Bytes samples = Pattern(132300, 5);
  const std::string path = dir / "phrase.wav";
  ASSERT_TRUE(WriteWaveFile(path.c_str(), samples.data(), 132300));
  ExpectCopied(ReadFileBytes(path), 3, samples);
}

TEST(ReadWaveFile, CopiesAtMostTheGivenSeconds) {
  const Bytes tenSeconds = Pattern(441000, 6);
  ExpectCopied(Wave(tenSeconds), 3, Bytes(tenSeconds.begin(), tenSeconds.begin() + 132300));
  const Bytes oneSecond = Pattern(44100, 7);
  ExpectCopied(Wave(oneSecond), 3, oneSecond);
  ExpectCopied(Wave(oneSecond), 0, {});
}

TEST(ReadWaveFile, AcceptsOtherPcmLayoutsAndSkipsOtherChunks) {
  const Bytes data = Pattern(3000, 8);
  const Bytes odd = Pattern(3, 9);
  const Bytes twoSeconds = Pattern(88200, 10);
  const FileCase cases[] = {
      {"stereo 44100 Hz", Riff({Chunk("fmt ", FmtBody(1, 2, 44100)), Chunk("data", data)}), data},
      {"8-bit with an odd data size, its pad byte and a chunk after",
       Riff({Chunk("fmt ", FmtBody(1, 1, 22050, 8)), Chunk("data", odd), Chunk("junk", data)}), odd},
      {"18-byte format chunk", Riff({Chunk("fmt ", Cat({FmtBody(1), {0, 0}})), Chunk("data", data)}), data},
      {"odd-sized chunks before, between and after",
       Riff({Chunk("LIST", Text("abc")), Chunk("fmt ", FmtBody(1)), Chunk("junk", Pattern(5, 1)), Chunk("data", data),
             Chunk("id3 ", Pattern(7, 2))}),
       data},
      {"size fields beyond the file, the bytes wanted present",
       Riff({Chunk("fmt ", FmtBody(1)), Chunk("data", twoSeconds, 0xFFFFFFFF)}, 0xFFFFFFFF),
       Bytes(twoSeconds.begin(), twoSeconds.begin() + 44100)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    ExpectCopied(c.File, 1, c.Expected);
  }
}

TEST(ReadWaveFile, RefusesBrokenAndHostileFilesWithoutTouchingTheDestination) {
  const Bytes fmt = Chunk("fmt ", FmtBody(1));
  const Bytes data = Chunk("data", Pattern(1000, 11));
  const Bytes valid = Riff({fmt, data});
  const Bytes oneSecond = Wave(Pattern(44100, 12));
  const struct {
    const char* Name;
    Bytes File;
    const char* Message;
  } cases[] = {
      {"empty file", {}, "ファイルシークエラー (mmioSeek)"},
      {"cut inside the RIFF header", Bytes(valid.begin(), valid.begin() + 10), "ファイルシークエラー (mmioSeek)"},
      {"not RIFF at all", Text("ID3\3 not a wave file at all"), "ファイルシークエラー (mmioSeek)"},
      {"RIFF of another form", Riff({fmt, data}, {}, "AVI "), "ファイルシークエラー (mmioSeek)"},
      {"no format chunk", Riff({data}), "fmtチャンクエラー (mmioDescend)"},
      {"format chunk beyond the RIFF chunk", Cat({Riff({}), fmt, data}), "fmtチャンクエラー (mmioDescend)"},
      {"chunk size running past the file", Riff({Chunk("junk", {}, 0xFFFFFFFF), fmt, data}),
       "fmtチャンクエラー (mmioDescend)"},
      {"empty format chunk", Riff({Chunk("fmt ", {}), data}), "fmtチャンクリードエラー (mmioRead)"},
      {"one-byte format chunk", Riff({Chunk("fmt ", {1}), data}), "fmtチャンクリードエラー (mmioRead)"},
      {"format size 0xFFFFFFF0", Riff({Chunk("fmt ", FmtBody(1), 0xFFFFFFF0), data}),
       "fmtチャンクリードエラー (mmioRead)"},
      {"cut inside the format chunk", Bytes(valid.begin(), valid.begin() + 28), "fmtチャンクリードエラー (mmioRead)"},
      {"IEEE float", Riff({Chunk("fmt ", FmtBody(3, 1, 22050, 32)), data}), "PCMフォーマットではありません。"},
      {"MPEG layer 3", Riff({Chunk("fmt ", FmtBody(0x55)), data}), "PCMフォーマットではありません。"},
      {"extensible", Riff({Chunk("fmt ", FmtBody(0xFFFE)), data}), "PCMフォーマットではありません。"},
      {"data before the format chunk", Riff({data, fmt}), "dataチャンクエラー"},
      {"no data chunk", Riff({fmt, Chunk("junk", Pattern(10, 1))}), "dataチャンクエラー"},
      {"data chunk beyond the RIFF chunk", Cat({Riff({fmt}), data}), "dataチャンクエラー"},
      {"data size 0xFFFFFFFF on a short file", Riff({fmt, Chunk("data", Pattern(100, 1), 0xFFFFFFFF)}),
       "dataチャンクリードエラー"},
      {"cut inside the data", Bytes(oneSecond.begin(), oneSecond.begin() + 1044), "dataチャンクリードエラー"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const Loaded l = Load(c.File, 1, false);
    EXPECT_FALSE(l.Ok);
    EXPECT_EQ(l.Messages, std::vector<std::string>{c.Message});
    EXPECT_EQ(l.Copied, 0xDEADBEEF);
    EXPECT_TRUE(l.UntouchedFrom(0));
  }

  TempDir dir;
  for (const std::string& path : {dir / "missing.wav", dir / "missing/in.wav", dir.Path.string()}) {
    SCOPED_TRACE(path);
    ErrorLog log;
    uint8_t destination[8] = {};
    EXPECT_FALSE(ReadWaveFile(destination, path.c_str(), 0));
    EXPECT_EQ(log.Texts, std::vector<std::string>{"ファイルオープンエラー (mmioOpen)"});
  }
}

}  // namespace
}  // namespace sorvane::test

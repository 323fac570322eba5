// SPDX-License-Identifier: GPL-3.0-or-later
// The RIFF layer's own guarantees that the WAV routines build on: sizes are
// fixed up on the way out, searches stay inside their parent, only regular
// files are read, and a new file never takes the place of an existing one.
#include "wavfile/Riff.h"

#include <sys/stat.h>

#include "WaveTestSupport.h"

namespace sorvane::test {
namespace {

TEST(RiffLayer, AscendFixesUpProvisionalSizesAndPadsOddChunks) {
  TempDir dir;
  const std::string path = dir / "odd.riff";
  RiffFile file;
  ASSERT_EQ(RiffCreate(file, path.c_str()), RiffStatus::Ok);
  RiffChunk riff{.Size = 1234, .FormType = FourCC("TEST")};
  RiffChunk odd{.Id = FourCC("odd"), .Size = 99};
  ASSERT_EQ(RiffCreateRiffChunk(file, riff), RiffStatus::Ok);
  ASSERT_EQ(RiffCreateChunk(file, odd), RiffStatus::Ok);
  ASSERT_EQ(RiffWrite(file, "abc", 3), 3);
  ASSERT_EQ(RiffAscend(file, odd), RiffStatus::Ok);
  ASSERT_EQ(RiffAscend(file, riff), RiffStatus::Ok);
  ASSERT_EQ(RiffClose(file), RiffStatus::Ok);
  EXPECT_EQ(ReadFileBytes(path), Riff({Chunk("odd ", Text("abc"))}, {}, "TEST"));
  EXPECT_EQ(odd.Size, 3u);
  EXPECT_EQ(riff.Size, 16u);
}

TEST(RiffLayer, DescendSearchesOnlyInsideTheParentAndRestoresThePosition) {
  TempDir dir;
  const std::string path = dir / "nested.riff";
  WriteBytes(path, Cat({Riff({Chunk("LIST", Cat({Text("INFO"), Chunk("a   ", Text("x"))})), Chunk("b   ", Text("yy"))}),
                        Chunk("c   ", Text("zzz"))}));
  RiffFile file;
  ASSERT_EQ(RiffOpenRead(file, path.c_str()), RiffStatus::Ok);
  RiffChunk riff{}, list{}, found{};
  ASSERT_EQ(RiffDescendRiff(file, riff, nullptr, FourCC("WAVE")), RiffStatus::Ok);
  ASSERT_EQ(RiffDescend(file, list, &riff, FourCC("LIST")), RiffStatus::Ok);
  EXPECT_EQ(list.FormType, FourCC("INFO"));
  EXPECT_EQ(RiffDescend(file, found, &list, FourCC("b")), RiffStatus::ChunkNotFound);
  ASSERT_EQ(RiffDescend(file, found, &list, FourCC("a")), RiffStatus::Ok);
  EXPECT_EQ(found.Size, 1u);
  ASSERT_EQ(RiffAscend(file, found), RiffStatus::Ok);
  ASSERT_EQ(RiffAscend(file, list), RiffStatus::Ok);
  EXPECT_EQ(RiffDescend(file, found, &riff, FourCC("c")), RiffStatus::ChunkNotFound);
  ASSERT_EQ(RiffDescend(file, found, &riff, FourCC("b")), RiffStatus::Ok);
  char text[2];
  EXPECT_EQ(RiffRead(file, text, 2), 2);
  EXPECT_EQ(std::string(text, 2), "yy");
  EXPECT_EQ(RiffClose(file), RiffStatus::Ok);
}

TEST(RiffLayer, ReadingRefusesWhatIsNotARegularFile) {
  // A directory fails every read, and a device or a pipe never ends: a
  // chunk search over /dev/zero would walk forever.
  TempDir dir;
  const std::string fifo = dir / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir.Path.string(), std::string("/dev/zero"), fifo}) {
    SCOPED_TRACE(path);
    RiffFile file;
    EXPECT_EQ(RiffOpenRead(file, path.c_str()), RiffStatus::CannotOpen);
    EXPECT_EQ(file.Fd, -1);
  }
}

TEST(RiffLayer, CreateNewNeverOpensAnExistingName) {
  TempDir dir;
  const std::string existing = dir / "existing.wav", dangling = dir / "dangling.wav";
  WriteBytes(existing, Text("keep me"));
  ASSERT_EQ(::symlink((dir / "nowhere").c_str(), dangling.c_str()), 0);
  for (const std::string& path : {existing, dangling}) {
    SCOPED_TRACE(path);
    RiffFile file;
    EXPECT_EQ(RiffCreateNew(file, path.c_str()), RiffStatus::AlreadyExists);
    EXPECT_EQ(file.Fd, -1);
  }
  EXPECT_EQ(ReadFileBytes(existing), Text("keep me"));
  EXPECT_FALSE(std::filesystem::exists(dir / "nowhere"));
  RiffFile file;
  EXPECT_EQ(RiffCreateNew(file, (dir / "missing/new.wav").c_str()), RiffStatus::CannotOpen);
  ASSERT_EQ(RiffCreateNew(file, (dir / "new.wav").c_str()), RiffStatus::Ok);
  EXPECT_EQ(RiffClose(file), RiffStatus::Ok);
}

}  // namespace
}  // namespace sorvane::test

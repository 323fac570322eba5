// SPDX-License-Identifier: GPL-3.0-or-later
// A file that is cut short while it is read (after its size was checked)
// must leave the destination as it was. The cut is made by standing in for
// read(2) in this test program: once armed, reads stop after a set number of
// bytes, as at the end of a file that has just been truncated.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>

#include "WaveTestSupport.h"
#include "wavfile/WaveFile.h"

namespace {

long readAllowance = -1;  // bytes read(2) may still deliver; -1: no limit

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
  using Read = ssize_t (*)(int, void*, size_t);
  static const auto real = reinterpret_cast<Read>(::dlsym(RTLD_NEXT, "read"));
  if (readAllowance < 0) return real(fd, buffer, count);
  const ssize_t n = real(fd, buffer, std::min<size_t>(count, static_cast<size_t>(readAllowance)));
  if (n > 0) readAllowance -= n;
  return n;
}

namespace sorvane::test {
namespace {

TEST(ReadWaveFile, AFileCutShortWhileReadLeavesTheDestinationAlone) {
  TempDir dir;
  const struct {
    const char* Name;
    Bytes Format;
    bool Convert;
  } cases[] = {
      {"as it is", FmtBody(1), false},
      {"native sound", FmtBody(1), true},
      {"converted", FmtBody(1, 2, 44100, 16), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = dir / "cut.wav";
    WriteBytes(path, Riff({Chunk("fmt ", c.Format), Chunk("data", Pattern(44100, 31))}));
    Bytes destination(44100, 0xA5);
    uint32_t copied = 12345;
    ErrorLog log;
    readAllowance = 16 + 1000;  // the format record, then part of the data
    const bool ok = c.Convert
                        ? ReadWaveSamples(reinterpret_cast<int16_t*>(destination.data()), path.c_str(), 1, &copied)
                        : ReadWaveFile(destination.data(), path.c_str(), 1, &copied);
    readAllowance = -1;
    EXPECT_FALSE(ok);
    EXPECT_EQ(log.Texts, std::vector<std::string>{"dataチャンクリードエラー"});
    EXPECT_EQ(copied, 12345u);
    EXPECT_TRUE(std::all_of(destination.begin(), destination.end(), [](uint8_t b) { return b == 0xA5; }));
  }
}

}  // namespace
}  // namespace sorvane::test

// SPDX-License-Identifier: GPL-3.0-or-later
// Robustness of the reader against damaged files: thousands of seeded random
// corruptions of valid files. Whatever the file says, the reader must not
// crash, must leave the destination alone unless it succeeds, must report
// each refusal exactly once, and must copy only bytes that are in the file
// (or, when it converts, no more samples than asked for).
#include <algorithm>
#include <cstring>
#include <random>

#include "WaveTestSupport.h"
#include "wavfile/WaveFile.h"

namespace sorvane::test {
namespace {

constexpr uint8_t kUntouched = 0x5A;
constexpr std::size_t kDestinationBytes = 44100;

Bytes Corrupt(const Bytes& valid, std::mt19937& random) {
  Bytes file = valid;
  const auto pick = [&random](std::size_t n) { return n == 0 ? 0 : random() % n; };
  const uint32_t sizes[] = {0, 1, 2, 3, 15, 16, 17, 0x7FFFFFFF, 0xFFFFFFF0, 0xFFFFFFFF};
  const int edits = 1 + static_cast<int>(pick(4));
  for (int e = 0; e < edits && !file.empty(); ++e) {
    switch (pick(5)) {
      case 0:  // flip a byte anywhere
        file[pick(file.size())] ^= static_cast<uint8_t>(1 + pick(255));
        break;
      case 1: {  // plant a size-like value in the headers
        const std::size_t at = pick(std::min<std::size_t>(file.size(), 80));
        const uint32_t v = pick(2) == 0 ? sizes[pick(std::size(sizes))] : static_cast<uint32_t>(random());
        for (std::size_t i = 0; i < 4 && at + i < file.size(); ++i) file[at + i] = static_cast<uint8_t>(v >> (8 * i));
        break;
      }
      case 2:  // cut the file short
        file.resize(pick(file.size()));
        break;
      case 3: {  // drop a run of bytes from the headers
        const std::size_t at = pick(std::min<std::size_t>(file.size(), 80));
        file.erase(file.begin() + at, file.begin() + std::min(file.size(), at + 1 + pick(12)));
        break;
      }
      default: {  // insert random bytes
        const Bytes junk = Pattern(1 + pick(12), static_cast<uint32_t>(random()));
        file.insert(file.begin() + pick(std::min<std::size_t>(file.size(), 80)), junk.begin(), junk.end());
        break;
      }
    }
  }
  return file;
}

TEST(ReadWaveFileFuzz, DamagedFilesNeverTouchTheDestinationUnlessRead) {
  TempDir dir;
  ErrorLog log;
  const std::string path = dir / "damaged.wav";
  const Bytes valid = Riff({Chunk("LIST", Text("odd")), Chunk("fmt ", FmtBody(1)), Chunk("data", Pattern(2000, 1)),
                            Chunk("junk", Pattern(9, 2))});
  const std::size_t descriptors = OpenDescriptors();
  std::mt19937 random(20240301);
  int accepted = 0, refused = 0;
  Bytes destination(kDestinationBytes + 64);
  for (int variant = 0; variant < 3000; ++variant) {
    const Bytes file = Corrupt(valid, random);
    WriteBytes(path, file);
    std::fill(destination.begin(), destination.end(), kUntouched);
    log.Clear();
    uint32_t copied = 0xFFFFFFFF;
    const bool ok = ReadWaveFile(destination.data(), path.c_str(), 1, &copied);
    SCOPED_TRACE(variant);
    if (ok) {
      ++accepted;
      ASSERT_TRUE(log.Texts.empty());
      ASSERT_LE(copied, kDestinationBytes);
      ASSERT_LE(copied, file.size());
      ASSERT_TRUE(std::search(file.begin(), file.end(), destination.begin(), destination.begin() + copied) !=
                  file.end())
          << "copied bytes that are not in the file";
    } else {
      ++refused;
      ASSERT_EQ(log.Texts.size(), 1u);
      ASSERT_EQ(copied, 0xFFFFFFFF);
    }
    ASSERT_TRUE(std::all_of(destination.begin() + (ok ? copied : 0), destination.end(),
                            [](uint8_t b) { return b == kUntouched; }));
  }
  // Both outcomes must have been exercised for the run to mean anything.
  EXPECT_GT(accepted, 100);
  EXPECT_GT(refused, 100);
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST(ReadWaveFileFuzz, DamagedFilesOfOtherPcmLayoutsAreConvertedOrRefusedSafely) {
  TempDir dir;
  ErrorLog log;
  const std::string path = dir / "damaged.wav";
  const Bytes valid[] = {
      Riff({Chunk("fmt ", ExtensibleBody(2, 44100, 24)), Chunk("data", Pattern(3000, 3))}),
      Riff({Chunk("LIST", Text("odd")), Chunk("fmt ", FmtBody(1, 1, 8000, 8)), Chunk("data", Pattern(999, 4))}),
      Riff({Chunk("fmt ", FmtBody(1, 6, 96000, 32)), Chunk("data", Pattern(2400, 5)), Chunk("junk", Pattern(9, 6))}),
      Riff({Chunk("fmt ", Cat({FmtBody(1, 2, 22050, 16), {0, 0}})), Chunk("data", Pattern(2000, 7))}),
  };
  const std::size_t descriptors = OpenDescriptors();
  std::mt19937 random(20261207);
  int accepted = 0, refused = 0;
  Bytes destination(kDestinationBytes + 64);
  for (int variant = 0; variant < 3000; ++variant) {
    const Bytes file = Corrupt(valid[variant % std::size(valid)], random);
    WriteBytes(path, file);
    std::fill(destination.begin(), destination.end(), kUntouched);
    log.Clear();
    uint32_t copied = 0xFFFFFFFF;
    const bool ok = ReadWaveSamples(reinterpret_cast<int16_t*>(destination.data()), path.c_str(), 1, &copied);
    SCOPED_TRACE(variant);
    if (ok) {
      ++accepted;
      ASSERT_TRUE(log.Texts.empty());
      ASSERT_LE(copied, kDestinationBytes);
    } else {
      ++refused;
      ASSERT_EQ(log.Texts.size(), 1u);
      ASSERT_EQ(copied, 0xFFFFFFFF);
    }
    ASSERT_TRUE(std::all_of(destination.begin() + (ok ? copied : 0), destination.end(),
                            [](uint8_t b) { return b == kUntouched; }));
  }
  EXPECT_GT(accepted, 100);
  EXPECT_GT(refused, 100);
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

}  // namespace
}  // namespace sorvane::test

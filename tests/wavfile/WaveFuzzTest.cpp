// SPDX-License-Identifier: GPL-3.0-or-later
// Robustness of the reader against damaged files: thousands of seeded random
// corruptions of valid files. Whatever the file says, the reader must not
// crash, must leave the destination alone unless it succeeds, must report
// each refusal exactly once, and must copy only bytes that are in the file
// (or, when it converts, no more samples than asked for).
#include <algorithm>
#include <cstring>

#include "WaveTestSupport.h"
#include "tests/support/DamagedFiles.h"
#include "wavfile/WaveFile.h"

namespace sorvane::test {
namespace {

constexpr uint8_t kUntouched = 0x5A;
constexpr std::size_t kDestinationBytes = 44100;

// The lengths of a WAV file are in its first 80 bytes or so.
constexpr Damage kWaveDamage{.HeaderBytes = 80};

TEST(ReadWaveFileFuzz, DamagedFilesNeverTouchTheDestinationUnlessRead) {
  TempDir dir;
  ErrorLog log;
  const std::string path = dir / "damaged.wav";
  const Bytes valid = Riff({Chunk("LIST", Text("odd")), Chunk("fmt ", FmtBody(1)), Chunk("data", Pattern(2000, 1)),
                            Chunk("junk", Pattern(9, 2))});
  const std::size_t descriptors = OpenDescriptors();
  int accepted = 0, refused = 0;
  Bytes destination(kDestinationBytes + 64);
  ForEachDamaged({valid}, 20240301, 3000, kWaveDamage, [&](const Bytes& file) {
    WriteBytes(path, file);
    std::fill(destination.begin(), destination.end(), kUntouched);
    log.Clear();
    uint32_t copied = 0xFFFFFFFF;
    const bool ok = ReadWaveFile(destination.data(), path.c_str(), 1, &copied);
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
  });
  // Both outcomes must have been exercised for the run to mean anything.
  EXPECT_GT(accepted, 100);
  EXPECT_GT(refused, 100);
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST(ReadWaveFileFuzz, DamagedFilesOfOtherPcmLayoutsAreConvertedOrRefusedSafely) {
  TempDir dir;
  ErrorLog log;
  const std::string path = dir / "damaged.wav";
  const std::vector<Bytes> valid = {
      Riff({Chunk("fmt ", ExtensibleBody(2, 44100, 24)), Chunk("data", Pattern(3000, 3))}),
      Riff({Chunk("LIST", Text("odd")), Chunk("fmt ", FmtBody(1, 1, 8000, 8)), Chunk("data", Pattern(999, 4))}),
      Riff({Chunk("fmt ", FmtBody(1, 6, 96000, 32)), Chunk("data", Pattern(2400, 5)), Chunk("junk", Pattern(9, 6))}),
      Riff({Chunk("fmt ", Cat({FmtBody(1, 2, 22050, 16), {0, 0}})), Chunk("data", Pattern(2000, 7))}),
  };
  const std::size_t descriptors = OpenDescriptors();
  int accepted = 0, refused = 0;
  Bytes destination(kDestinationBytes + 64);
  ForEachDamaged(valid, 20261207, 3000, kWaveDamage, [&](const Bytes& file) {
    WriteBytes(path, file);
    std::fill(destination.begin(), destination.end(), kUntouched);
    log.Clear();
    uint32_t copied = 0xFFFFFFFF;
    const bool ok = ReadWaveSamples(reinterpret_cast<int16_t*>(destination.data()), path.c_str(), 1, &copied);
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
  });
  EXPECT_GT(accepted, 100);
  EXPECT_GT(refused, 100);
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

}  // namespace
}  // namespace sorvane::test

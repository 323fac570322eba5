// SPDX-License-Identifier: GPL-3.0-or-later
// Robustness of the reader against damaged files: thousands of seeded random
// corruptions of valid files. Whatever the file says, the reader must not
// crash, must leave the destination alone unless it succeeds, must report
// each refusal exactly once, and must copy only bytes that are in the file
// (or, when it converts, no more samples than asked for).
#include <algorithm>
#include <cstring>
#include <functional>

#include "WaveTestSupport.h"
#include "tests/support/DamagedFiles.h"
#include "wavfile/WaveFile.h"

namespace sorvane::test {
namespace {

constexpr uint8_t kUntouched = 0x5A;
constexpr std::size_t kDestinationBytes = 44100;

// The lengths of a WAV file are in its first 80 bytes or so.
constexpr Damage kWaveDamage{.HeaderBytes = 80};

// Feeds each damaged variant of valid to read (a reader into destination,
// which it may fill up to copied bytes) and checks the reader's promises;
// onRead adds the checks of a successful read. Both outcomes must have been
// exercised for the run to mean anything.
using Reader = bool (*)(uint8_t* destination, const char* path, uint32_t* copied);
void FuzzReader(const std::vector<Bytes>& valid, uint32_t seed, Reader read,
                const std::function<void(const Bytes& file, const Bytes& destination, uint32_t copied)>& onRead) {
  TempDir dir;
  ErrorLog log;
  const std::string path = dir / "damaged.wav";
  const std::size_t descriptors = OpenDescriptors();
  int accepted = 0, refused = 0;
  Bytes destination(kDestinationBytes + 64);
  ForEachDamaged(valid, seed, 3000, kWaveDamage, [&](const Bytes& file) {
    WriteBytes(path, file);
    std::fill(destination.begin(), destination.end(), kUntouched);
    log.Clear();
    uint32_t copied = 0xFFFFFFFF;
    const bool ok = read(destination.data(), path.c_str(), &copied);
    if (ok) {
      ++accepted;
      ASSERT_TRUE(log.Texts.empty());
      ASSERT_LE(copied, kDestinationBytes);
      onRead(file, destination, copied);
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

TEST(ReadWaveFileFuzz, DamagedFilesNeverTouchTheDestinationUnlessRead) {
  const Bytes valid = Riff({Chunk("LIST", Text("odd")), Chunk("fmt ", FmtBody(1)), Chunk("data", Pattern(2000, 1)),
                            Chunk("junk", Pattern(9, 2))});
  FuzzReader(
      {valid}, 20240301,
      [](uint8_t* destination, const char* path, uint32_t* copied) {
        return ReadWaveFile(destination, path, 1, copied);
      },
      [](const Bytes& file, const Bytes& destination, uint32_t copied) {
        ASSERT_LE(copied, file.size());
        ASSERT_TRUE(std::search(file.begin(), file.end(), destination.begin(), destination.begin() + copied) !=
                    file.end())
            << "copied bytes that are not in the file";
      });
}

TEST(ReadWaveFileFuzz, DamagedFilesOfOtherPcmLayoutsAreConvertedOrRefusedSafely) {
  FuzzReader(
      {
          Riff({Chunk("fmt ", ExtensibleBody(2, 44100, 24)), Chunk("data", Pattern(3000, 3))}),
          Riff({Chunk("LIST", Text("odd")), Chunk("fmt ", FmtBody(1, 1, 8000, 8)), Chunk("data", Pattern(999, 4))}),
          Riff(
              {Chunk("fmt ", FmtBody(1, 6, 96000, 32)), Chunk("data", Pattern(2400, 5)), Chunk("junk", Pattern(9, 6))}),
          Riff({Chunk("fmt ", Cat({FmtBody(1, 2, 22050, 16), {0, 0}})), Chunk("data", Pattern(2000, 7))}),
      },
      20261207,
      [](uint8_t* destination, const char* path, uint32_t* copied) {
        return ReadWaveSamples(reinterpret_cast<int16_t*>(destination), path, 1, copied);
      },
      [](const Bytes&, const Bytes&, uint32_t) {});
}

}  // namespace
}  // namespace sorvane::test

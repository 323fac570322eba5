// SPDX-License-Identifier: GPL-3.0-or-later
// The renderer's memory does not grow with its input or its output, and it
// reads an input only as far as its header says.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "RenderSupport.h"
#include "tests/wavfile/WaveTestSupport.h"

namespace sorvane {
namespace {

using test::ReadFileBytes;
using test::ReadFileText;
using test::Scratch;

// A 22050 Hz mono 16-bit WAV header whose data chunk claims dataBytes,
// then writtenBytes of a ramp; the file is then made fileBytes long, the rest
// a hole that reads as zeros and takes no disk.
void WriteSparseWave(const std::filesystem::path& path, uint32_t dataBytes, off_t fileBytes, uint32_t writtenBytes) {
  test::Bytes ramp;
  for (uint32_t i = 0; i < writtenBytes / 2; ++i) test::PutLe(ramp, static_cast<uint16_t>(i * 7), 2);
  const test::Bytes fmt = test::Chunk("fmt ", test::FmtBody(1));
  test::WriteBytes(path, test::Riff({fmt, test::Chunk("data", ramp, dataBytes)}, dataBytes + 36));
  ASSERT_EQ(::truncate(path.c_str(), fileBytes), 0);
}

constexpr long kMaxPeakKiB = 64 * 1024;

TEST(RenderMemory, AHugeInputIsReadOnlyAsFarAsTheBlocksRun) {
  Scratch s;
  const uint32_t data = 2'000'000'000;
  WriteSparseWave(s.Dir / "huge.wav", data, off_t{44} + data, 4000);
  const auto run = s.RenderMeasured({"--input", "huge.wav", "--output", "o.wav", "--blocks", "100"}, 120);
  ASSERT_EQ(run.Status, 0) << ReadFileText(s.Dir / "stderr.txt");
  EXPECT_LT(run.PeakKiB, kMaxPeakKiB);
}

TEST(RenderMemory, AnInputGrowingPastItsHeaderIsReadToTheHeadersLengthOnly) {
  // The header gives one second (100.2 blocks); the file holds 2 GB more,
  // as if a recorder were still writing it.
  Scratch s;
  WriteSparseWave(s.Dir / "growing.wav", 44100, off_t{2'000'000'000}, 44100);
  const auto run = s.RenderMeasured({"--input", "growing.wav", "--output", "o.wav", "--report", "r.csv"}, 120);
  ASSERT_EQ(run.Status, 0);
  EXPECT_LT(run.PeakKiB, kMaxPeakKiB);
  const auto report = ReadFileBytes(s.Dir / "r.csv");
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1 + 101);
}

TEST(RenderMemory, DoesNotGrowWithTheLengthOfTheOutput) {
  Scratch s;
  WriteSparseWave(s.Dir / "in.wav", 44100, 44 + 44100, 44100);
  s.Put("s.txt", "0 down 4\n");
  const auto shortRun = s.RenderMeasured(
      {"--input", "in.wav", "--output", "a.wav", "--report", "a.csv", "--script", "s.txt", "--blocks", "1000"});
  const auto longRun = s.RenderMeasured(
      {"--input", "in.wav", "--output", "b.wav", "--report", "b.csv", "--script", "s.txt", "--blocks", "60000"});
  ASSERT_EQ(shortRun.Status, 0);
  ASSERT_EQ(longRun.Status, 0);
  // 59,000 blocks more are 26 MB more of output and 2 MB more of report.
  EXPECT_GT(std::filesystem::file_size(s.Dir / "b.wav"), 25'000'000u);
  EXPECT_LT(longRun.PeakKiB, shortRun.PeakKiB + 4 * 1024) << shortRun.PeakKiB;
}

}  // namespace
}  // namespace sorvane

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

namespace sorvane {
namespace {

using test::ReadFileBytes;
using test::ReadFileText;
using test::Scratch;

// A 22050 Hz mono 16-bit WAV header whose data chunk claims dataBytes,
// then dataBytes of a ramp; the file is then made fileBytes long, the rest
// a hole that reads as zeros and takes no disk.
void WriteSparseWave(const std::filesystem::path& path, uint32_t dataBytes, uint32_t riffSize, off_t fileBytes,
                     uint32_t writtenBytes) {
  std::vector<unsigned char> b;
  auto put = [&b](const char* id) { b.insert(b.end(), id, id + 4); };
  auto le = [&b](uint32_t v, int width) {
    for (int i = 0; i < width; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
  };
  put("RIFF"), le(riffSize, 4), put("WAVE");
  put("fmt "), le(16, 4), le(1, 2), le(1, 2), le(22050, 4), le(44100, 4), le(2, 2), le(16, 2);
  put("data"), le(dataBytes, 4);
  for (uint32_t i = 0; i < writtenBytes / 2; ++i) le(static_cast<uint16_t>(i * 7), 2);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  ASSERT_EQ(::truncate(path.c_str(), fileBytes), 0);
}

constexpr long kMaxPeakKiB = 64 * 1024;

TEST(RenderMemory, AHugeInputIsReadOnlyAsFarAsTheBlocksRun) {
  Scratch s;
  const uint32_t data = 2'000'000'000;
  WriteSparseWave(s.Dir / "huge.wav", data, data + 36, off_t{44} + data, 4000);
  const auto run = s.RenderMeasured({"--input", "huge.wav", "--output", "o.wav", "--blocks", "100"}, 120);
  ASSERT_EQ(run.Status, 0) << ReadFileText(s.Dir / "stderr.txt");
  EXPECT_LT(run.PeakKiB, kMaxPeakKiB);
}

TEST(RenderMemory, AnInputGrowingPastItsHeaderIsReadToTheHeadersLengthOnly) {
  // The header gives one second (100.2 blocks); the file holds 2 GB more,
  // as if a recorder were still writing it.
  Scratch s;
  WriteSparseWave(s.Dir / "growing.wav", 44100, 44100 + 36, off_t{2'000'000'000}, 44100);
  const auto run = s.RenderMeasured({"--input", "growing.wav", "--output", "o.wav", "--report", "r.csv"}, 120);
  ASSERT_EQ(run.Status, 0);
  EXPECT_LT(run.PeakKiB, kMaxPeakKiB);
  const auto report = ReadFileBytes(s.Dir / "r.csv");
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1 + 101);
}

TEST(RenderMemory, DoesNotGrowWithTheLengthOfTheOutput) {
  Scratch s;
  WriteSparseWave(s.Dir / "in.wav", 44100, 44100 + 36, 44 + 44100, 44100);
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

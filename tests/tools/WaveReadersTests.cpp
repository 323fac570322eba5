// SPDX-License-Identifier: GPL-3.0-or-later
// The phrase loader and the renderer's input read WAV files with the same
// chunk walk and check: on every damaged or unusual file they agree whether
// to take it, each saying why not in its own words. Also the renderer's
// output files, renamed only together.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/wavfile/WaveTestSupport.h"
#include "tools/render/InputWave.h"
#include "tools/render/Render.h"
#include "wavfile/WaveFile.h"

namespace sorvane::test {
namespace {

TEST(WaveReaders, AgreeOnEveryHostileFileAndSayWhy) {
  TempDir dir;
  const Bytes samples = Pattern(4000, 3);
  const Bytes fmt = Chunk("fmt ", FmtBody(1));
  const Bytes data = Chunk("data", samples);
  const Bytes valid = Riff({fmt, data});
  Bytes stereoAlign3 = FmtBody(1, 2, 22050, 16);
  stereoAlign3[12] = 3;
  const Bytes pcm = FmtBody(1);
  // An odd chunk written without its pad byte.
  const Bytes unpadded = Cat({Text("LIST"), {3, 0, 0, 0}, Text("abc")});
  const struct {
    const char* Name;
    Bytes File;
    const char* Renderer;  // nullptr: taken
    const char* Phrase;
  } cases[] = {
      {"a plain file", valid, nullptr, nullptr},
      {"trailing bytes after the RIFF chunk", Cat({valid, Text("trailing junk")}), nullptr, nullptr},
      {"a RIFF size that ends inside the data", Riff({fmt, data}, 40), nullptr, nullptr},
      {"an odd chunk without its pad byte", Riff({unpadded, fmt, data}), nullptr, nullptr},
      {"no format chunk", Riff({data}), "no format chunk", "fmtチャンクエラー (mmioDescend)"},
      {"the data chunk only before the format chunk", Riff({data, fmt}), "the data chunk comes before the format chunk",
       "dataチャンクエラー"},
      {"the data chunk after the RIFF chunk", Cat({Riff({fmt}), data}), "no data chunk", "dataチャンクエラー"},
      {"extensible float", Riff({Chunk("fmt ", ExtensibleBody(1, 22050, 32, 3)), data}),
       "floating-point samples (extensible format, IEEE float sub-format) are not supported",
       "PCMフォーマットではありません。"},
      {"IEEE float", Riff({Chunk("fmt ", FmtBody(3, 1, 22050, 32)), data}),
       "floating-point samples (format tag 3) are not supported", "PCMフォーマットではありません。"},
      {"block align 3 for 16-bit stereo", Riff({Chunk("fmt ", stereoAlign3), data}),
       "block align 3 does not match 2 channels of 16 bits", "PCMフォーマットではありません。"},
      {"compressed", Riff({Chunk("fmt ", FmtBody(2)), data}), "not linear PCM (format tag 2)",
       "PCMフォーマットではありません。"},
      {"a short format chunk", Riff({Chunk("fmt ", Bytes(pcm.begin(), pcm.begin() + 14)), data}),
       "format chunk of 14 bytes, expected at least 16", "fmtチャンクリードエラー (mmioRead)"},
      {"a format chunk past the end", Bytes(valid.begin(), valid.begin() + 30),
       "format chunk runs past the end of the file", "fmtチャンクリードエラー (mmioRead)"},
      {"a data chunk claiming more than the file holds", Riff({fmt, Chunk("data", samples, 0xFFFFFFF0)}),
       "data chunk runs past the end of the file", "dataチャンクリードエラー"},
      {"not RIFF", Text("RIFX and then some more bytes"), "not a RIFF WAVE file", "ファイルシークエラー (mmioSeek)"},
  };
  ErrorLog boxes;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = dir / "case.wav";
    WriteBytes(path, c.File);
    boxes.Clear();
    std::vector<int16_t> destination(3 * 22050);
    const bool phraseTook = ReadWaveSamples(destination.data(), path.c_str(), 3);
    InputWave input;
    std::string error;
    const bool rendererTook = input.Open(path, error);
    EXPECT_EQ(phraseTook, rendererTook);
    if (c.Renderer == nullptr) {
      EXPECT_TRUE(rendererTook) << error;
      EXPECT_TRUE(phraseTook);
      int64_t count = 0;
      ASSERT_TRUE(input.CountSamples(count, error));
      EXPECT_EQ(count, 2000);
      continue;
    }
    EXPECT_EQ(error, std::string("input: ") + c.Renderer + " (" + path + ")");
    EXPECT_EQ(boxes.Texts, std::vector<std::string>{c.Phrase});
  }
}

TEST(RenderOutputs, NeitherIsRenamedUnlessBothCanBe) {
  TempDir dir;
  const std::string wave = dir / "o.wav", report = dir / "r.csv";
  WriteBytes(wave, Text("previous"));
  WriteBytes(report, Text("previous"));
  RenderOptions options;
  options.Output = wave;
  options.Report = report;
  {
    RunOutputs outputs;
    ASSERT_TRUE(outputs.Open(options));
    const int16_t samples[220] = {1, 2, 3};
    outputs.Write(samples, 220);
    outputs.AddReportLine({0, 220, 0, false, 220, 0, 0});
    // The report's name is taken by a folder before the run ends.
    std::filesystem::remove(report);
    std::filesystem::create_directory(report);
    EXPECT_FALSE(outputs.Finish());
  }
  EXPECT_EQ(ReadFileBytes(wave), Text("previous"));
  // Nothing else left behind: no temporary file.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path), std::filesystem::directory_iterator{}), 2);
}

}  // namespace
}  // namespace sorvane::test

// SPDX-License-Identifier: GPL-3.0-or-later
// Loading linear PCM files of other layouts: exact values where nothing is
// resampled, the native sound untouched, the converted length bound, the
// saturation after resampling, and the layouts that are refused.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "WaveTestSupport.h"
#include "wavfile/PcmConvert.h"
#include "wavfile/WaveFile.h"

namespace sorvane::test {
namespace {

// Little-endian samples of the given width from signed values (8-bit ones
// are stored as they are, already unsigned).
Bytes Samples(std::initializer_list<int64_t> values, int bytes) {
  Bytes b;
  for (int64_t v : values) PutLe(b, static_cast<uint32_t>(v), bytes);
  return b;
}

// Loads with conversion.
Loaded Load(const Bytes& file, int seconds) { return test::Load(file, seconds, true); }

TEST(ReadWaveSamples, ConvertsEachSampleFormatAndMixesChannelsByTheirMean) {
  const struct {
    const char* Name;
    Bytes Format;
    Bytes Data;
    std::vector<int16_t> Expected;
  } cases[] = {
      {"8-bit unsigned", FmtBody(1, 1, 22050, 8), {0, 64, 128, 129, 255}, {-32768, -16384, 0, 256, 32512}},
      {"24-bit, rounding half away from zero and saturating",
       FmtBody(1, 1, 22050, 24),
       Samples({0x7FFFFF, -0x800000, 0x180, -0x180, 0x17F, 0x1234}, 3),
       {32767, -32768, 2, -2, 1, 0x12}},
      {"32-bit",
       FmtBody(1, 1, 22050, 32),
       Samples({0x7FFFFFFF, -0x7FFFFFFF - 1, 0x12345678, -0x12345678, 0x8000}, 4),
       {32767, -32768, 4660, -4660, 1}},
      {"16-bit stereo",
       FmtBody(1, 2, 22050, 16),
       Samples({1000, 3000, -32768, -32768, 32767, -32767, 3, 0, -7, 2}, 2),
       {2000, -32768, 0, 2, -3}},
      {"8 channels", FmtBody(1, 8, 22050, 16), Samples({0, 100, 200, 300, 400, 500, 600, 700}, 2), {350}},
      {"extensible 16-bit stereo", ExtensibleBody(2, 22050, 16), Samples({1000, 3000, -400, -600}, 2), {2000, -500}},
      {"extensible 24-bit, a trailing partial frame ignored",
       ExtensibleBody(1, 22050, 24),
       Cat({Samples({0x010000, -0x010000}, 3), {0x7F}}),
       {256, -256}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const Loaded l = Load(Riff({Chunk("fmt ", c.Format), Chunk("data", c.Data)}), 1);
    ASSERT_TRUE(l.Ok);
    EXPECT_TRUE(l.Messages.empty());
    EXPECT_EQ(l.AsSamples(), c.Expected);
    EXPECT_TRUE(l.UntouchedFrom(l.Copied));
  }
}

TEST(ReadWaveSamples, TakesTheNativeSoundByteForByte) {
  const Bytes odd = Pattern(2001, 21);
  const Bytes tenSeconds = Pattern(441000, 22);
  const FileCase cases[] = {
      {"odd byte count", Riff({Chunk("fmt ", FmtBody(1)), Chunk("data", odd)}), odd},
      {"extensible", Riff({Chunk("fmt ", ExtensibleBody(1, 22050, 16)), Chunk("data", odd)}), odd},
      {"longer than the bound", Riff({Chunk("fmt ", FmtBody(1)), Chunk("data", tenSeconds)}),
       Bytes(tenSeconds.begin(), tenSeconds.begin() + 3 * 44100)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    ExpectCopied(c.File, 3, c.Expected, true);
  }
}

TEST(ReadWaveSamples, BoundsTheConvertedSamplesAndSaturatesTheOvershoot) {
  // A full-scale 441 Hz square wave at 44.1 kHz, 3 s: resampling rings past
  // full scale at every edge, which must clamp, never wrap round.
  Bytes data;
  for (int i = 0; i < 3 * 44100; ++i) PutLe(data, static_cast<uint16_t>((i / 50) % 2 == 0 ? 32767 : -32768), 2);
  const Loaded l = Load(Riff({Chunk("fmt ", FmtBody(1, 1, 44100, 16)), Chunk("data", data)}), 1);
  ASSERT_TRUE(l.Ok);
  ASSERT_EQ(l.Copied, 44100u);  // one second of converted samples, not of the file's
  EXPECT_TRUE(l.UntouchedFrom(l.Copied));
  const auto s = l.AsSamples();
  EXPECT_EQ(*std::max_element(s.begin(), s.end()), 32767);
  EXPECT_EQ(*std::min_element(s.begin(), s.end()), -32768);
  // Each half period is 25 samples at 22050 Hz; away from the edges every
  // sample keeps the sign of its half.
  for (int i = 100; i < 22050; ++i) {
    const int phase = i % 50;
    if (phase < 3 || (phase > 22 && phase < 28) || phase > 47) continue;
    ASSERT_EQ(s[i] > 0, phase < 25) << i << ": " << s[i];
  }
}

TEST(ReadWaveSamples, ReadsOnlyPartOfALongFileYetGetsTheSameSamplesAsTheWhole) {
  // The reader converts only the frames the first seconds need, plus a
  // margin for the resampling filter: too small a margin would change the
  // last samples kept.
  for (const uint32_t rate : {8000u, 192000u}) {
    SCOPED_TRACE(rate);
    const Bytes data = Pattern(static_cast<std::size_t>(2) * rate * 34 / 10, rate);  // 3.4 s of noise
    const Loaded l = Load(Riff({Chunk("fmt ", FmtBody(1, 1, rate, 16)), Chunk("data", data)}), 3);
    ASSERT_TRUE(l.Ok);
    ASSERT_EQ(l.Copied, 3u * 44100);
    std::vector<int16_t> whole;
    ASSERT_TRUE(ConvertPcm(data.data(), data.size(), PcmFormat{1, 1, rate, 16}, whole));
    ASSERT_GT(whole.size(), 66150u);
    whole.resize(66150);
    EXPECT_EQ(l.AsSamples(), whole);
  }
}

TEST(ReadWaveSamples, RefusesWhatCannotBeConvertedWithoutTouchingTheDestination) {
  const Bytes data = Chunk("data", Pattern(400, 23));
  const Bytes pcm = FmtBody(1);
  const struct {
    const char* Name;
    Bytes Format;
    const char* Message;
  } cases[] = {
      {"IEEE float", FmtBody(3, 1, 44100, 32), "PCMフォーマットではありません。"},
      {"extensible float", ExtensibleBody(1, 44100, 32, 3), "PCMフォーマットではありません。"},
      {"extensible without its sub-format", Cat({FmtBody(0xFFFE, 2, 44100, 16), {0, 0}}),
       "PCMフォーマットではありません。"},
      {"no channels", FmtBody(1, 0, 44100, 16), "PCMフォーマットではありません。"},
      {"9 channels", FmtBody(1, 9, 44100, 16), "PCMフォーマットではありません。"},
      {"7999 Hz", FmtBody(1, 1, 7999, 16), "PCMフォーマットではありません。"},
      {"192001 Hz", FmtBody(1, 1, 192001, 16), "PCMフォーマットではありません。"},
      {"12-bit", FmtBody(1, 1, 44100, 12), "PCMフォーマットではありません。"},
      {"a 14-byte format chunk", Bytes(pcm.begin(), pcm.begin() + 14), "fmtチャンクリードエラー (mmioRead)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const Loaded l = Load(Riff({Chunk("fmt ", c.Format), data}), 1);
    EXPECT_FALSE(l.Ok);
    EXPECT_EQ(l.Messages, std::vector<std::string>{c.Message});
    EXPECT_TRUE(l.UntouchedFrom(0));
  }
}

TEST(PcmStreamConverter, GivesTheWholeFileConversionInPiecesOfAnySize) {
  // Stereo 16-bit noise at a rate below, above and equal to 22050 Hz, fed in
  // pieces that split frames and resampler steps anywhere.
  for (const uint32_t rate : {8000u, 44100u, 22050u}) {
    SCOPED_TRACE(rate);
    const PcmFormat format{1, 2, rate, 16, 4};
    const Bytes data = Pattern(static_cast<std::size_t>(4) * rate * 13 / 10, rate);  // 1.3 s
    std::vector<int16_t> whole;
    ASSERT_TRUE(ConvertPcm(data.data(), data.size(), format, whole));
    for (const std::size_t piece : {std::size_t{4}, std::size_t{4 * 1001}, std::size_t{4 * 65536}}) {
      SCOPED_TRACE(piece);
      PcmStreamConverter converter;
      ASSERT_TRUE(converter.Start(format));
      std::vector<int16_t> streamed, out;
      for (std::size_t at = 0; at < data.size(); at += piece) {
        const std::size_t n = std::min(piece, data.size() - at);
        ASSERT_TRUE(converter.Convert(data.data() + at, n, at + n == data.size(), out));
        streamed.insert(streamed.end(), out.begin(), out.end());
      }
      EXPECT_EQ(streamed, whole);
    }
  }
}

}  // namespace
}  // namespace sorvane::test

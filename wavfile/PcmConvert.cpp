// SPDX-License-Identifier: GPL-3.0-or-later
// Format chunk parsing and conversion of PCM sound to the engine's format.
#include "wavfile/PcmConvert.h"

#include <samplerate.h>

#include <cmath>
#include <cstring>

#include "wavfile/WaveFile.h"

namespace sorvane {
namespace {

// KSDATAFORMAT_SUBTYPE_PCM, 00000001-0000-0010-8000-00aa00389b71, as stored.
constexpr uint8_t kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr std::size_t kSubFormatOffset = 24;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// One sample as a fraction of full scale, in [-1, 1).
double SampleValue(const uint8_t* p, uint16_t bits) {
  switch (bits) {
    case 8:
      return (static_cast<int>(p[0]) - 128) / 128.0;
    case 16:
      return static_cast<int16_t>(Le16(p)) / 32768.0;
    case 24: {
      const uint32_t u = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                         static_cast<uint32_t>(p[2]) << 16;
      const int32_t v = static_cast<int32_t>(u << 8) >> 8;  // sign-extended
      return v / 8388608.0;
    }
    default:
      return static_cast<int32_t>(Le32(p)) / 2147483648.0;
  }
}

// Rounds a fraction of full scale to the nearest 16-bit sample, clamped to
// the 16-bit range.
int16_t RoundTo16(double fraction) {
  const double v = fraction * 32768.0;
  if (!(v < 32767.0)) return v != v ? 0 : 32767;
  if (v <= -32768.0) return -32768;
  return static_cast<int16_t>(std::lround(v));
}

}  // namespace

PcmFormatFault ParsePcmFormat(const uint8_t* chunk, std::size_t size, PcmFormat& format) {
  format = {};
  format.Tag = Le16(chunk);
  if (format.Tag != kWaveFormatPcm && format.Tag != kWaveFormatExtensible) return PcmFormatFault::NotPcm;
  if (format.Tag == kWaveFormatExtensible &&
      (size < kWaveFormatExtensibleBytes ||
       std::memcmp(chunk + kSubFormatOffset, kPcmSubFormat, sizeof kPcmSubFormat) != 0)) {
    return PcmFormatFault::NotPcm;
  }
  if (size < kWaveFormatBytes) return PcmFormatFault::ShortChunk;
  format.Channels = Le16(chunk + 2);
  format.SampleRate = Le32(chunk + 4);
  format.BitsPerSample = Le16(chunk + 14);
  if (format.Channels < 1 || format.Channels > kPcmMaxChannels) return PcmFormatFault::Channels;
  if (format.SampleRate < kPcmMinSampleRate || format.SampleRate > kPcmMaxSampleRate) {
    return PcmFormatFault::SampleRate;
  }
  const uint16_t bits = format.BitsPerSample;
  if (bits != 8 && bits != 16 && bits != 24 && bits != 32) return PcmFormatFault::BitsPerSample;
  return PcmFormatFault::None;
}

uint64_t PcmFramesFor(uint64_t samples, uint32_t sampleRate) {
  // The best sinc filter reaches about 150 samples either side at the lower
  // of the two rates, under 3000 input frames at 192 kHz; a quarter of a
  // second is far beyond that at every rate.
  const uint64_t span = (samples * sampleRate + kWaveSampleRate - 1) / kWaveSampleRate;
  return span + sampleRate / 4;
}

bool ConvertPcm(const uint8_t* data, std::size_t bytes, const PcmFormat& format,
                std::vector<int16_t>& out) {
  out.clear();
  const std::size_t sampleBytes = format.BitsPerSample / 8u;
  const std::size_t frameBytes = PcmFrameBytes(format);
  const std::size_t frames = bytes / frameBytes;

  // Channels mixed to mono by their mean.
  std::vector<double> mono(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    const uint8_t* frame = data + i * frameBytes;
    double sum = 0.0;
    for (uint16_t c = 0; c < format.Channels; ++c) sum += SampleValue(frame + c * sampleBytes, format.BitsPerSample);
    mono[i] = sum / format.Channels;
  }

  if (format.SampleRate == kWaveSampleRate) {
    out.resize(frames);
    for (std::size_t i = 0; i < frames; ++i) out[i] = RoundTo16(mono[i]);
    return true;
  }
  if (frames == 0) return true;

  std::vector<float> in(mono.begin(), mono.end());
  mono = {};
  const double ratio = static_cast<double>(kWaveSampleRate) / format.SampleRate;
  std::vector<float> resampled(static_cast<std::size_t>(std::ceil(frames * ratio)) + 16);
  SRC_DATA src{};
  src.data_in = in.data();
  src.input_frames = static_cast<long>(frames);
  src.data_out = resampled.data();
  src.output_frames = static_cast<long>(resampled.size());
  src.src_ratio = ratio;
  src.end_of_input = 1;
  if (src_simple(&src, SRC_SINC_BEST_QUALITY, 1) != 0) return false;
  out.resize(static_cast<std::size_t>(src.output_frames_gen));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = RoundTo16(resampled[i]);
  return true;
}

}  // namespace sorvane

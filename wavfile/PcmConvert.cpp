// SPDX-License-Identifier: GPL-3.0-or-later
// Format chunk parsing and conversion of PCM sound to the engine's format.
#include "wavfile/PcmConvert.h"

#include <samplerate.h>

#include <cmath>
#include <cstring>

#include "wavfile/Riff.h"
#include "wavfile/WaveFile.h"

namespace sorvane {
namespace {

// KSDATAFORMAT_SUBTYPE_PCM, 00000001-0000-0010-8000-00aa00389b71, as stored.
constexpr uint8_t kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr std::size_t kSubFormatOffset = 24;

// One sample as a fraction of full scale, in [-1, 1).
double SampleValue(const uint8_t* p, uint16_t bits) {
  switch (bits) {
    case 8: return (static_cast<int>(p[0]) - 128) / 128.0;
    case 16: return static_cast<int16_t>(LoadLe16(p)) / 32768.0;
    case 24: {
      const uint32_t u =
          static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
      const int32_t v = static_cast<int32_t>(u << 8) >> 8;  // sign-extended
      return v / 8388608.0;
    }
    default: return static_cast<int32_t>(LoadLe32(p)) / 2147483648.0;
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
  format.Tag = LoadLe16(chunk);
  if (format.Tag == kWaveFormatIeeeFloat) return PcmFormatFault::FloatSamples;
  if (format.Tag != kWaveFormatPcm && format.Tag != kWaveFormatExtensible) return PcmFormatFault::NotPcm;
  if (format.Tag == kWaveFormatExtensible) {
    if (size < kWaveFormatExtensibleBytes) return PcmFormatFault::NoPcmSubFormat;
    // The float sub-format differs from the PCM one only in its first byte.
    if (std::memcmp(chunk + kSubFormatOffset + 1, kPcmSubFormat + 1, sizeof kPcmSubFormat - 1) == 0 &&
        chunk[kSubFormatOffset] == kWaveFormatIeeeFloat) {
      return PcmFormatFault::FloatSamples;
    }
    if (std::memcmp(chunk + kSubFormatOffset, kPcmSubFormat, sizeof kPcmSubFormat) != 0) {
      return PcmFormatFault::NoPcmSubFormat;
    }
  }
  if (size < kWaveFormatBytes) return PcmFormatFault::ShortChunk;
  format.Channels = LoadLe16(chunk + 2);
  format.SampleRate = LoadLe32(chunk + 4);
  format.BlockAlign = LoadLe16(chunk + 12);
  format.BitsPerSample = LoadLe16(chunk + 14);
  if (format.Channels < 1 || format.Channels > kPcmMaxChannels) return PcmFormatFault::Channels;
  if (format.SampleRate < kPcmMinSampleRate || format.SampleRate > kPcmMaxSampleRate) {
    return PcmFormatFault::SampleRate;
  }
  const uint16_t bits = format.BitsPerSample;
  if (bits != 8 && bits != 16 && bits != 24 && bits != 32) return PcmFormatFault::BitsPerSample;
  // The frames are read at this stride, so it must be what the other
  // fields describe.
  if (format.BlockAlign != PcmFrameBytes(format)) return PcmFormatFault::BlockAlign;
  return PcmFormatFault::None;
}

uint64_t PcmFramesFor(uint64_t samples, uint32_t sampleRate) {
  // The best sinc filter reaches about 150 samples either side at the lower
  // of the two rates, under 3000 input frames at 192 kHz; a quarter of a
  // second is far beyond that at every rate.
  const uint64_t span = (samples * sampleRate + kWaveSampleRate - 1) / kWaveSampleRate;
  return span + sampleRate / 4;
}

bool ConvertPcm(const uint8_t* data, std::size_t bytes, const PcmFormat& format, std::vector<int16_t>& out) {
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

PcmStreamConverter::~PcmStreamConverter() {
  if (State != nullptr) src_delete(static_cast<SRC_STATE*>(State));
}

bool PcmStreamConverter::Start(const PcmFormat& format) {
  Format = format;
  if (State != nullptr) State = src_delete(static_cast<SRC_STATE*>(State));
  if (format.SampleRate == kWaveSampleRate) return true;
  int error = 0;
  State = src_new(SRC_SINC_BEST_QUALITY, 1, &error);
  Ratio = static_cast<double>(kWaveSampleRate) / format.SampleRate;
  // The resampler's output is taken in pieces of this many samples.
  Out.resize(8192);
  return State != nullptr;
}

bool PcmStreamConverter::Convert(const uint8_t* data, std::size_t bytes, bool last, std::vector<int16_t>& out) {
  out.clear();
  const std::size_t sampleBytes = Format.BitsPerSample / 8u;
  const std::size_t frameBytes = PcmFrameBytes(Format);
  const std::size_t frames = bytes / frameBytes;

  // Channels mixed to mono by their mean, exactly as ConvertPcm does.
  Mono.resize(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    const uint8_t* frame = data + i * frameBytes;
    double sum = 0.0;
    for (uint16_t c = 0; c < Format.Channels; ++c) sum += SampleValue(frame + c * sampleBytes, Format.BitsPerSample);
    Mono[i] = sum / Format.Channels;
  }
  if (State == nullptr) {
    out.resize(frames);
    for (std::size_t i = 0; i < frames; ++i) out[i] = RoundTo16(Mono[i]);
    return true;
  }
  In.assign(Mono.begin(), Mono.end());
  std::size_t used = 0;
  for (;;) {
    SRC_DATA src{};
    src.data_in = In.data() + used;
    src.input_frames = static_cast<long>(frames - used);
    src.data_out = Out.data();
    src.output_frames = static_cast<long>(Out.size());
    src.src_ratio = Ratio;
    src.end_of_input = last ? 1 : 0;
    if (src_process(static_cast<SRC_STATE*>(State), &src) != 0) {
      out.clear();
      return false;
    }
    used += static_cast<std::size_t>(src.input_frames_used);
    for (long i = 0; i < src.output_frames_gen; ++i) out.push_back(RoundTo16(Out[static_cast<std::size_t>(i)]));
    // Until the piece is taken in, and at the end until the tail is out.
    if (used == frames && (!last || src.output_frames_gen == 0)) return true;
    if (src.input_frames_used == 0 && src.output_frames_gen == 0) return !last && used == frames;
  }
}

}  // namespace sorvane

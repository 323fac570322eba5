// SPDX-License-Identifier: GPL-3.0-or-later
// Linear PCM WAV sound in other layouts than the engine's: reading the format
// chunk's description of it, and converting its samples to the engine's
// 22050 Hz mono 16-bit sound (channels mixed by their mean, resampled with
// libsamplerate's best sinc converter, rounded to 16 bits with saturation).
// Conversion runs when a file is loaded, never on the block path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sorvane {

inline constexpr uint16_t kWaveFormatExtensible = 0xFFFE;
// An extensible format chunk carries its sub-format GUID at bytes 24 to 39.
inline constexpr uint32_t kWaveFormatExtensibleBytes = 40;
// The longest format chunk prefix that is ever looked at.
inline constexpr uint32_t kWaveFormatReadBytes = kWaveFormatExtensibleBytes;

// The sounds that can be converted.
inline constexpr uint16_t kPcmMaxChannels = 8;
inline constexpr uint32_t kPcmMinSampleRate = 8000;
inline constexpr uint32_t kPcmMaxSampleRate = 192000;

inline constexpr uint16_t kWaveFormatIeeeFloat = 3;

struct PcmFormat {
  uint16_t Tag;  // as written in the file: 1, or kWaveFormatExtensible
  uint16_t Channels;
  uint32_t SampleRate;
  uint16_t BitsPerSample;   // 8 (unsigned), 16, 24 or 32 (signed)
  uint16_t BlockAlign = 0;  // bytes of one frame, as written in the file
};

enum class PcmFormatFault : uint8_t {
  None,
  ShortChunk,      // tag 1 with fewer than 16 bytes of format
  NotPcm,          // another tag
  FloatSamples,    // IEEE float: tag 3, or the extensible format with the float sub-format
  NoPcmSubFormat,  // the extensible format with another sub-format, or too short to hold one
  Channels,        // outside 1 to kPcmMaxChannels
  SampleRate,      // outside kPcmMinSampleRate to kPcmMaxSampleRate
  BitsPerSample,   // not 8, 16, 24 or 32
  BlockAlign       // not the bytes of one sample times the channels
};

// Reads a format chunk's first `size` bytes (the whole chunk when it is
// shorter than kWaveFormatReadBytes; size >= 2). format is filled as far as
// the chunk goes; the result names the first thing that rules it out.
PcmFormatFault ParsePcmFormat(const uint8_t* chunk, std::size_t size, PcmFormat& format);

// The engine's own sound, which needs no conversion.
constexpr bool IsEngineFormat(const PcmFormat& f) {
  return f.Channels == 1 && f.SampleRate == 22050 && f.BitsPerSample == 16;
}

// Bytes of one sample frame (all channels) of an accepted format.
constexpr uint32_t PcmFrameBytes(const PcmFormat& f) {
  return static_cast<uint32_t>(f.Channels) * (f.BitsPerSample / 8u);
}

// Input frames enough for the first `samples` converted samples to come out
// exactly as from the whole file: their own span of the input and a margin
// well beyond the reach of the resampling filter.
uint64_t PcmFramesFor(uint64_t samples, uint32_t sampleRate);

// Converts the whole frames among `bytes` bytes of interleaved samples of an
// accepted format (a trailing partial frame is ignored) into `out`, replacing
// its contents. At 22050 Hz nothing is resampled. Returns false only when the
// resampler fails, with `out` empty.
bool ConvertPcm(const uint8_t* data, std::size_t bytes, const PcmFormat& format, std::vector<int16_t>& out);

// Converts a sound piece by piece as it is read, with libsamplerate's
// streaming interface: the samples are exactly those ConvertPcm gives for
// the whole sound, and memory does not grow with the sound's length.
class PcmStreamConverter {
 public:
  PcmStreamConverter() = default;
  ~PcmStreamConverter();
  PcmStreamConverter(const PcmStreamConverter&) = delete;
  PcmStreamConverter& operator=(const PcmStreamConverter&) = delete;

  // Starts a sound of an accepted format; false when the resampler cannot
  // be made.
  bool Start(const PcmFormat& format);
  // Converts the whole frames among `bytes` bytes (the next piece of the
  // sound; a trailing partial frame is ignored) and replaces `out` with the
  // samples that are ready. `last`: nothing follows, so the resampler's tail
  // comes out too. False when the resampler fails.
  bool Convert(const uint8_t* data, std::size_t bytes, bool last, std::vector<int16_t>& out);

 private:
  PcmFormat Format{};
  void* State = nullptr;  // the resampler's SRC_STATE
  double Ratio = 1.0;
  std::vector<double> Mono;
  std::vector<float> In;
  std::vector<float> Out;
};

}  // namespace sorvane

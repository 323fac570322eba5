// SPDX-License-Identifier: GPL-3.0-or-later
// Whole-file WAV operations used by the phrase files: write a buffer of
// 16-bit mono samples as a complete RIFF WAVE file, and read the sample data
// of a linear-PCM WAV file into a caller's buffer, as it is or converted to
// that sound. They report every failure through ShowWaveError, in Japanese,
// and return false.
#pragma once

#include <cstdint>

namespace sorvane {

// The engine's sound: linear PCM, one channel, 22050 samples per second,
// 16 bits per sample, so 44100 bytes per second and 2 bytes per frame.
inline constexpr uint16_t kWaveFormatPcm = 1;
inline constexpr uint16_t kWaveChannels = 1;
inline constexpr uint32_t kWaveSampleRate = 22050;
inline constexpr uint16_t kWaveBitsPerSample = 16;
inline constexpr uint16_t kWaveBlockAlign = kWaveChannels * kWaveBitsPerSample / 8;
inline constexpr uint32_t kWaveBytesPerSecond = kWaveSampleRate * kWaveBlockAlign;
static_assert(kWaveBytesPerSecond == 44100);

// The format chunk's record for that sound, little-endian: format tag,
// channels, samples per second, bytes per second, block alignment, bits per
// sample (the first kWaveFormatBytes), then a zero extra-size field, which
// the take files carry (all kWaveFormatExBytes).
inline constexpr uint32_t kWaveFormatBytes = 16;
inline constexpr uint32_t kWaveFormatExBytes = 18;
struct WaveFormatRecord {
  uint8_t Bytes[kWaveFormatExBytes];
};
constexpr WaveFormatRecord MakeWaveFormatRecord() {
  WaveFormatRecord r{};
  const auto put = [&r](int at, uint32_t value, int width) {
    for (int i = 0; i < width; ++i) r.Bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  put(0, kWaveFormatPcm, 2);
  put(2, kWaveChannels, 2);
  put(4, kWaveSampleRate, 4);
  put(8, kWaveBytesPerSecond, 4);
  put(12, kWaveBlockAlign, 2);
  put(14, kWaveBitsPerSample, 2);
  put(16, 0, 2);
  return r;
}
inline constexpr WaveFormatRecord kWaveFormatRecord = MakeWaveFormatRecord();

// Writes fileName (replacing an existing file) as a RIFF WAVE file with a
// 16-byte format chunk (linear PCM, mono, 22050 Hz, 16-bit) and a "data"
// chunk holding byteCount bytes of samples. Returns true once the whole file
// has been written, flushed to the disk and put in place. The file is
// written under a hidden temporary name in the same folder and renamed over
// fileName only then, so on failure an existing file is untouched and no
// partly written file is left. A replaced file keeps its permission bits; a
// symbolic link is written through (the file it names is replaced). Only a
// regular file, or a name not taken yet, is written: a folder, pipe or
// device is refused as "ファイルオープンエラー (mmioOpen)", without waiting.
bool WriteWaveFile(const char* fileName, const void* samples, uint32_t byteCount);

// Copies the first min(data chunk size, seconds * 44100) bytes of the "data"
// chunk of a linear-PCM (format tag 1) WAV file to the start of destination,
// which must hold at least seconds * 44100 bytes (a negative seconds reads
// nothing). Channels, rate and sample width are not checked: the bytes are
// copied as they are. Bytes beyond the copied ones are left as they were;
// bytesCopied, when given, receives the count. Nothing is written to
// destination unless the whole count has been read, also when the file is
// cut short while it is being read: on failure destination and *bytesCopied
// are unchanged.
bool ReadWaveFile(void* destination, const char* fileName, int seconds, uint32_t* bytesCopied = nullptr);

// As ReadWaveFile, for any linear PCM sound (format tag 1, or the extensible
// format with the PCM sub-format) of 1 to 8 channels, 8000 to 192000 Hz and
// 8, 16, 24 or 32 bits. A 22050 Hz mono 16-bit file is copied byte for byte
// exactly as ReadWaveFile does; any other is first converted to that sound
// (see PcmConvert.h), and the first seconds * 22050 converted samples are
// stored. Another layout is refused as "PCMフォーマットではありません。", a
// tag-1 format chunk shorter than 16 bytes as "fmtチャンクリードエラー (mmioRead)".
bool ReadWaveSamples(int16_t* destination, const char* fileName, int seconds, uint32_t* bytesCopied = nullptr);

}  // namespace sorvane

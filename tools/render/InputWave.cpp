// SPDX-License-Identifier: GPL-3.0-or-later
// The renderer's input file, read and converted block by block.
#include "tools/render/InputWave.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <unistd.h>

#include "tools/render/RenderFiles.h"

namespace sorvane {
namespace {

// Bytes read from the file at a time (rounded down to whole frames).
constexpr int64_t kPieceBytes = 65536;

std::string FormatFaultText(const WaveLayout& layout) {
  const PcmFormat& f = layout.Format;
  const bool extensible = f.Tag == kWaveFormatExtensible;
  switch (layout.FormatFault) {
    case PcmFormatFault::None: break;
    case PcmFormatFault::ShortChunk:
      return "format chunk of " + std::to_string(layout.FormatSize) + " bytes, expected at least 16";
    case PcmFormatFault::NotPcm: return "not linear PCM (format tag " + std::to_string(f.Tag) + ")";
    case PcmFormatFault::FloatSamples:
      return extensible ? "floating-point samples (extensible format, IEEE float sub-format) are not supported"
                        : "floating-point samples (format tag 3) are not supported";
    case PcmFormatFault::NoPcmSubFormat:
      return layout.FormatSize < kWaveFormatExtensibleBytes
                 ? "extensible format chunk of " + std::to_string(layout.FormatSize) +
                       " bytes, too short to name its sub-format"
                 : "extensible format whose sub-format is not linear PCM";
    case PcmFormatFault::Channels: return "expected 1 to 8 channels, got " + std::to_string(f.Channels);
    case PcmFormatFault::SampleRate: return "expected 8000 to 192000 Hz, got " + std::to_string(f.SampleRate) + " Hz";
    case PcmFormatFault::BitsPerSample:
      return "expected 8, 16, 24 or 32-bit samples, got " + std::to_string(f.BitsPerSample) + "-bit";
    case PcmFormatFault::BlockAlign:
      return "block align " + std::to_string(f.BlockAlign) + " does not match " + std::to_string(f.Channels) +
             (f.Channels == 1 ? " channel" : " channels") + " of " + std::to_string(f.BitsPerSample) + " bits";
  }
  return "unreadable format";
}

}  // namespace

std::string DescribeWaveFault(WaveFault fault, const WaveLayout& layout) {
  switch (fault) {
    case WaveFault::None: return "";
    case WaveFault::NotRiffWave: return "not a RIFF WAVE file";
    case WaveFault::NoFormat: return "no format chunk";
    case WaveFault::FormatTooShort:
      return "format chunk of " + std::to_string(layout.FormatSize) + " bytes, expected at least 16";
    case WaveFault::FormatPastEnd: return "format chunk runs past the end of the file";
    case WaveFault::BadFormat: return FormatFaultText(layout);
    case WaveFault::CannotSeek: return "cannot read past the format chunk";
    case WaveFault::DataBeforeFormat: return "the data chunk comes before the format chunk";
    case WaveFault::NoData: return "no data chunk";
  }
  return "unreadable file";
}

InputWave::~InputWave() {
  if (File.Fd >= 0) RiffClose(File);
}

bool InputWave::Open(const std::string& fileName, std::string& error) {
  FileName = fileName;
  auto fail = [&](const std::string& message) {
    error = "input: " + message + " (" + fileName + ")";
    return false;
  };
  std::string reason;
  File.Fd = OpenRegularFile(fileName, reason);
  if (File.Fd < 0) return fail(reason);
  const WaveFault fault = ReadWaveLayout(File, WaveCheck::Convertible, Layout);
  if (fault != WaveFault::None) return fail(DescribeWaveFault(fault, Layout));
  // The length is the data chunk's, which the file must hold when opened.
  if (Layout.DataOffset + static_cast<int64_t>(Layout.DataSize) > Layout.FileSize) {
    return fail("data chunk runs past the end of the file");
  }
  const PcmFormat& format = Layout.Format;
  Native = IsEngineFormat(format);
  const int64_t frameBytes = PcmFrameBytes(format);
  // Whole frames only: an odd trailing byte is ignored.
  SoundBytes = Layout.DataSize - Layout.DataSize % frameBytes;
  Raw.resize(static_cast<size_t>(kPieceBytes - kPieceBytes % frameBytes));
  if (Native) return true;
  if (!Converter.Start(format)) return fail("cannot resample the sound");
  std::fprintf(stderr, "sorvane-render: %s: converted %u Hz, %u channel%s, %u-bit to 22050 Hz mono 16-bit\n",
               fileName.c_str(), static_cast<unsigned>(format.SampleRate), static_cast<unsigned>(format.Channels),
               format.Channels == 1 ? "" : "s", static_cast<unsigned>(format.BitsPerSample));
  return true;
}

bool InputWave::PullPiece(PcmStreamConverter& converter, int64_t& readBytes, std::vector<int16_t>& ready) {
  if (readBytes >= SoundBytes || !Failure.empty()) return false;
  const auto want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(Raw.size()), SoundBytes - readBytes));
  size_t got = 0;
  while (got < want) {
    const ssize_t n = ::pread(File.Fd, Raw.data() + got, want - got,
                              static_cast<off_t>(Layout.DataOffset + readBytes + static_cast<int64_t>(got)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got < want) {
    Failure = "input: the file became shorter while it was read (" + FileName + ")";
    return false;
  }
  readBytes += static_cast<int64_t>(got);
  if (Native) {
    ready.resize(got / 2);
    for (size_t i = 0; i < ready.size(); ++i) ready[i] = static_cast<int16_t>(LoadLe16(Raw.data() + 2 * i));
    return true;
  }
  if (!converter.Convert(Raw.data(), got, readBytes == SoundBytes, ready)) {
    Failure = "input: cannot resample the sound (" + FileName + ")";
    return false;
  }
  return true;
}

bool InputWave::CountSamples(int64_t& count, std::string& error) {
  if (Native) {
    count = SoundBytes / 2;
    return true;
  }
  PcmStreamConverter converter;
  if (!converter.Start(Layout.Format)) {
    error = "input: cannot resample the sound (" + FileName + ")";
    return false;
  }
  count = 0;
  int64_t readBytes = 0;
  std::vector<int16_t> samples;
  while (PullPiece(converter, readBytes, samples)) count += static_cast<int64_t>(samples.size());
  if (!Failure.empty()) {
    error = Failure;
    return false;
  }
  return true;
}

void InputWave::Fill(int64_t first, int16_t* out, int32_t count) {
  int32_t i = 0;
  while (i < count) {
    if (ReadyAt == Ready.size()) {
      if (Ended || !PullPiece(Converter, ReadBytes, Ready)) {
        // Past the end of the sound: silence.
        Ended = true;
        std::fill(out + i, out + count, int16_t{0});
        return;
      }
      ReadyAt = 0;
      continue;
    }
    const int64_t at = first + i;
    if (Position < at) {
      // A lost block's samples are passed over.
      const auto skip =
          static_cast<size_t>(std::min<int64_t>(at - Position, static_cast<int64_t>(Ready.size() - ReadyAt)));
      ReadyAt += skip;
      Position += static_cast<int64_t>(skip);
      continue;
    }
    out[i] = Ready[ReadyAt];
    ++i;
    ++ReadyAt;
    ++Position;
  }
}

}  // namespace sorvane

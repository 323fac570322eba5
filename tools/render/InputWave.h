// SPDX-License-Identifier: GPL-3.0-or-later
// The renderer's input: RIFF WAVE, linear PCM, checked by the WAV readers'
// own chunk walk and format check. A 22050 Hz mono 16-bit file is taken as
// it is; another PCM sound of 1 to 8 channels, 8000 to 192000 Hz and 8, 16,
// 24 or 32 bits is converted to that (and stderr says so). Anything else is
// refused with a message that says what is wrong with the file. The sound
// is read and converted as the capture blocks need it, so memory does not
// grow with the file; its length is the data chunk's size, and bytes the
// file gains meanwhile are not read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/VirtualDevices.h"
#include "wavfile/PcmConvert.h"
#include "wavfile/WaveLayout.h"

namespace sorvane {

// A refusal of the input's layout or format in words, e.g. "no format
// chunk" or "block align 3 does not match 2 channels of 16 bits".
std::string DescribeWaveFault(WaveFault fault, const WaveLayout& layout);

class InputWave final : public VirtualCaptureSource {
 public:
  InputWave() = default;
  ~InputWave() override;
  InputWave(const InputWave&) = delete;
  InputWave& operator=(const InputWave&) = delete;

  // Opens fileName (only a regular file) and checks it; false with a message
  // "input: ... (FILE)".
  bool Open(const std::string& fileName, std::string& error);
  // The number of samples at 22050 Hz. For a converted file this converts
  // the whole sound once, keeping nothing of it.
  bool CountSamples(int64_t& count, std::string& error);
  // Capture's sound, read as it is asked for.
  void Fill(int64_t first, int16_t* out, int32_t count) override;
  // Set when the file could no longer be read during the run.
  const std::string& ReadError() const { return Failure; }

 private:
  // Reads and converts the next piece of the sound into Ready; false at its end.
  bool PullPiece(PcmStreamConverter& converter, int64_t& readBytes, std::vector<int16_t>& ready);

  std::string FileName;
  RiffFile File;
  WaveLayout Layout;
  bool Native = false;
  int64_t SoundBytes = 0;  // the data's whole frames
  std::vector<uint8_t> Raw;
  PcmStreamConverter Converter;
  int64_t ReadBytes = 0;       // of the sound, so far
  std::vector<int16_t> Ready;  // converted, not yet handed out
  size_t ReadyAt = 0;
  int64_t Position = 0;  // the sample Ready[ReadyAt] is
  bool Ended = false;
  std::string Failure;
};

}  // namespace sorvane

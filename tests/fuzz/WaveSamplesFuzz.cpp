// SPDX-License-Identifier: GPL-3.0-or-later
// The phrase loader (ReadWaveSamples) on any bytes: it reads or refuses,
// and when it reads, stays within the three seconds it was given.
#include <cstdlib>

#include "FuzzFile.h"
#include "wavfile/WaveFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sorvane::fuzz::FuzzFile file;
  static const bool quiet = (sorvane::fuzz::DropErrorBoxes(), true);
  (void)quiet;
  constexpr int kSeconds = 3;
  // Exactly the room the loader may fill, on the heap, so an overrun is caught.
  static int16_t* const destination = new int16_t[kSeconds * sorvane::kWaveSampleRate];
  uint32_t copied = 0;
  if (sorvane::ReadWaveSamples(destination, file.Hold(data, size).c_str(), kSeconds, &copied) &&
      copied > kSeconds * sorvane::kWaveBytesPerSecond) {
    std::abort();
  }
  return 0;
}

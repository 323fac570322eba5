// SPDX-License-Identifier: GPL-3.0-or-later
// The phrase loader (ReadWaveSamples) on any bytes: it reads, within the
// three seconds it was given and without a box, or refuses with one box.
#include <cstdlib>

#include "FuzzFile.h"
#include "wavfile/WaveFile.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sorvane::fuzz::CountErrorBoxes();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sorvane::fuzz::FuzzFile file;
  constexpr int kSeconds = 3;
  // Exactly the room the loader may fill, on the heap, so an overrun is caught.
  static int16_t* const destination = new int16_t[kSeconds * sorvane::kWaveSampleRate];
  uint32_t copied = 0;
  sorvane::fuzz::ErrorBoxes() = 0;
  const bool read = sorvane::ReadWaveSamples(destination, file.Hold(data, size).c_str(), kSeconds, &copied);
  const int boxes = sorvane::fuzz::ErrorBoxes();
  if (read ? boxes != 0 || copied > kSeconds * sorvane::kWaveBytesPerSecond : boxes != 1) std::abort();
  return 0;
}

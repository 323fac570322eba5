// SPDX-License-Identifier: GPL-3.0-or-later
// The renderer's input reader (ReadInputWave, with conversion) on any
// bytes: it reads or refuses with a message. The converted-file line it
// prints is dropped by running with -close_fd_mask=2, which the test and
// the README's commands pass.
#include <cstdlib>
#include <vector>

#include "FuzzFile.h"
#include "tools/render/InputWave.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sorvane::fuzz::FuzzFile file;
  std::vector<int16_t> samples;
  std::string error;
  if (!sorvane::ReadInputWave(file.Hold(data, size), samples, error) && error.empty()) std::abort();
  return 0;
}

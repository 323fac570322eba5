// SPDX-License-Identifier: GPL-3.0-or-later
// The renderer's input reader (InputWave, with conversion) on any bytes: it
// opens and counts the sound or refuses with a message, and then hands out
// capture blocks of it, past its end too. The converted-file line it prints
// is dropped by running with -close_fd_mask=2, which the test and the
// README's commands pass.
#include <cstdlib>
#include <string>

#include "FuzzFile.h"
#include "tools/render/InputWave.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sorvane::fuzz::FuzzFile file;
  const std::string name = file.Hold(data, size);
  sorvane::InputWave input;
  std::string error;
  int64_t count = 0;
  if (!input.Open(name, error) || !input.CountSamples(count, error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (count < 0) std::abort();
  // A few blocks, enough to run past the end of a short sound.
  int16_t block[220];
  for (int64_t first = 0; first < 220 * 8; first += 220) input.Fill(first, block, 220);
  return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// The MIDI file reader (ParseMidiFile) on any bytes: it reads or refuses
// with a message, and what it reads is a list of channel messages in block
// order, the last release among them.
#include <cstdlib>

#include "tools/render/MidiFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The last byte picks the channel filter, so both ways are explored.
  const int32_t channel = size > 0 && data[size - 1] < 16 ? data[size - 1] : sorvane::kMidiAllChannels;
  sorvane::MidiSong song;
  std::string error;
  if (!sorvane::ParseMidiFile(data, size, channel, song, error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  int64_t block = 0;
  for (const sorvane::MidiFileEvent& e : song.Events) {
    if ((e.Length != 2 && e.Length != 3) || e.Bytes[0] < 0x80 || e.Bytes[0] >= 0xF0 || e.Block < block) std::abort();
    block = e.Block;
  }
  if (song.LastReleaseBlock > block) std::abort();
  return 0;
}

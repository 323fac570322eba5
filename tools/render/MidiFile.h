// SPDX-License-Identifier: GPL-3.0-or-later
// Standard MIDI Files for the renderer: the reader (format 0 and 1, running
// status, tempo map, SMPTE or metrical time) and the player that carries the
// file's notes out before the capture blocks their times fall in, through
// the same mapping as the live MIDI input.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "keyboard/MidiNotes.h"

namespace sorvane {

// One channel message of the file, at its place on the block clock.
struct MidiFileEvent {
  int64_t Block;   // carried out before this capture block
  int64_t Micros;  // whole microseconds from the start of the file, rounded down
  std::array<uint8_t, 3> Bytes;
  uint8_t Length;  // 2 or 3
};

struct MidiSong {
  std::vector<MidiFileEvent> Events;  // in the order they are carried out
  // Block of the last event that can release a key (note-off, velocity-0
  // note-on, pedal up, all notes off); -1 when there is none.
  int64_t LastReleaseBlock = -1;
};

// Longest accepted file: far more than any song, far less than memory.
inline constexpr uint64_t kMaxMidiFileBytes = 8u << 20;
// An event at t us is carried out before capture block
// floor(t x 22050 / (220 x 1 000 000)): blocks of 220 samples at 22050 Hz.
inline constexpr int64_t kMicrosPerBlockNumerator = 220'000'000;
inline constexpr int64_t kBlocksPerSecondTimesSamples = 22'050;
// When the length comes from the file: the blocks from the last release on
// that cover two seconds of sound after it (44100 samples, the last block
// partly).
inline constexpr int64_t kMidiTailBlocks = (2 * 22'050 + 220 - 1) / 220;
static_assert(kMidiTailBlocks == 201);

// Parses the bytes of a file. channel (0-15 or kMidiAllChannels) keeps only
// that channel's messages. false with a message saying what is wrong.
bool ParseMidiFile(const uint8_t* data, size_t size, int32_t channel, MidiSong& song, std::string& error);

// Reads and parses a file; the message names the file.
bool LoadMidiFile(const std::string& fileName, int32_t channel, MidiSong& song, std::string& error);

// Plays a song on the engine: every event of a block, in order, as the
// live MIDI input would, with the Octave of that moment.
class MidiPlayer final : public MidiTarget {
 public:
  MidiPlayer(EngineState& engine, const MidiSong& song, int32_t channel);
  // Carries out the events of block (blocks are visited in increasing order).
  void Play(int64_t block);

  void MidiKeyDown(int32_t key) override;
  void MidiKeyStruck(int32_t key, int32_t velocity) override;
  void MidiKeyUp(int32_t key) override;
  void MidiPitchBend(int32_t bend) override;
  void MidiControlChange(MidiControl control, int32_t value) override;

 private:
  EngineState& Engine;
  const MidiSong& Song;
  MidiNotes Notes;
  size_t Next = 0;
};

}  // namespace sorvane

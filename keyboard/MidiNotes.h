// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI notes and controllers turned into presses and releases of the 41
// keys, free of any MIDI system: the live input and the renderer's MIDI
// files feed the same bytes through the same mapping.
//
// Key k sounds NoteOffset - 9 + 12 x Octave semitones above 27.5 Hz, which is
// MIDI note NoteOffset + 12 + 12 x Octave; a note-on of note n therefore
// presses the key whose NoteOffset is n - 12 - 12 x Octave (the upper row's
// key where two share it), moved by whole octaves into the keys' range. The
// key a note pressed is remembered, so its note-off releases that key even
// after the octave has changed. Velocity, pitch bend, aftertouch, program
// changes and system messages are ignored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/Interface.h"
#include "keyboard/KeyTable.h"

namespace sorvane {

inline constexpr int kMidiChannels = 16;
inline constexpr int kMidiNotes = 128;
inline constexpr int32_t kMidiAllChannels = -1;
inline constexpr int32_t kMidiPedalDown = 64;        // sustain value from which the pedal is down
inline constexpr int32_t kMidiControllerMax = 127;
inline constexpr int32_t kModDepthMax = 100;         // the vibrato depth scroll bar's range 0-100

inline constexpr uint8_t kCcModWheel = 1;
inline constexpr uint8_t kCcSustain = 64;
inline constexpr uint8_t kCcAllSoundOff = 120;
inline constexpr uint8_t kCcAllNotesOff = 123;

// What the MIDI input holds: for every channel and note the key its note-on
// pressed, whether a note-off is being held back by the sustain pedal, the
// pedal of each channel, and how many MIDI notes hold each key.
struct MidiNotes {
  int32_t Channel;  // 0-15: only this channel is played; kMidiAllChannels: every channel
  std::array<std::array<int8_t, kMidiNotes>, kMidiChannels> NoteKey;  // -1: the note is not held
  std::array<std::array<bool, kMidiNotes>, kMidiChannels> Sustained;  // released, held by the pedal
  std::array<bool, kMidiChannels> PedalDown;
  std::array<int32_t, kKeyCount> Holds;  // notes holding each key
};
static_assert(std::is_trivially_copyable_v<MidiNotes>);

// What the mapping asks of the program: the same calls a mouse press, a
// mouse release and a move of the vibrato depth scroll bar make.
class MidiTarget : public Interface {
 public:
  virtual void MidiKeyDown(int32_t key) = 0;
  virtual void MidiKeyUp(int32_t key) = 0;
  virtual void MidiModDepth(int32_t depth) = 0;  // 0-100
};

// Nothing held, pedals up; channel is 0-15 or kMidiAllChannels.
void ResetMidiNotes(MidiNotes& notes, int32_t channel);

// The key that MIDI note n (0-127) presses at this octave (0-3).
int32_t MidiNoteKey(int32_t note, int32_t octave);

// Whether any MIDI note holds key (0-40), the pedal's held-back notes included.
bool MidiHoldsKey(const MidiNotes& notes, int32_t key);

// Carries out one complete channel message (status byte first, 1 to 3
// bytes; running status already resolved). octave is the Octave of this
// moment. Every note-on presses its key (a press of a key that sounds
// changes nothing, as with the mouse); a key is released when the last note
// holding it ends. Messages that are not understood are ignored.
void MidiMessage(MidiNotes& notes, const uint8_t* bytes, size_t length, int32_t octave, MidiTarget& target);

// Releases every key that MIDI holds (all-notes-off and all-sound-off).
void MidiReleaseAll(MidiNotes& notes, MidiTarget& target);

}  // namespace sorvane

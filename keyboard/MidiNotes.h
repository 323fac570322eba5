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
// after the octave has changed. A note-on's velocity goes with its press,
// and pitch bend on the channels played goes to the program as it comes;
// aftertouch, program changes and system messages are ignored.
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
inline constexpr int32_t kMidiPedalDown = 64;  // sustain value from which the pedal is down
inline constexpr int32_t kMidiControllerMax = 127;
inline constexpr int32_t kModDepthMax = 100;  // the vibrato depth scroll bar's range 0-100

inline constexpr uint8_t kCcModWheel = 1;
inline constexpr uint8_t kCcSustain = 64;
inline constexpr uint8_t kCcAllSoundOff = 120;
inline constexpr uint8_t kCcResetAllControllers = 121;
inline constexpr uint8_t kCcAllNotesOff = 123;

// The controls a MIDI controller can drive, and their ranges: the vibrato
// depth and rate, the echo level and delay, the output level (dB), the
// pitch bend range (semitones) and the glide time (ms). New controls go at
// the end: the settings keep a control's controller by its place.
enum class MidiControl : int32_t { ModDepth, ModRate, EchoLevel, EchoDelay, OutputLevel, BendRange, GlideTime };
inline constexpr int kMidiControlCount = 7;
struct MidiControlRange {
  int32_t Min;
  int32_t Max;
};
inline constexpr std::array<MidiControlRange, kMidiControlCount> kMidiControlRanges{
    {{0, kModDepthMax}, {1, 20}, {0, 100}, {50, 200}, {-24, 6}, {1, 12}, {0, 1000}}};
inline constexpr int32_t kNoController = -1;

// Controller value 0-127 spread over the control's range, rounded down.
int32_t MidiControlValue(MidiControl control, int32_t value);

// Which controller drives each control, and the control waiting for the
// next controller moved (MIDI learn). One controller drives at most one
// control. The modulation wheel drives the vibrato depth until another is
// learnt.
struct MidiLearn {
  std::array<int32_t, kMidiControlCount> Controller;  // 0-119, or kNoController
  int32_t Learning;                                   // a MidiControl, or -1: not learning
};

// The start-up assignment: the modulation wheel on the vibrato depth.
void ResetMidiLearn(MidiLearn& learn);
// Whether controller may be learnt: not the sustain pedal, not one of the
// channel mode messages (120-127).
bool LearnableController(int32_t controller);
// Gives control to controller (taking it from the control it drove);
// kNoController forgets the control's controller. Unlearnable: nothing.
void AssignController(MidiLearn& learn, MidiControl control, int32_t controller);

// What the MIDI input holds: for every channel and note the key its note-on
// pressed, whether a note-off is being held back by the sustain pedal, the
// pedal of each channel, and how many MIDI notes hold each key.
struct MidiNotes {
  int32_t Channel;  // 0-15: only this channel is played; kMidiAllChannels: every channel
  std::array<std::array<int8_t, kMidiNotes>, kMidiChannels> NoteKey;  // -1: the note is not held
  std::array<std::array<bool, kMidiNotes>, kMidiChannels> Sustained;  // released, held by the pedal
  std::array<bool, kMidiChannels> PedalDown;
  std::array<int32_t, kKeyCount> Holds;  // notes holding each key
  MidiLearn Learn;
};
static_assert(std::is_trivially_copyable_v<MidiNotes>);

// What the mapping asks of the program: the same calls a mouse press, a
// mouse release and a move of a control make.
class MidiTarget : public Interface {
 public:
  virtual void MidiKeyDown(int32_t key) = 0;
  virtual void MidiKeyUp(int32_t key) = 0;
  // A note-on at velocity (1-127) presses key; a target that plays
  // velocities takes it here, the others get MidiKeyDown.
  virtual void MidiKeyStruck(int32_t key, int32_t /*velocity*/) { MidiKeyDown(key); }
  // The pitch bend of a channel played, -8192..8191 (0 at rest): from its
  // messages, and back to 0 on a reset of all controllers or when the
  // source has gone.
  virtual void MidiPitchBend(int32_t /*bend*/) {}
  // value is in the control's range (kMidiControlRanges).
  virtual void MidiControlChange(MidiControl control, int32_t value) = 0;
  // A controller was learnt for control (MidiLearn::Learning ended).
  virtual void MidiControllerLearnt(MidiControl /*control*/, int32_t /*controller*/) {}
};

// Nothing held, pedals up, the start-up controllers; channel is 0-15 or
// kMidiAllChannels.
void ResetMidiNotes(MidiNotes& notes, int32_t channel);

// The key that MIDI note n (0-127) presses at this octave (0-3).
int32_t MidiNoteKey(int32_t note, int32_t octave);

// Whether any MIDI note holds key (0-40), the pedal's held-back notes included.
bool MidiHoldsKey(const MidiNotes& notes, int32_t key);

// Carries out one complete channel message (status byte first, 1 to 3
// bytes; running status already resolved). octave is the Octave of this
// moment. Every note-on presses its key (a press of a key that sounds
// changes nothing, as with the mouse); a key is released when the last note
// holding it ends. A controller drives the control it is assigned to;
// while a control is learning, the next learnable controller moved on any
// channel is assigned to it first. Messages that are not understood are
// ignored.
void MidiMessage(MidiNotes& notes, const uint8_t* bytes, size_t length, int32_t octave, MidiTarget& target);

// Whether a complete message can only let go of notes: a note-off, a
// note-on at velocity 0, the sustain pedal going up, all sound off or all
// notes off. Losing one of these leaves a note sounding; losing any other
// message at worst misses a note or a control's move.
bool MidiLetsGo(const uint8_t* bytes, size_t length);

// Releases every key that MIDI holds (all-notes-off and all-sound-off); the
// learnt controllers stay.
void MidiReleaseAll(MidiNotes& notes, MidiTarget& target);

// The port went away with its server: no note-off or pedal release can come
// any more, so every key MIDI holds is released, every pedal is up and the
// bend is back at rest. The channel and the learnt controllers stay.
void MidiSourceGone(MidiNotes& notes, MidiTarget& target);

}  // namespace sorvane

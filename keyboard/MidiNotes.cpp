// SPDX-License-Identifier: GPL-3.0-or-later
// The MIDI-to-key mapping: notes to keys, hold counts, the sustain pedal,
// the modulation wheel and the all-notes-off controllers.
#include "keyboard/MidiNotes.h"

namespace sorvane {

namespace {

constexpr int32_t kOctaveSemitones = 12;
// MIDI note of NoteOffset 0 at Octave 0: NoteOffset - 9 semitones above
// 27.5 Hz (MIDI note 21) is MIDI note NoteOffset + 12.
constexpr int32_t kNoteOfOffsetZero = 12;

constexpr uint8_t kNoteOff = 0x80;
constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kControlChange = 0xB0;
constexpr uint8_t kPitchBend = 0xE0;
constexpr int32_t kPitchBendCentre = 8192;  // the 14-bit value at rest

constexpr int32_t LowestOffset() {
  int32_t low = KeyTable[0].NoteOffset;
  for (const TKeyTable& e : KeyTable) low = e.NoteOffset < low ? e.NoteOffset : low;
  return low;
}
constexpr int32_t HighestOffset() {
  int32_t high = KeyTable[0].NoteOffset;
  for (const TKeyTable& e : KeyTable) high = e.NoteOffset > high ? e.NoteOffset : high;
  return high;
}

// Drops one hold of key; the key goes up with its last.
void ReleaseHold(MidiNotes& notes, int32_t key, MidiTarget& target) {
  if (notes.Holds[key] <= 0) return;
  notes.Holds[key] -= 1;
  if (notes.Holds[key] == 0) target.MidiKeyUp(key);
}

void NoteOn(MidiNotes& notes, int32_t channel, int32_t note, int32_t velocity, int32_t octave, MidiTarget& target) {
  int8_t& held = notes.NoteKey[channel][note];
  if (held >= 0) {
    // Struck again while held (by the finger or by the pedal): the same key,
    // pressed again, no second hold.
    notes.Sustained[channel][note] = false;
    target.MidiKeyStruck(held, velocity);
    return;
  }
  const int32_t key = MidiNoteKey(note, octave);
  held = static_cast<int8_t>(key);
  notes.Holds[key] += 1;
  target.MidiKeyStruck(key, velocity);
}

void NoteOff(MidiNotes& notes, int32_t channel, int32_t note, MidiTarget& target) {
  int8_t& held = notes.NoteKey[channel][note];
  if (held < 0 || notes.Sustained[channel][note]) return;
  if (notes.PedalDown[channel]) {
    notes.Sustained[channel][note] = true;
    return;
  }
  const int32_t key = held;
  held = -1;
  ReleaseHold(notes, key, target);
}

void PedalUp(MidiNotes& notes, int32_t channel, MidiTarget& target) {
  notes.PedalDown[channel] = false;
  for (int32_t note = 0; note < kMidiNotes; ++note) {
    if (!notes.Sustained[channel][note]) continue;
    notes.Sustained[channel][note] = false;
    const int32_t key = notes.NoteKey[channel][note];
    notes.NoteKey[channel][note] = -1;
    ReleaseHold(notes, key, target);
  }
}

}  // namespace

void ResetMidiNotes(MidiNotes& notes, int32_t channel) {
  notes = {};
  notes.Channel = channel;
  for (auto& keys : notes.NoteKey) keys.fill(-1);
  ResetMidiLearn(notes.Learn);
}

int32_t MidiControlValue(MidiControl control, int32_t value) {
  const MidiControlRange range = kMidiControlRanges[static_cast<size_t>(control)];
  return range.Min + value * (range.Max - range.Min) / kMidiControllerMax;
}

void ResetMidiLearn(MidiLearn& learn) {
  learn.Controller.fill(kNoController);
  learn.Controller[static_cast<size_t>(MidiControl::ModDepth)] = kCcModWheel;
  learn.Learning = -1;
}

bool LearnableController(int32_t controller) {
  return controller >= 0 && controller < kCcAllSoundOff && controller != kCcSustain;
}

void AssignController(MidiLearn& learn, MidiControl control, int32_t controller) {
  if (controller != kNoController && !LearnableController(controller)) return;
  if (controller != kNoController) {
    for (int32_t& c : learn.Controller) {
      if (c == controller) c = kNoController;
    }
  }
  learn.Controller[static_cast<size_t>(control)] = controller;
}

int32_t MidiNoteKey(int32_t note, int32_t octave) {
  int32_t offset = note - kNoteOfOffsetZero - kOctaveSemitones * octave;
  while (offset < LowestOffset()) offset += kOctaveSemitones;
  while (offset > HighestOffset()) offset -= kOctaveSemitones;
  // The upper row's key where both rows have the note: search from the top.
  for (int32_t key = kKeyCount - 1; key >= 0; --key) {
    if (KeyTable[key].NoteOffset == offset) return key;
  }
  return -1;  // not reached: the table covers every semitone of its range
}

bool MidiHoldsKey(const MidiNotes& notes, int32_t key) { return key >= 0 && key < kKeyCount && notes.Holds[key] > 0; }

void MidiMessage(MidiNotes& notes, const uint8_t* bytes, size_t length, int32_t octave, MidiTarget& target) {
  if (length < 3) return;  // every message acted on has two data bytes
  const uint8_t status = bytes[0] & 0xF0;
  const int32_t channel = bytes[0] & 0x0F;
  const uint8_t data1 = bytes[1];
  const uint8_t data2 = bytes[2];
  if (bytes[0] < 0x80 || bytes[0] >= 0xF0 || data1 > 0x7F || data2 > 0x7F) return;
  // Learning listens on every channel, whichever one is played.
  if (status == kControlChange && notes.Learn.Learning >= 0 && LearnableController(data1)) {
    const auto control = static_cast<MidiControl>(notes.Learn.Learning);
    notes.Learn.Learning = -1;
    AssignController(notes.Learn, control, data1);
    target.MidiControllerLearnt(control, data1);
  }
  if (notes.Channel != kMidiAllChannels && channel != notes.Channel) return;

  if (status == kNoteOn && data2 > 0) {
    NoteOn(notes, channel, data1, data2, octave, target);
  } else if (status == kNoteOff || status == kNoteOn) {
    NoteOff(notes, channel, data1, target);
  } else if (status == kControlChange) {
    for (int c = 0; c < kMidiControlCount; ++c) {
      if (notes.Learn.Controller[c] == data1) {
        const auto control = static_cast<MidiControl>(c);
        target.MidiControlChange(control, MidiControlValue(control, data2));
      }
    }
    switch (data1) {
      case kCcSustain:
        if (data2 >= kMidiPedalDown) {
          notes.PedalDown[channel] = true;
        } else {
          PedalUp(notes, channel, target);
        }
        break;
      case kCcAllSoundOff:
      case kCcAllNotesOff: MidiReleaseAll(notes, target); break;
      case kCcResetAllControllers: target.MidiPitchBend(0); break;
      default: break;
    }
  } else if (status == kPitchBend) {
    // Least significant seven bits first.
    target.MidiPitchBend((static_cast<int32_t>(data2) << 7 | data1) - kPitchBendCentre);
  }
}

bool MidiLetsGo(const uint8_t* bytes, size_t length) {
  if (length < 3) return false;
  const uint8_t status = bytes[0] & 0xF0;
  if (status == kNoteOff) return true;
  if (status == kNoteOn) return bytes[2] == 0;
  if (status != kControlChange) return false;
  return (bytes[1] == kCcSustain && bytes[2] < kMidiPedalDown) || bytes[1] == kCcAllSoundOff ||
         bytes[1] == kCcAllNotesOff;
}

void MidiReleaseAll(MidiNotes& notes, MidiTarget& target) {
  // The pedals stay as they are: a pedal still down holds the next notes.
  const int32_t channel = notes.Channel;
  const auto holds = notes.Holds;
  const auto pedals = notes.PedalDown;
  const MidiLearn learn = notes.Learn;
  ResetMidiNotes(notes, channel);
  notes.PedalDown = pedals;
  notes.Learn = learn;
  for (int32_t key = 0; key < kKeyCount; ++key) {
    if (holds[key] > 0) target.MidiKeyUp(key);
  }
}

void MidiSourceGone(MidiNotes& notes, MidiTarget& target) {
  MidiReleaseAll(notes, target);
  notes.PedalDown.fill(false);
  target.MidiPitchBend(0);
}

}  // namespace sorvane

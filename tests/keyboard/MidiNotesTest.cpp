// SPDX-License-Identifier: GPL-3.0-or-later
// The MIDI mapping without any MIDI system: which key a note presses, hold
// counts, the pedal, the wheel, the all-notes-off controllers and a port
// lost with its server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keyboard/MidiNotes.h"

namespace sorvane {
namespace {

// Records the calls as "down 24", "up 24", "control 0 = 50", "learnt 2 = 7",
// "bend -8192".
class Recorder final : public MidiTarget {
 public:
  std::vector<std::string> Calls;
  void MidiKeyDown(int32_t key) override { Calls.push_back("down " + std::to_string(key)); }
  void MidiKeyUp(int32_t key) override { Calls.push_back("up " + std::to_string(key)); }
  void MidiControlChange(MidiControl control, int32_t value) override {
    Calls.push_back("control " + std::to_string(static_cast<int>(control)) + " = " + std::to_string(value));
  }
  void MidiControllerLearnt(MidiControl control, int32_t controller) override {
    Calls.push_back("learnt " + std::to_string(static_cast<int>(control)) + " = " + std::to_string(controller));
  }
  void MidiPitchBend(int32_t bend) override { Calls.push_back("bend " + std::to_string(bend)); }
};

// A target that plays velocities: a note-on is "struck 24 at 100".
class VelocityRecorder final : public MidiTarget {
 public:
  std::vector<std::string> Calls;
  void MidiKeyDown(int32_t key) override { Calls.push_back("down " + std::to_string(key)); }
  void MidiKeyStruck(int32_t key, int32_t velocity) override {
    Calls.push_back("struck " + std::to_string(key) + " at " + std::to_string(velocity));
  }
  void MidiKeyUp(int32_t key) override { Calls.push_back("up " + std::to_string(key)); }
  void MidiControlChange(MidiControl, int32_t) override {}
};

struct MidiRig {
  MidiNotes Notes;
  Recorder Target;
  int32_t Octave = 2;
  explicit MidiRig(int32_t channel = kMidiAllChannels) { ResetMidiNotes(Notes, channel); }
  void Send(uint8_t a, uint8_t b, uint8_t c) {
    const uint8_t bytes[3] = {a, b, c};
    MidiMessage(Notes, bytes, 3, Octave, Target);
  }
  std::vector<std::string> Take() {
    std::vector<std::string> calls = std::move(Target.Calls);
    Target.Calls.clear();
    return calls;
  }
};

using Calls = std::vector<std::string>;

TEST(MidiNoteKey, EveryNoteInRangePlaysTheKeyOfThatPitchUpperRowFirst) {
  for (int32_t octave = 0; octave <= 3; ++octave) {
    for (int32_t note = 0; note < kMidiNotes; ++note) {
      SCOPED_TRACE(testing::Message() << "octave " << octave << " note " << note);
      const int32_t key = MidiNoteKey(note, octave);
      ASSERT_GE(key, 0);
      ASSERT_LT(key, kKeyCount);
      const int32_t sounding = KeyTable[key].NoteOffset + 12 + 12 * octave;
      const int32_t lowest = 8 + 12 + 12 * octave;
      const int32_t highest = 40 + 12 + 12 * octave;
      if (note >= lowest && note <= highest) {
        EXPECT_EQ(sounding, note);
      } else {
        // Whole octaves away, in the octave of the range nearest to the note.
        EXPECT_EQ((sounding - note) % 12, 0);
        if (note < lowest) {
          EXPECT_LT(sounding, lowest + 12);
        } else {
          EXPECT_GT(sounding, highest - 12);
        }
      }
      if (KeyTable[key].NoteOffset >= 20 && KeyTable[key].NoteOffset <= 27) {
        EXPECT_EQ(KeyTable[key].Row, 1);
      }
    }
  }
  EXPECT_EQ(MidiNoteKey(60, 2), 24);  // middle C at "Mid": the E key
  EXPECT_EQ(MidiNoteKey(56, 2), 20);  // offset 20: key 20 of the upper row, not key 12
  EXPECT_EQ(MidiNoteKey(21, 0), 1);   // 27.5 Hz at "Ultra Low": the Z key
}

TEST(MidiNotes, NoteOnPressesNoteOffAndVelocityZeroRelease) {
  MidiRig rig;
  rig.Send(0x90, 60, 100);
  rig.Send(0x80, 60, 64);
  rig.Send(0x93, 62, 1);
  rig.Send(0x93, 62, 0);
  EXPECT_EQ(rig.Take(), (Calls{"down 24", "up 24", "down 26", "up 26"}));
  // A release of a note that is not held does nothing.
  rig.Send(0x80, 60, 0);
  EXPECT_TRUE(rig.Take().empty());
}

TEST(MidiNotes, AKeyHeldByTwoNotesGoesUpWithTheLast) {
  MidiRig rig;
  rig.Send(0x90, 60, 100);
  rig.Octave = 3;  // the same key is now note 72
  rig.Send(0x90, 72, 100);
  EXPECT_TRUE(MidiHoldsKey(rig.Notes, 24));
  rig.Send(0x80, 60, 0);  // released after the octave changed: still key 24
  EXPECT_TRUE(MidiHoldsKey(rig.Notes, 24));
  rig.Send(0x80, 72, 0);
  EXPECT_FALSE(MidiHoldsKey(rig.Notes, 24));
  EXPECT_EQ(rig.Take(), (Calls{"down 24", "down 24", "up 24"}));
  // The same note on two channels is two notes.
  rig.Send(0x90, 72, 100);
  rig.Send(0x91, 72, 100);
  rig.Send(0x90, 72, 0);
  rig.Send(0x91, 72, 0);
  EXPECT_EQ(rig.Take(), (Calls{"down 24", "down 24", "up 24"}));
}

TEST(MidiNotes, SustainPedalHoldsReleasesUntilItGoesUp) {
  MidiRig rig;
  rig.Send(0x90, 60, 100);
  rig.Send(0x90, 64, 100);
  rig.Send(0xB0, 64, 64);  // pedal down
  rig.Send(0x80, 60, 0);
  rig.Send(0x80, 64, 0);
  rig.Send(0x90, 64, 90);  // struck again under the pedal: held by the finger
  rig.Send(0x90, 67, 90);  // pressed and let go under the pedal
  rig.Send(0x80, 67, 0);
  EXPECT_EQ(rig.Take(), (Calls{"down 24", "down 28", "down 28", "down 31"}));
  rig.Send(0xB0, 64, 63);  // pedal up
  EXPECT_EQ(rig.Take(), (Calls{"up 24", "up 31"}));
  rig.Send(0x80, 64, 0);
  EXPECT_EQ(rig.Take(), (Calls{"up 28"}));
  // The pedal of another channel holds nothing here.
  rig.Send(0xB1, 64, 127);
  rig.Send(0x90, 60, 100);
  rig.Send(0x80, 60, 0);
  EXPECT_EQ(rig.Take(), (Calls{"down 24", "up 24"}));
}

TEST(MidiNotes, ModulationWheelSetsTheDepthScale) {
  MidiRig rig;
  rig.Send(0xB0, 1, 0);
  rig.Send(0xB5, 1, 64);
  rig.Send(0xB0, 1, 127);
  EXPECT_EQ(rig.Take(), (Calls{"control 0 = 0", "control 0 = 50", "control 0 = 100"}));
}

TEST(MidiLearn, TheNextControllerOnAnyChannelDrivesTheControlOverItsRange) {
  MidiRig rig(0);  // channel 1 is played
  rig.Notes.Learn.Learning = static_cast<int32_t>(MidiControl::EchoDelay);
  rig.Send(0xB0, 64, 127);  // the sustain pedal is never learnt
  rig.Send(0xB0, 123, 0);   // nor a channel mode message
  rig.Send(0xB5, 1, 0);     // the wheel on channel 6: learnt, not played
  EXPECT_EQ(rig.Take(), (Calls{"learnt 3 = 1"}));
  EXPECT_EQ(rig.Notes.Learn.Learning, -1);
  // The wheel now drives the echo delay, 0-127 over 50-200 ms, and no
  // longer the vibrato depth.
  rig.Send(0xB0, 1, 0);
  rig.Send(0xB0, 1, 64);
  rig.Send(0xB0, 1, 127);
  EXPECT_EQ(rig.Take(), (Calls{"control 3 = 50", "control 3 = 125", "control 3 = 200"}));
  // The output level's range has negative values.
  AssignController(rig.Notes.Learn, MidiControl::OutputLevel, 7);
  rig.Send(0xB0, 7, 0);
  rig.Send(0xB0, 7, 127);
  EXPECT_EQ(rig.Take(), (Calls{"control 4 = -24", "control 4 = 6"}));
  // All notes off keeps what was learnt; forgetting removes it.
  rig.Send(0xB0, 123, 0);
  rig.Send(0xB0, 7, 127);
  AssignController(rig.Notes.Learn, MidiControl::OutputLevel, kNoController);
  rig.Send(0xB0, 7, 0);
  EXPECT_EQ(rig.Take(), (Calls{"control 4 = 6"}));
  ResetMidiLearn(rig.Notes.Learn);
  rig.Send(0xB0, 1, 127);
  EXPECT_EQ(rig.Take(), (Calls{"control 0 = 100"}));
}

TEST(MidiNotes, AllNotesOffAllSoundOffAndALostPortReleaseEverythingMidiHolds) {
  // Controllers 120 and 123; 0 stands for the port lost with its server,
  // which lifts the pedals too, since their release can no longer come.
  for (uint8_t end : {uint8_t{120}, uint8_t{123}, uint8_t{0}}) {
    SCOPED_TRACE(static_cast<int>(end));
    MidiRig rig;
    rig.Send(0x90, 60, 100);
    rig.Send(0x91, 60, 100);
    rig.Send(0x92, 40, 100);
    rig.Send(0xB2, 64, 127);
    rig.Send(0x82, 40, 0);  // held by the pedal
    rig.Take();
    if (end == 0) {
      MidiSourceGone(rig.Notes, rig.Target);
    } else {
      rig.Send(0xB3, end, 0);
    }
    // A lost port also lets go of the bend.
    EXPECT_EQ(rig.Take(), end == 0 ? (Calls{"up 8", "up 24", "bend 0"}) : (Calls{"up 8", "up 24"}));
    for (int32_t key = 0; key < kKeyCount; ++key) EXPECT_FALSE(MidiHoldsKey(rig.Notes, key));
    // Nothing is left to release later.
    rig.Send(0x80, 60, 0);
    EXPECT_TRUE(rig.Take().empty());
    rig.Send(0x92, 60, 100);
    rig.Send(0x92, 60, 0);
    if (end == 0) {
      EXPECT_EQ(rig.Take(), (Calls{"down 24", "up 24"})) << "the pedal was left down";
    } else {
      EXPECT_EQ(rig.Take(), (Calls{"down 24"})) << "the pedal is still down";
      rig.Send(0xB2, 64, 0);
      EXPECT_EQ(rig.Take(), (Calls{"up 24"}));
    }
  }
}

TEST(MidiNotes, OneChannelOnlyAndOtherMessagesIgnored) {
  MidiRig rig(9);  // channel 10
  rig.Send(0x90, 60, 100);
  rig.Send(0x99, 60, 100);
  rig.Send(0xE0, 0, 127);    // pitch bend of another channel
  rig.Send(0xA9, 60, 10);    // aftertouch
  rig.Send(0xB9, 7, 100);    // volume
  rig.Send(0x99, 200, 100);  // not a data byte
  const uint8_t shortMessage[2] = {0x99, 62};
  MidiMessage(rig.Notes, shortMessage, 2, 2, rig.Target);
  const uint8_t program[2] = {0xC9, 5};
  MidiMessage(rig.Notes, program, 2, 2, rig.Target);
  EXPECT_EQ(rig.Take(), (Calls{"down 24"}));
}

TEST(MidiNotes, VelocityGoesWithEachStrikeAndAPlainTargetHearsKeyDowns) {
  MidiNotes notes;
  ResetMidiNotes(notes, kMidiAllChannels);
  VelocityRecorder target;
  const uint8_t soft[3] = {0x90, 60, 20};
  const uint8_t again[3] = {0x90, 60, 127};
  const uint8_t off[3] = {0x80, 60, 64};
  for (const uint8_t* m : {soft, again, off}) MidiMessage(notes, m, 3, 2, target);
  EXPECT_EQ(target.Calls, (Calls{"struck 24 at 20", "struck 24 at 127", "up 24"}));
  // A target that does not play velocities gets the press as before.
  MidiRig rig;
  rig.Send(0x90, 60, 20);
  EXPECT_EQ(rig.Take(), (Calls{"down 24"}));
}

TEST(MidiNotes, PitchBendOfTheChannelPlayedAndBackToRestOnAReset) {
  MidiRig rig(3);              // channel 4
  rig.Send(0xE3, 0x00, 0x40);  // centre
  rig.Send(0xE3, 0x7F, 0x7F);  // full up
  rig.Send(0xE3, 0x00, 0x00);  // full down
  rig.Send(0xE3, 0x01, 0x60);  // least significant bits first: 0x60 << 7 | 1
  rig.Send(0xE2, 0x7F, 0x7F);  // another channel
  EXPECT_EQ(rig.Take(), (Calls{"bend 0", "bend 8191", "bend -8192", "bend 4097"}));
  rig.Send(0xB3, 121, 0);  // reset all controllers
  EXPECT_EQ(rig.Take(), (Calls{"bend 0"}));
}

}  // namespace
}  // namespace sorvane

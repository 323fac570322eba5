// SPDX-License-Identifier: GPL-3.0-or-later
// The eight voices: which key each slot plays and the note it was started
// with, the running state of each voice, note on and off with the slot-0
// stealing rule, and the pitch period of a sounding note.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "dsp/Filter.h"
#include "dsp/Lpc.h"

namespace sorvane {

inline constexpr int kVoiceCount = 8;
inline constexpr int kNoKey = -1;
inline constexpr int kPeriodTableSize = 73;  // semitones 0..72 above 27.5 Hz

struct VoiceSlot {
  FilterState PreFilterState;                          // band-pass before the live lattice (slot 0 only)
  FilterState PostFilterState;                         // band-pass after the lattice
  double Phase;                                        // samples into the current pitch period
  double PulseAmp;                                     // excitation amplitude latched at the last wrap
  bool Finished;                                       // has replayed the whole phrase
  std::array<double, kCoefficientCount> LatticeState;  // phrase replay only
  int32_t HighBandPos;                                 // read position in the phrase's high band
  int32_t FrameIndex;                                  // phrase frame being replayed
};
static_assert(std::is_trivially_copyable_v<VoiceSlot>);

// A note-on's velocity that plays at the full level, as every key did
// before velocity counted. 0 stands for it in the pool.
inline constexpr int32_t kFullVelocity = 127;

struct VoicePool {
  std::array<int32_t, kVoiceCount> VoiceKeys;    // key index per slot, -1 when free
  std::array<int32_t, kVoiceCount> NoteOffsets;  // the note each slot was started with, in semitones
  std::array<VoiceSlot, kVoiceCount> Voices;
  // Each slot's note-on velocity, 1..127; 0 plays at the full level.
  std::array<int32_t, kVoiceCount> Velocities;
  // Each slot's glide: the pitch it starts from, in semitones above its
  // own (0: none), and how many samples of it have sounded.
  std::array<double, kVoiceCount> GlideSemitones;
  std::array<int32_t, kVoiceCount> GlideElapsed;
  // The pitch of the last note started (semitones above 27.5 Hz), where the
  // next note's glide begins; none before the first.
  bool HasLastNote;
  int32_t LastSemitone;
};
static_assert(std::is_trivially_copyable_v<VoicePool>);

// What a note change did to the key colours: the key that turned red and the
// key that went back to its own colour, each -1 when none.
struct NoteChange {
  int32_t Sounding = kNoKey;
  int32_t Released = kNoKey;
};

// How a note starts besides its key: its velocity (1..127; 0 is full), its
// pitch in semitones above 27.5 Hz (NoteSemitone) and whether it glides
// there from the last note started. The default starts it as a key always
// did: full level, no glide.
struct NoteStart {
  int32_t Velocity = 0;
  int32_t Semitone = 0;
  bool Glide = false;
};

// All slots free, all voices zero, no last note.
void ResetVoices(VoicePool& pool);

// Starts `key` on a free slot (or slot 0's, see the .cpp) with its note,
// noteOffset semitones (the key table's NoteOffset). A key that already
// sounds keeps its voice, velocity and glide. A started note becomes the
// last note.
NoteChange NoteOn(VoicePool& pool, int32_t key, int32_t noteOffset, const NoteStart& start = {});
NoteChange NoteOff(VoicePool& pool, int32_t key);
// Zeroes every voice; keys stay in their slots.
void ClearVoices(VoicePool& pool);

// A slot that holds a key and has not finished the phrase.
inline bool IsVoiceActive(const VoicePool& pool, int slot) {
  return pool.VoiceKeys[slot] != kNoKey && !pool.Voices[slot].Finished;
}
bool AnyVoiceActive(const VoicePool& pool);

// Period in samples of note i semitones above 27.5 Hz: 22050 / (27.5·2^(i/12)),
// computed in extended precision and rounded once to double.
double ComputePeriod(int semitone);

struct PitchTables {
  std::array<double, kPeriodTableSize> PeriodTable;
  // The lowest key at the lowest octave sits one semitone below element 0.
  double PeriodBelowTable;
};

void BuildPeriodTable(PitchTables& tables);

// NoteIndex = noteOffset - 9 + 12·octave.
int32_t NoteIndex(int32_t noteOffset, int32_t octave);
// The pitch NotePeriod plays, in semitones above 27.5 Hz: NoteIndex, or -1
// below the table.
int32_t NoteSemitone(int32_t noteOffset, int32_t octave);
double NotePeriod(const PitchTables& tables, int32_t noteOffset, int32_t octave);

}  // namespace sorvane

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
  FilterState PreFilterState;   // band-pass before the live lattice (slot 0 only)
  FilterState PostFilterState;  // band-pass after the lattice
  double Phase;                 // samples into the current pitch period
  double PulseAmp;              // excitation amplitude latched at the last wrap
  bool Finished;                // has replayed the whole phrase
  std::array<double, kCoefficientCount> LatticeState;  // phrase replay only
  int32_t HighBandPos;          // read position in the phrase's high band
  int32_t FrameIndex;           // phrase frame being replayed
};
static_assert(std::is_trivially_copyable_v<VoiceSlot>);

struct VoicePool {
  std::array<int32_t, kVoiceCount> VoiceKeys;  // key index per slot, -1 when free
  std::array<int32_t, kVoiceCount> NoteOffsets;  // the note each slot was started with, in semitones
  std::array<VoiceSlot, kVoiceCount> Voices;
};
static_assert(std::is_trivially_copyable_v<VoicePool>);

// What a note change did to the key colours: the key that turned red and the
// key that went back to its own colour, each -1 when none.
struct NoteChange {
  int32_t Sounding = kNoKey;
  int32_t Released = kNoKey;
};

// All slots free, all voices zero.
void ResetVoices(VoicePool& pool);

// Starts `key` on a free slot (or slot 0's, see the .cpp) with its note,
// noteOffset semitones (the key table's NoteOffset).
NoteChange NoteOn(VoicePool& pool, int32_t key, int32_t noteOffset);
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
double NotePeriod(const PitchTables& tables, int32_t noteOffset, int32_t octave);

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// Voice pool, note control and pitch periods.
#include "synth/Voices.h"

#include <cmath>

#include "dsp/AudioFormat.h"

namespace sorvane {

void ResetVoices(VoicePool& pool) {
  pool.VoiceKeys.fill(kNoKey);
  pool.NoteOffsets.fill(0);
  for (auto& v : pool.Voices) v = {};
  pool.Velocities.fill(0);
  pool.GlideSemitones.fill(0.0);
  pool.GlideElapsed.fill(0);
  pool.HasLastNote = false;
  pool.LastSemitone = 0;
}

namespace {

// Slot i takes key with a fresh voice; its glide starts from the last note.
void StartSlot(VoicePool& pool, int i, int32_t key, int32_t noteOffset, const NoteStart& start) {
  pool.VoiceKeys[i] = key;
  pool.NoteOffsets[i] = noteOffset;
  pool.Voices[i] = {};
  pool.Velocities[i] = start.Velocity;
  const bool glides = start.Glide && pool.HasLastNote && pool.LastSemitone != start.Semitone;
  pool.GlideSemitones[i] = glides ? static_cast<double>(pool.LastSemitone - start.Semitone) : 0.0;
  pool.GlideElapsed[i] = 0;
  pool.HasLastNote = true;
  pool.LastSemitone = start.Semitone;
}

}  // namespace

NoteChange NoteOn(VoicePool& pool, int32_t key, int32_t noteOffset, const NoteStart& start) {
  NoteChange change;
  for (int32_t k : pool.VoiceKeys) {
    if (k == key) return change;  // already sounding: no restart
  }
  for (int i = 0; i < kVoiceCount; ++i) {
    if (pool.VoiceKeys[i] == kNoKey) {
      StartSlot(pool, i, key, noteOffset, start);
      change.Sounding = key;
      return change;
    }
  }
  // Every slot is busy: the key in slot 0 gives up its voice and the others
  // move down one slot with their state, so they go on without a click.
  change.Released = pool.VoiceKeys[0];
  for (int j = 0; j < kVoiceCount - 1; ++j) {
    pool.VoiceKeys[j] = pool.VoiceKeys[j + 1];
    pool.NoteOffsets[j] = pool.NoteOffsets[j + 1];
    pool.Voices[j] = pool.Voices[j + 1];
    pool.Velocities[j] = pool.Velocities[j + 1];
    pool.GlideSemitones[j] = pool.GlideSemitones[j + 1];
    pool.GlideElapsed[j] = pool.GlideElapsed[j + 1];
  }
  StartSlot(pool, kVoiceCount - 1, key, noteOffset, start);
  change.Sounding = key;
  return change;
}

NoteChange NoteOff(VoicePool& pool, int32_t key) {
  NoteChange change;
  for (int i = 0; i < kVoiceCount; ++i) {
    if (pool.VoiceKeys[i] == key) {
      pool.VoiceKeys[i] = kNoKey;
      pool.Voices[i] = {};
      change.Released = key;
      return change;
    }
  }
  return change;
}

void ClearVoices(VoicePool& pool) {
  for (auto& v : pool.Voices) v = {};
}

bool AnyVoiceActive(const VoicePool& pool) {
  for (int i = 0; i < kVoiceCount; ++i) {
    if (IsVoiceActive(pool, i)) return true;
  }
  return false;
}

double ComputePeriod(int semitone) {
  // The power and the division in extended precision, rounded once.
  const long double exponent = static_cast<long double>(semitone) / 12.0L;
  const long double period = static_cast<long double>(kSampleRate) / (27.5L * powl(2.0L, exponent));
  return static_cast<double>(period);
}

void BuildPeriodTable(PitchTables& tables) {
  for (int i = 0; i < kPeriodTableSize; ++i) tables.PeriodTable[i] = ComputePeriod(i);
  tables.PeriodBelowTable = ComputePeriod(-1);
}

int32_t NoteIndex(int32_t noteOffset, int32_t octave) { return noteOffset - 9 + 12 * octave; }

int32_t NoteSemitone(int32_t noteOffset, int32_t octave) {
  const int32_t index = NoteIndex(noteOffset, octave);
  return index < 0 ? -1 : index;
}

double NotePeriod(const PitchTables& tables, int32_t noteOffset, int32_t octave) {
  const int32_t index = NoteIndex(noteOffset, octave);
  if (index < 0) return tables.PeriodBelowTable;
  return tables.PeriodTable[index];
}

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's commands from the window, the renderer's script and MIDI:
// keys, the control panel's settings, phrase mode and takes. Each runs
// under the engine's lock (the unlocked key calls excepted), between blocks.
#include "engine/Engine.h"

#include <cassert>
#include <ctime>
#include <mutex>

#include "keyboard/KeyTable.h"

namespace sorvane {
namespace {

void NotifyNoteChange(EngineState& engine, const NoteChange& change) {
  if (change.Released != kNoKey) engine.Host->KeyColourChanged(change.Released, false);
  if (change.Sounding != kNoKey) engine.Host->KeyColourChanged(change.Sounding, true);
}

}  // namespace

void KeyNoteOn(EngineState& engine, int32_t key, int32_t velocity) {
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  KeyNoteOnUnlocked(engine, key, velocity);
}

void KeyNoteOff(EngineState& engine, int32_t key) {
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  KeyNoteOffUnlocked(engine, key);
}

void KeyNoteOnUnlocked(EngineState& engine, int32_t key, int32_t velocity) {
  const int32_t noteOffset = KeyTable[key].NoteOffset;
  const NoteStart start{velocity, NoteSemitone(noteOffset, engine.Params.Octave), engine.Params.GlideMs > 0};
  NotifyNoteChange(engine, NoteOn(engine.Pool, key, noteOffset, start));
}

void KeyNoteOffUnlocked(EngineState& engine, int32_t key) { NotifyNoteChange(engine, NoteOff(engine.Pool, key)); }

void SelectWaveform(EngineState& engine, int32_t waveform) {
  assert(waveform >= kImpulse && waveform <= kSquare);
  engine.Params.Waveform = waveform;
  ClearVoices(engine.Pool);
}

void SetOctave(EngineState& engine, int32_t octave) {
  assert(octave >= 0 && octave <= 3);
  engine.Params.Octave = octave;
}

void SetModDepth(EngineState& engine, int32_t depth) {
  assert(depth >= 0 && depth <= kModFactorCentre);
  engine.Params.ModDepth = depth;
}

void SetModRate(EngineState& engine, int32_t hz) {
  assert(hz >= 1 && hz <= 20);
  engine.Params.ModRate = hz;
}

void SetModShape(EngineState& engine, bool triangle) { engine.Switches.TriangleShape = triangle; }
void SetModAlwaysOn(EngineState& engine, bool on) { engine.Params.ModAlwaysOn = on; }
void SetCtrlHeld(EngineState& engine, bool held) { engine.CtrlHeld = held; }

void SetEchoLevel(EngineState& engine, int32_t level) {
  assert(level >= 0 && level <= 100);
  engine.Params.EchoLevel = level;
}

void SetEchoDelayMs(EngineState& engine, int32_t ms) {
  assert(ms >= kMinEchoDelayMs && ms <= kMaxEchoDelayMs);
  engine.Params.EchoDelayMs = ms;
}

void SetEmphasis(EngineState& engine, bool on) { engine.Switches.Emphasis = on; }

void SetOutputLevel(EngineState& engine, int32_t db) {
  assert(db >= kOutputLevelMinDb && db <= kOutputLevelMaxDb);
  engine.Params.OutputLevelDb = db;
}

void SetPitchBend(EngineState& engine, int32_t bend) {
  assert(bend >= kMinPitchBend && bend <= kMaxPitchBend);
  engine.Synth.PitchBend = bend;
}

void SetBendRange(EngineState& engine, int32_t semitones) {
  assert(semitones >= kMinBendRange && semitones <= kMaxBendRange);
  engine.Params.BendRange = semitones;
}

void SetGlideMs(EngineState& engine, int32_t ms) {
  assert(ms >= 0 && ms <= kMaxGlideMs);
  engine.Params.GlideMs = ms;
}

void SetVelocityOn(EngineState& engine, bool on) { engine.Params.VelocityOn = on; }

// A learnt controller sweeps the whole range the engine takes.
static_assert(kMidiControlRanges[static_cast<int>(MidiControl::BendRange)].Min == kMinBendRange &&
              kMidiControlRanges[static_cast<int>(MidiControl::BendRange)].Max == kMaxBendRange);
static_assert(kMidiControlRanges[static_cast<int>(MidiControl::GlideTime)].Min == 0 &&
              kMidiControlRanges[static_cast<int>(MidiControl::GlideTime)].Max == kMaxGlideMs);

void SetMidiControl(EngineState& engine, MidiControl control, int32_t value) {
  switch (control) {
    case MidiControl::ModDepth: SetModDepth(engine, value); break;
    case MidiControl::ModRate: SetModRate(engine, value); break;
    case MidiControl::EchoLevel: SetEchoLevel(engine, value); break;
    case MidiControl::EchoDelay: SetEchoDelayMs(engine, value); break;
    case MidiControl::OutputLevel: SetOutputLevel(engine, value); break;
    case MidiControl::BendRange: SetBendRange(engine, value); break;
    case MidiControl::GlideTime: SetGlideMs(engine, value); break;
  }
}

void SetPhraseOn(EngineState& engine, bool on) {
  SwitchPhraseMode(engine.Phrase, on);
  engine.Host->PhraseButtonsChanged(engine.Phrase.Buttons);
}

void EngineStartPhraseCapture(EngineState& engine) {
  StartPhraseCapture(engine.Phrase);
  engine.Host->PhraseButtonsChanged(engine.Phrase.Buttons);
}

void PhraseLoadBegin(EngineState& engine) {
  engine.Phrase.PhraseMode = kPhraseReplay;
  engine.Phrase.CapturedFrames = 0;
}

bool PhraseLoadFile(EngineState& engine, const char* path) {
  return PhraseLoad(engine.Phrase, engine.Store, engine.Analysis.BandPrevious, path);
}

bool PhraseSaveFile(EngineState& engine, const char* path) { return PhraseSave(engine.Store, path); }

void ToggleTake(EngineState& engine, const char* directory) {
  if (engine.Take.Recording) {
    EngineStopTake(engine);
    return;
  }
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  StartTake(engine.Take, directory, local);
  engine.Host->TakeChanged(engine.Take.Recording);
}

void EngineStopTake(EngineState& engine) {
  if (!engine.Take.Recording) return;
  const bool kept = StopTake(engine.Take);
  engine.Host->TakeChanged(false);
  if (!kept) ShowTakeDeletedError(engine.Take);
}

}  // namespace sorvane

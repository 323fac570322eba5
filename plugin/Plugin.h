// SPDX-License-Identifier: GPL-3.0-or-later
// One instance of the LV2 plugin: its ports, the engine at the host's rate,
// the MIDI waiting for its block, and the phrase with its loading (the
// worker) and keeping (the state). run() and the worker's response run on
// the host's audio thread and allocate, lock and log nothing; the worker,
// save and restore run on other threads of the host.
#pragma once

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/log/logger.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <array>
#include <cstdint>

#include "keyboard/MidiNotes.h"
#include "plugin/HostRateVocoder.h"
#include "plugin/MidiQueue.h"
#include "plugin/PhraseExchange.h"

namespace sorvane {

// The port indices of sorvane.ttl. Ports are only ever added at the end, so
// that a saved session's port indices keep their meaning.
enum Port : uint32_t {
  kVoiceIn = 0,
  kSongLeft,
  kSongRight,
  kMidiIn,
  kWaveform,
  kOctave,
  kVibratoDepth,
  kVibratoRate,
  kVibratoShape,
  kVibratoAlwaysOn,
  kEchoLevel,
  kEchoDelay,
  kEmphasis,
  kOutputLevel,
  kLatency,
  kPhraseSwitch,
  kCaptureTrigger,
  kPhraseStatus,
  kBendRange,
  kGlideTime,
  kVelocity,
  kPortCount
};

// The phrase status port's values.
enum PhraseStatus : int32_t { kStatusOff = 0, kStatusReplay = 1, kStatusWaiting = 2, kStatusRecording = 3 };

struct PluginUris {
  LV2_URID MidiEvent;
  LV2_URID AtomObject;
  LV2_URID AtomPath;
  LV2_URID AtomUrid;
  LV2_URID PatchSet;
  LV2_URID PatchProperty;
  LV2_URID PatchValue;
  LV2_URID PhraseFile;     // the writable property: a phrase WAV to load
  LV2_URID SessionPhrase;  // the state's key: the phrase kept with a session
};

class Plugin final : public MidiTarget, public BlockObserver {
 public:
  // map is required; the others may be null (no loading, nothing logged).
  Plugin(double rate, const LV2_URID_Map& map, const LV2_Worker_Schedule* schedule, LV2_Log_Log* log);

  bool Valid() const { return Vocoder.Valid(); }
  void Connect(uint32_t port, void* data) {
    if (port < kPortCount) Ports[port] = data;
  }
  void Activate();
  void Run(uint32_t frames);

  // The worker (PluginState.cpp): loading a phrase WAV off the audio thread.
  LV2_Worker_Status Work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle, uint32_t size,
                         const void* data);
  LV2_Worker_Status WorkResponse(uint32_t size, const void* data);
  // The state (PluginState.cpp).
  LV2_State_Status Save(LV2_State_Store_Function store, LV2_State_Handle handle, const LV2_Feature* const* features);
  LV2_State_Status Restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                           const LV2_Feature* const* features);

  // The mapping's calls, as a mouse press, a release and a scroll bar make
  // them; a note-on plays at its velocity (which sets the voice's level
  // only with velocity sensitivity on) and the pitch bend bends every
  // voice. The handlers take no lock: the host's audio thread is the only
  // one that touches this instance's engine.
  void MidiKeyDown(int32_t key) override { KeyNoteOnUnlocked(Vocoder.Engine(), key); }
  void MidiKeyStruck(int32_t key, int32_t velocity) override { KeyNoteOnUnlocked(Vocoder.Engine(), key, velocity); }
  void MidiKeyUp(int32_t key) override { KeyNoteOffUnlocked(Vocoder.Engine(), key); }
  void MidiPitchBend(int32_t bend) override { SetPitchBend(Vocoder.Engine(), bend); }
  void MidiControlChange(MidiControl control, int32_t value) override;
  // The MIDI due at the block about to be made.
  void BeforeBlock(double lastVoiceFrame) override;

 private:
  static constexpr int32_t kNotApplied = INT32_MIN;

  void Render(const float* voice, float* left, float* right, uint32_t from, uint32_t to);
  void ApplyControls();
  // A patch:Set of the phrase file: the path goes to the worker.
  void TakePatch(const LV2_Atom_Object* object);
  void RequestLoad(const char* path, uint32_t length);
  // A loaded or restored phrase became the live one.
  void PhraseReplaced();
  // After each stretch of song: a capture that ended leaves a new phrase.
  void NoticePhraseChanges();
  void SetPhraseStatus();

  HostRateVocoder Vocoder;
  PluginUris Uris;
  const LV2_Worker_Schedule* Schedule;
  LV2_Log_Logger Logger;
  MidiNotes Notes{};
  MidiQueue Pending;
  PhraseExchange Phrases;
  bool Loading = false;  // a load is with the worker
  // The newest path asked for while a load was with the worker.
  static constexpr uint32_t kMaxPathBytes = 2048;
  char NextPath[kMaxPathBytes];
  uint32_t NextPathBytes = 0;
  int32_t LastPhraseMode = 0;  // the engine's phrase mode after the last stretch
  float CaptureWas = 0.0f;     // the capture port's value in the last run
  void* Ports[kPortCount] = {};
  std::array<int32_t, kPortCount - kWaveform> Applied;  // by port from kWaveform
};

}  // namespace sorvane

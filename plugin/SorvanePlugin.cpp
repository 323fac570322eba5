// SPDX-License-Identifier: GPL-3.0-or-later
// Sorvane as an LV2 instrument: the voice on an audio input, the song on two
// audio outputs, MIDI on an atom input mapped to the keys as the desktop
// program maps it (keyboard/MidiNotes.h) with its velocities and pitch
// bend, one control input for each setting of the control panel and for
// the bend range, glide time and velocity sensitivity, and phrase mode: a
// switch, a capture trigger, a status output and a phrase WAV loaded
// through a file property.
// The ports are described in sorvane.ttl; the worker and the state are in
// PluginState.cpp.
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "engine/Engine.h"
#include "plugin/Plugin.h"
#include "plugin/PluginUri.h"

namespace sorvane {
namespace {

// The control inputs in port order from kWaveform, with their ranges: the
// panel's, the phrase switch, then the expression settings.
constexpr uint32_t kFirstControl = kWaveform;
struct ControlRange {
  uint32_t Port;
  int32_t Min;
  int32_t Max;
};
constexpr ControlRange kControlRanges[] = {
    {kWaveform, kImpulse, kSquare},
    {kOctave, 0, 3},  // "Ultra Low" .. "High"
    {kVibratoDepth, 0, kModDepthMax},
    {kVibratoRate, 1, 20},  // Hz
    {kVibratoShape, 0, 1},  // 0 triangle, 1 square
    {kVibratoAlwaysOn, 0, 1},
    {kEchoLevel, 0, 100},
    {kEchoDelay, kMinEchoDelayMs, kMaxEchoDelayMs},  // ms
    {kEmphasis, 0, 1},
    {kOutputLevel, kOutputLevelMinDb, kOutputLevelMaxDb},  // dB
    {kPhraseSwitch, 0, 1},
    {kBendRange, kMinBendRange, kMaxBendRange},  // semitones
    {kGlideTime, 0, kMaxGlideMs},                // ms, 0: no glide
    {kVelocity, 0, 1},
};
constexpr uint32_t kControlCount = std::size(kControlRanges);

}  // namespace

Plugin::Plugin(double rate, const LV2_URID_Map& map, const LV2_Worker_Schedule* schedule, LV2_Log_Log* log)
    : Vocoder(rate), Schedule(schedule) {
  auto urid = [&](const char* uri) { return map.map(map.handle, uri); };
  Uris = {urid(LV2_MIDI__MidiEvent), urid(LV2_ATOM__Object),        urid(LV2_ATOM__Path),
          urid(LV2_ATOM__URID),      urid(LV2_PATCH__Set),          urid(LV2_PATCH__property),
          urid(LV2_PATCH__value),    urid(SORVANE_PHRASE_FILE_URI), urid(SORVANE_SESSION_PHRASE_URI)};
  lv2_log_logger_init(&Logger, const_cast<LV2_URID_Map*>(&map), log);
  Vocoder.UsePhraseStore(Phrases.Live().Store);
  Vocoder.SetBlockObserver(this);
}

void Plugin::Activate() {
  Vocoder.Reset();
  ResetMidiNotes(Notes, kMidiAllChannels);
  Pending.Clear();
  LastPhraseMode = kPhraseOff;
  // Every control is set again by the next run. A capture trigger already
  // up (a restored session's) captures nothing until it rises again.
  Applied.fill(kNotApplied);
  CaptureWas = 1.0f;
}

void Plugin::Run(uint32_t frames) {
  // A restored phrase first, so that this run already replays it.
  if (Phrases.TakeIncoming()) PhraseReplaced();
  if (auto* latency = static_cast<float*>(Ports[kLatency])) *latency = static_cast<float>(Vocoder.LatencyFrames());
  ApplyControls();
  const auto* voice = static_cast<const float*>(Ports[kVoiceIn]);
  auto* left = static_cast<float*>(Ports[kSongLeft]);
  auto* right = static_cast<float*>(Ports[kSongRight]);
  const auto* control = static_cast<const LV2_Atom_Sequence*>(Ports[kMidiIn]);
  if (voice == nullptr || left == nullptr || right == nullptr) return;

  // The voice up to each event's frame, then the event: MIDI waits for the
  // first block whose last voice sample stands at or after its frame.
  uint32_t done = 0;
  if (control != nullptr) {
    LV2_ATOM_SEQUENCE_FOREACH(control, event) {
      const int64_t at = std::clamp<int64_t>(event->time.frames, done, frames);
      const auto frame = static_cast<uint32_t>(at);
      Render(voice, left, right, done, frame);
      done = frame;
      if (event->body.type == Uris.MidiEvent) {
        if (event->body.size > MidiQueue::kMessageBytes) continue;
        Vocoder.Wake();
        const auto* bytes = static_cast<const uint8_t*>(LV2_ATOM_BODY_CONST(&event->body));
        // With the queue full, the oldest messages go to the next block.
        if (Pending.Full()) BeforeBlock(static_cast<double>(Vocoder.FramesTaken()));
        Pending.Push(static_cast<double>(Vocoder.FramesTaken()), bytes, event->body.size);
      } else if (event->body.type == Uris.AtomObject) {
        TakePatch(reinterpret_cast<const LV2_Atom_Object*>(&event->body));
      }
    }
  }
  Render(voice, left, right, done, frames);
  SetPhraseStatus();
  Phrases.TryPublish();
}

void Plugin::BeforeBlock(double lastVoiceFrame) {
  Pending.TakeDue(lastVoiceFrame, [&](const uint8_t* bytes, uint32_t size) {
    MidiMessage(Notes, bytes, size, Vocoder.Engine().Params.Octave, *this);
  });
}

void Plugin::MidiControlChange(MidiControl control, int32_t value) { SetMidiControl(Vocoder.Engine(), control, value); }

void Plugin::Render(const float* voice, float* left, float* right, uint32_t from, uint32_t to) {
  if (to <= from) return;
  Vocoder.Process(voice + from, left + from, to - from);
  if (right != left) std::memcpy(right + from, left + from, sizeof(float) * (to - from));
  NoticePhraseChanges();
}

void Plugin::NoticePhraseChanges() {
  const int32_t mode = Vocoder.Engine().Phrase.PhraseMode;
  // A capture that ended, done or abandoned, has rewritten the live phrase.
  if (LastPhraseMode == kPhraseCapture && mode != kPhraseCapture) {
    Phrases.Live().Present = true;
    Phrases.MarkChanged();
  }
  LastPhraseMode = mode;
}

void Plugin::SetPhraseStatus() {
  auto* status = static_cast<float*>(Ports[kPhraseStatus]);
  if (status == nullptr) return;
  const PhraseState& phrase = Vocoder.Engine().Phrase;
  int32_t value = kStatusOff;
  if (phrase.PhraseMode == kPhraseReplay) value = kStatusReplay;
  if (phrase.PhraseMode == kPhraseCapture) value = phrase.LeadIn == 0 ? kStatusRecording : kStatusWaiting;
  *status = static_cast<float>(value);
}

// A control that moved since the last run is set on the engine through its
// own function. A value set by MIDI (the modulation wheel on the depth)
// holds until the control itself moves again. The capture trigger acts on
// its rise from 0.
void Plugin::ApplyControls() {
  EngineState& engine = Vocoder.Engine();
  for (uint32_t i = 0; i < kControlCount; ++i) {
    const ControlRange range = kControlRanges[i];
    const auto* port = static_cast<const float*>(Ports[range.Port]);
    if (port == nullptr) continue;
    const float raw = *port;
    const int32_t value =
        raw == raw ? std::clamp(static_cast<int32_t>(std::lrint(std::clamp(raw, -1e6f, 1e6f))), range.Min, range.Max)
                   : range.Min;
    const uint32_t slot = range.Port - kFirstControl;
    if (value == Applied[slot]) continue;
    Applied[slot] = value;
    switch (range.Port) {
      case kWaveform: SelectWaveform(engine, value); break;
      case kOctave: SetOctave(engine, value); break;
      case kVibratoDepth: SetModDepth(engine, value); break;
      case kVibratoRate: SetModRate(engine, value); break;
      case kVibratoShape: SetModShape(engine, value == 0); break;
      case kVibratoAlwaysOn: SetModAlwaysOn(engine, value != 0); break;
      case kEchoLevel: SetEchoLevel(engine, value); break;
      case kEchoDelay: SetEchoDelayMs(engine, value); break;
      case kEmphasis: SetEmphasis(engine, value != 0); break;
      case kOutputLevel: SetOutputLevel(engine, value); break;
      case kBendRange: SetBendRange(engine, value); break;
      case kGlideTime: SetGlideMs(engine, value); break;
      case kVelocity: SetVelocityOn(engine, value != 0); break;
      case kPhraseSwitch:
        // Switched on, or off in the middle of a capture: both change what
        // the blocks do, so a resting vocoder starts again.
        Vocoder.Wake();
        SwitchPhraseMode(engine.Phrase, value != 0);
        NoticePhraseChanges();
        break;
      default: break;
    }
  }
  if (const auto* capture = static_cast<const float*>(Ports[kCaptureTrigger])) {
    const float now = *capture;
    if (now > 0.5f && !(CaptureWas > 0.5f) && engine.Phrase.PhraseMode == kPhraseReplay) {
      Vocoder.Wake();
      StartPhraseCapture(engine.Phrase);
      LastPhraseMode = kPhraseCapture;
    }
    CaptureWas = now;
  }
}

namespace {

const LV2_Feature* FindFeature(const LV2_Feature* const* features, const char* uri) {
  for (int i = 0; features != nullptr && features[i] != nullptr; ++i) {
    if (std::strcmp(features[i]->URI, uri) == 0) return features[i];
  }
  return nullptr;
}

LV2_Handle Instantiate(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const* features) {
  const LV2_Feature* map = FindFeature(features, LV2_URID__map);
  if (map == nullptr) return nullptr;  // urid:map is required
  const LV2_Feature* schedule = FindFeature(features, LV2_WORKER__schedule);
  const LV2_Feature* log = FindFeature(features, LV2_LOG__log);
  // Memory running out while the engine's record and buffers are made
  // fails this instance, never the host.
  try {
    auto plugin = std::make_unique<Plugin>(
        rate, *static_cast<const LV2_URID_Map*>(map->data),
        schedule != nullptr ? static_cast<const LV2_Worker_Schedule*>(schedule->data) : nullptr,
        log != nullptr ? static_cast<LV2_Log_Log*>(log->data) : nullptr);
    if (!plugin->Valid()) return nullptr;
    plugin->Activate();
    return plugin.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

Plugin& Of(LV2_Handle instance) { return *static_cast<Plugin*>(instance); }

void ConnectPort(LV2_Handle instance, uint32_t port, void* data) { Of(instance).Connect(port, data); }
void Activate(LV2_Handle instance) { Of(instance).Activate(); }
void Run(LV2_Handle instance, uint32_t frames) { Of(instance).Run(frames); }
void Deactivate(LV2_Handle) {}
void Cleanup(LV2_Handle instance) { delete static_cast<Plugin*>(instance); }

LV2_Worker_Status Work(LV2_Handle instance, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                       uint32_t size, const void* data) {
  return Of(instance).Work(respond, handle, size, data);
}
LV2_Worker_Status WorkResponse(LV2_Handle instance, uint32_t size, const void* data) {
  return Of(instance).WorkResponse(size, data);
}
LV2_State_Status Save(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t,
                      const LV2_Feature* const* features) {
  return Of(instance).Save(store, handle, features);
}
LV2_State_Status Restore(LV2_Handle instance, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle, uint32_t,
                         const LV2_Feature* const* features) {
  return Of(instance).Restore(retrieve, handle, features);
}

const LV2_Worker_Interface kWorker = {Work, WorkResponse, nullptr};
const LV2_State_Interface kState = {Save, Restore};

const void* ExtensionData(const char* uri) {
  if (std::strcmp(uri, LV2_WORKER__interface) == 0) return &kWorker;
  if (std::strcmp(uri, LV2_STATE__interface) == 0) return &kState;
  return nullptr;
}

const LV2_Descriptor kDescriptor = {SORVANE_PLUGIN_URI, Instantiate, ConnectPort,  Activate, Run,
                                    Deactivate,         Cleanup,     ExtensionData};

}  // namespace
}  // namespace sorvane

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
  return index == 0 ? &sorvane::kDescriptor : nullptr;
}

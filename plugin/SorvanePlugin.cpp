// SPDX-License-Identifier: GPL-3.0-or-later
// Sorvane as an LV2 instrument: the voice on an audio input, the song on two
// audio outputs, MIDI on an atom input mapped to the keys as the desktop
// program maps it (keyboard/MidiNotes.h), and one control input for each
// setting of the control panel. The ports are described in sorvane.ttl.
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "engine/Engine.h"
#include "keyboard/MidiNotes.h"
#include "plugin/HostRateVocoder.h"
#include "plugin/PluginUri.h"

namespace sorvane {
namespace {

// The port indices of sorvane.ttl.
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
  kPortCount
};

// The control inputs in port order, with their ranges.
constexpr uint32_t kFirstControl = kWaveform;
constexpr uint32_t kControlCount = kOutputLevel - kWaveform + 1;
struct ControlRange {
  int32_t Min;
  int32_t Max;
};
constexpr ControlRange kControlRanges[kControlCount] = {
    {kImpulse, kSquare},                   // waveform
    {0, 3},                                // octave range
    {0, kModDepthMax},                     // vibrato depth
    {1, 20},                               // vibrato rate, Hz
    {0, 1},                                // vibrato shape: 0 triangle, 1 square
    {0, 1},                                // vibrato always on
    {0, 100},                              // echo level
    {kMinEchoDelayMs, kMaxEchoDelayMs},    // echo delay, ms
    {0, 1},                                // high-frequency emphasis
    {kOutputLevelMinDb, kOutputLevelMaxDb} // output level, dB
};

class Plugin final : public MidiTarget {
 public:
  Plugin(double rate, LV2_URID midiEvent) : Vocoder(rate), MidiEvent(midiEvent) {}

  bool Valid() const { return Vocoder.Valid(); }

  void Connect(uint32_t port, void* data) {
    if (port < kPortCount) Ports[port] = data;
  }

  void Activate() {
    Vocoder.Reset();
    ResetMidiNotes(Notes, kMidiAllChannels);
    // Every control is set again by the next run.
    std::fill(std::begin(Applied), std::end(Applied), kNotApplied);
  }

  void Run(uint32_t frames) {
    if (auto* latency = static_cast<float*>(Ports[kLatency])) *latency = static_cast<float>(Vocoder.LatencyFrames());
    ApplyControls();
    const auto* voice = static_cast<const float*>(Ports[kVoiceIn]);
    auto* left = static_cast<float*>(Ports[kSongLeft]);
    auto* right = static_cast<float*>(Ports[kSongRight]);
    const auto* midi = static_cast<const LV2_Atom_Sequence*>(Ports[kMidiIn]);
    if (voice == nullptr || left == nullptr || right == nullptr) return;

    // The voice up to each MIDI event's frame, then the event, so that it
    // reaches the first block whose last sample comes at or after its frame.
    uint32_t done = 0;
    if (midi != nullptr) {
      LV2_ATOM_SEQUENCE_FOREACH(midi, event) {
        const int64_t at = std::clamp<int64_t>(event->time.frames, done, frames);
        const auto frame = static_cast<uint32_t>(at);
        Render(voice, left, right, done, frame);
        done = frame;
        if (event->body.type == MidiEvent) {
          const auto* bytes = static_cast<const uint8_t*>(LV2_ATOM_BODY_CONST(&event->body));
          MidiMessage(Notes, bytes, event->body.size, Vocoder.Engine().Params.Octave, *this);
        }
      }
    }
    Render(voice, left, right, done, frames);
  }

  // The mapping's calls, as a mouse press, a release and a scroll bar make
  // them. The key handlers take no lock: the host's audio thread is the
  // only one that touches this instance's engine.
  void MidiKeyDown(int32_t key) override { KeyNoteOnUnlocked(Vocoder.Engine(), key); }
  void MidiKeyUp(int32_t key) override { KeyNoteOffUnlocked(Vocoder.Engine(), key); }
  void MidiControlChange(MidiControl control, int32_t value) override {
    SetMidiControl(Vocoder.Engine(), control, value);
  }

 private:
  static constexpr int32_t kNotApplied = INT32_MIN;

  void Render(const float* voice, float* left, float* right, uint32_t from, uint32_t to) {
    if (to <= from) return;
    Vocoder.Process(voice + from, left + from, to - from);
    if (right != left) std::memcpy(right + from, left + from, sizeof(float) * (to - from));
  }

  // A control that moved since the last run is set on the engine through
  // its own function. A value set by MIDI (the modulation wheel on the
  // depth) holds until the control itself moves again.
  void ApplyControls() {
    EngineState& engine = Vocoder.Engine();
    for (uint32_t i = 0; i < kControlCount; ++i) {
      const auto* port = static_cast<const float*>(Ports[kFirstControl + i]);
      if (port == nullptr) continue;
      const float raw = *port;
      const ControlRange range = kControlRanges[i];
      const int32_t value =
          raw == raw ? std::clamp(static_cast<int32_t>(std::lrint(std::clamp(raw, -1e6f, 1e6f))), range.Min, range.Max)
                     : range.Min;
      if (value == Applied[i]) continue;
      Applied[i] = value;
      switch (kFirstControl + i) {
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
        default: break;
      }
    }
  }

  HostRateVocoder Vocoder;
  const LV2_URID MidiEvent;
  MidiNotes Notes{};
  void* Ports[kPortCount] = {};
  int32_t Applied[kControlCount];
};

LV2_Handle Instantiate(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const* features) {
  const LV2_URID_Map* map = nullptr;
  for (int i = 0; features != nullptr && features[i] != nullptr; ++i) {
    if (std::strcmp(features[i]->URI, LV2_URID__map) == 0) map = static_cast<const LV2_URID_Map*>(features[i]->data);
  }
  if (map == nullptr) return nullptr;  // urid:map is required
  // Memory running out while the engine's record and buffers are made
  // fails this instance, never the host.
  try {
    auto plugin = std::make_unique<Plugin>(rate, map->map(map->handle, LV2_MIDI__MidiEvent));
    if (!plugin->Valid()) return nullptr;
    plugin->Activate();
    return plugin.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void ConnectPort(LV2_Handle instance, uint32_t port, void* data) { static_cast<Plugin*>(instance)->Connect(port, data); }
void Activate(LV2_Handle instance) { static_cast<Plugin*>(instance)->Activate(); }
void Run(LV2_Handle instance, uint32_t frames) { static_cast<Plugin*>(instance)->Run(frames); }
void Deactivate(LV2_Handle) {}
void Cleanup(LV2_Handle instance) { delete static_cast<Plugin*>(instance); }
const void* ExtensionData(const char*) { return nullptr; }

const LV2_Descriptor kDescriptor = {SORVANE_PLUGIN_URI, Instantiate, ConnectPort, Activate,
                                    Run,                Deactivate,  Cleanup,     ExtensionData};

}  // namespace
}  // namespace sorvane

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
  return index == 0 ? &sorvane::kDescriptor : nullptr;
}

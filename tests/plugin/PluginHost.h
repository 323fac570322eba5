// SPDX-License-Identifier: GPL-3.0-or-later
// A small LV2 host on lilv for the plugin's tests: it finds the plugin on
// LV2_PATH (the build tree's bundle), gives it urid:map and unmap, a worker
// and a log, connects every port and runs it in blocks of any size with MIDI
// events at given frames; it sets the phrase file as a host's file chooser
// does, and saves and restores the plugin's state through lilv. Also the
// test signals and the measurements the tests share.
#pragma once

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cstdarg>
#include <cstdio>

#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/Files.h"

namespace sorvane::test {

inline constexpr const char* kPluginUri = "https://github.com/sorvane/sorvane#vocoder";
inline constexpr const char* kPhraseFileUri = "https://github.com/sorvane/sorvane#phraseFile";

// The speech the renderer's tests use, as 16-bit samples at 22050 Hz.
inline std::vector<int16_t> ReadSpeech() {
  const std::vector<uint8_t> bytes = ReadFileBytes(SORVANE_SPEECH_WAV);
  // Walks the chunks after "RIFF....WAVE" to "data".
  for (size_t at = 12; at + 8 <= bytes.size();) {
    const uint32_t size = Le32At(bytes, at + 4);
    if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
      std::vector<int16_t> samples(std::min<size_t>(size, bytes.size() - at - 8) / 2);
      std::memcpy(samples.data(), bytes.data() + at + 8, samples.size() * 2);
      return samples;
    }
    at += 8 + size + (size & 1);
  }
  throw std::runtime_error("no data chunk in " SORVANE_SPEECH_WAV);
}

// One MIDI message at a host frame, counted from the start of the run.
struct TimedMidi {
  int64_t Frame;
  std::array<uint8_t, 3> Bytes;
};

// One instance of the plugin (or another on LV2_PATH) at a sample rate.
class PluginHost {
 public:
  explicit PluginHost(double rate, const char* pluginUri = kPluginUri) : World(lilv_world_new()) {
    lilv_world_load_all(World);
    LilvNode* uri = lilv_new_uri(World, pluginUri);
    Plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(World), uri);
    lilv_node_free(uri);
    if (Plugin == nullptr) throw std::runtime_error("the plugin is not on LV2_PATH");
    MapFeature = {LV2_URID__map, &Map};
    UnmapFeature = {LV2_URID__unmap, &Unmap};
    ScheduleFeature = {LV2_WORKER__schedule, &Schedule};
    LogFeature = {LV2_LOG__log, &Log};
    Features = {&MapFeature, &UnmapFeature, &ScheduleFeature, &LogFeature, nullptr};
    Instance = lilv_plugin_instantiate(Plugin, rate, Features.data());
    if (Instance == nullptr) throw std::runtime_error("the plugin did not instantiate");
    Worker =
        static_cast<const LV2_Worker_Interface*>(lilv_instance_get_extension_data(Instance, LV2_WORKER__interface));
    const uint32_t ports = lilv_plugin_get_num_ports(Plugin);
    Controls.assign(ports, 0.0f);
    std::vector<float> defaults(ports, 0.0f);
    lilv_plugin_get_port_ranges_float(Plugin, nullptr, nullptr, defaults.data());
    for (uint32_t i = 0; i < ports; ++i) {
      if (!std::isnan(defaults[i])) Controls[i] = defaults[i];
      lilv_instance_connect_port(Instance, i, &Controls[i]);
    }
    Midi.resize(1 << 14);
    if (HasPort("midi_in")) lilv_instance_connect_port(Instance, Index("midi_in"), Midi.data());
    lilv_instance_activate(Instance);
  }
  ~PluginHost() {
    lilv_instance_deactivate(Instance);
    lilv_instance_free(Instance);
    lilv_world_free(World);
  }
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  bool HasPort(const char* symbol) const {
    LilvNode* s = lilv_new_string(World, symbol);
    const bool has = lilv_plugin_get_port_by_symbol(Plugin, s) != nullptr;
    lilv_node_free(s);
    return has;
  }
  uint32_t Index(const char* symbol) const {
    LilvNode* s = lilv_new_string(World, symbol);
    const LilvPort* port = lilv_plugin_get_port_by_symbol(Plugin, s);
    lilv_node_free(s);
    if (port == nullptr) throw std::runtime_error(std::string("no port ") + symbol);
    return lilv_port_get_index(Plugin, port);
  }
  float& Control(const char* symbol) { return Controls[Index(symbol)]; }
  // Deactivated and activated again, as a host does after a stop.
  void Restart() {
    lilv_instance_deactivate(Instance);
    lilv_instance_activate(Instance);
  }
  uint32_t Urid(const char* uri) { return MapUri(this, uri); }

  // Runs one block: voice in, both song outputs out, with the MIDI events
  // whose frames fall in [start, start + frames) at their offsets; then the
  // worker's jobs and their responses, as a host does after a cycle.
  void RunBlock(const float* voice, float* left, float* right, uint32_t frames, int64_t start,
                const std::vector<TimedMidi>& midi = {}) {
    Prepare(voice, left, right, frames, start, midi);
    lilv_instance_run(Instance, frames);
    DoWork();
    DeliverResponses();
  }

  // The phrase file for the next run, sent at its first frame as a patch:Set.
  void SetPhraseFile(const std::string& path) { PhraseFile = path; }

  // The worker's jobs asked for since the last call, run here as on a
  // host's worker thread.
  void DoWork() {
    for (size_t at = 0; at < RequestBytes;) {
      uint32_t size = 0;
      std::memcpy(&size, Requests.data() + at, sizeof(size));
      Worker->work(lilv_instance_get_handle(Instance), Respond, this, size, Requests.data() + at + sizeof(size));
      at += sizeof(size) + Padded(size);
    }
    RequestBytes = 0;
  }
  // Their responses, on the audio thread between runs.
  void DeliverResponses() {
    for (size_t at = 0; at < ResponseBytes;) {
      uint32_t size = 0;
      std::memcpy(&size, Responses.data() + at, sizeof(size));
      Worker->work_response(lilv_instance_get_handle(Instance), size, Responses.data() + at + sizeof(size));
      at += sizeof(size) + Padded(size);
    }
    ResponseBytes = 0;
  }

  // What the plugin logged, all of it.
  const std::string& Logged() const { return LogText; }

  // Saves the state, control values with it, into dir as state.ttl.
  void SaveState(const std::string& dir) {
    LilvState* state = lilv_state_new_from_instance(Plugin, Instance, &Map, nullptr, nullptr, nullptr, dir.c_str(),
                                                    GetPortValue, this, 0, Features.data());
    if (state == nullptr) throw std::runtime_error("no state");
    const int failed = lilv_state_save(World, &Map, &Unmap, state, nullptr, dir.c_str(), "state.ttl");
    lilv_state_free(state);
    if (failed != 0) throw std::runtime_error("the state was not saved");
  }
  // Restores the state saved in dir.
  void RestoreState(const std::string& dir) {
    const std::string file = dir + "/state.ttl";
    LilvState* state = lilv_state_new_from_file(World, &Map, nullptr, file.c_str());
    if (state == nullptr) throw std::runtime_error("no state in " + file);
    lilv_state_restore(state, Instance, SetPortValue, this, 0, Features.data());
    lilv_state_free(state);
  }

  // RunBlock's connections and MIDI sequence, without the run.
  void Prepare(const float* voice, float* left, float* right, uint32_t frames, int64_t start,
               const std::vector<TimedMidi>& midi = {}) {
    lilv_instance_connect_port(Instance, Index("voice"), const_cast<float*>(voice));
    lilv_instance_connect_port(Instance, Index("song_l"), left);
    lilv_instance_connect_port(Instance, Index("song_r"), right);
    auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(Midi.data());
    const auto capacity = static_cast<uint32_t>(Midi.size() * sizeof(uint64_t));
    lv2_atom_sequence_clear(seq);
    seq->atom.type = Urid(LV2_ATOM__Sequence);
    if (!PhraseFile.empty()) {
      AppendPhraseFile(seq, capacity);
      PhraseFile.clear();
    }
    for (const TimedMidi& m : midi) {
      if (m.Frame < start || m.Frame >= start + frames) continue;
      struct {
        LV2_Atom_Event Event;
        uint8_t Bytes[8];
      } event{};
      event.Event.time.frames = m.Frame - start;
      event.Event.body.size = 3;
      event.Event.body.type = Urid(LV2_MIDI__MidiEvent);
      std::memcpy(event.Bytes, m.Bytes.data(), 3);
      lv2_atom_sequence_append_event(seq, capacity, &event.Event);
    }
  }

  // Runs the whole voice through in blocks of the sizes given in turn, and
  // returns the left output (checking that the right one is the same).
  std::vector<float> RunAll(const std::vector<float>& voice, const std::vector<uint32_t>& sizes,
                            const std::vector<TimedMidi>& midi = {}) {
    std::vector<float> left(voice.size()), right(voice.size());
    size_t at = 0;
    for (size_t n = 0; at < voice.size(); ++n) {
      const auto frames = static_cast<uint32_t>(std::min<size_t>(sizes[n % sizes.size()], voice.size() - at));
      RunBlock(voice.data() + at, left.data() + at, right.data() + at, frames, static_cast<int64_t>(at), midi);
      at += frames;
    }
    if (left != right) throw std::runtime_error("the two song outputs differ");
    return left;
  }

  float Latency() const { return Controls[const_cast<PluginHost*>(this)->Index("latency")]; }

  LilvInstance* Raw() { return Instance; }

 private:
  static LV2_URID MapUri(LV2_URID_Map_Handle handle, const char* uri) {
    auto* host = static_cast<PluginHost*>(handle);
    const auto [it, added] = host->Uris.emplace(uri, static_cast<LV2_URID>(host->Uris.size() + 1));
    if (added) host->UriNames.push_back(uri);
    return it->second;
  }
  static const char* UnmapUri(LV2_URID_Unmap_Handle handle, LV2_URID urid) {
    const auto& names = static_cast<PluginHost*>(handle)->UriNames;
    return urid >= 1 && urid <= names.size() ? names[urid - 1].c_str() : nullptr;
  }

  static size_t Padded(uint32_t size) { return (size + 7u) & ~size_t{7}; }
  // Queues a message in a buffer made beforehand: nothing is allocated on
  // the plugin's audio thread.
  static LV2_Worker_Status Append(std::vector<uint8_t>& buffer, size_t& used, uint32_t size, const void* data) {
    if (used + sizeof(size) + Padded(size) > buffer.size()) return LV2_WORKER_ERR_NO_SPACE;
    std::memcpy(buffer.data() + used, &size, sizeof(size));
    std::memcpy(buffer.data() + used + sizeof(size), data, size);
    used += sizeof(size) + Padded(size);
    return LV2_WORKER_SUCCESS;
  }
  static LV2_Worker_Status ScheduleWork(LV2_Worker_Schedule_Handle handle, uint32_t size, const void* data) {
    auto* host = static_cast<PluginHost*>(handle);
    return Append(host->Requests, host->RequestBytes, size, data);
  }
  static LV2_Worker_Status Respond(LV2_Worker_Respond_Handle handle, uint32_t size, const void* data) {
    auto* host = static_cast<PluginHost*>(handle);
    return Append(host->Responses, host->ResponseBytes, size, data);
  }
  static int LogPrintf(LV2_Log_Handle handle, LV2_URID type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = LogVprintf(handle, type, format, args);
    va_end(args);
    return n;
  }
  static int LogVprintf(LV2_Log_Handle handle, LV2_URID, const char* format, va_list args) {
    char text[4096];
    const int n = std::vsnprintf(text, sizeof(text), format, args);
    static_cast<PluginHost*>(handle)->LogText += text;
    return n;
  }

  static const void* GetPortValue(const char* symbol, void* handle, uint32_t* size, uint32_t* type) {
    auto* host = static_cast<PluginHost*>(handle);
    if (!host->HasPort(symbol) || host->Index(symbol) == host->Index("midi_in")) return nullptr;
    *size = sizeof(float);
    *type = host->Urid(LV2_ATOM__Float);
    return &host->Controls[host->Index(symbol)];
  }
  static void SetPortValue(const char* symbol, void* handle, const void* value, uint32_t size, uint32_t type) {
    auto* host = static_cast<PluginHost*>(handle);
    if (size == sizeof(float) && type == host->Urid(LV2_ATOM__Float)) {
      std::memcpy(&host->Controls[host->Index(symbol)], value, sizeof(float));
    }
  }

  // A patch:Set of the phrase file property, at frame 0.
  void AppendPhraseFile(LV2_Atom_Sequence* seq, uint32_t capacity) {
    std::vector<uint8_t> body(4096 + PhraseFile.size());
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, &Map);
    lv2_atom_forge_set_buffer(&forge, body.data(), body.size());
    LV2_Atom_Forge_Frame frame;
    lv2_atom_forge_object(&forge, &frame, 0, Urid(LV2_PATCH__Set));
    lv2_atom_forge_key(&forge, Urid(LV2_PATCH__property));
    lv2_atom_forge_urid(&forge, Urid(kPhraseFileUri));
    lv2_atom_forge_key(&forge, Urid(LV2_PATCH__value));
    lv2_atom_forge_path(&forge, PhraseFile.c_str(), static_cast<uint32_t>(PhraseFile.size() + 1));
    lv2_atom_forge_pop(&forge, &frame);
    const auto* object = reinterpret_cast<const LV2_Atom*>(body.data());
    std::vector<uint8_t> event(sizeof(LV2_Atom_Event) + object->size);
    auto* e = reinterpret_cast<LV2_Atom_Event*>(event.data());
    e->time.frames = 0;
    std::memcpy(&e->body, object, sizeof(LV2_Atom) + object->size);
    lv2_atom_sequence_append_event(seq, capacity, e);
  }

  LilvWorld* World;
  const LilvPlugin* Plugin = nullptr;
  LilvInstance* Instance = nullptr;
  std::map<std::string, LV2_URID> Uris;
  std::vector<std::string> UriNames;
  LV2_URID_Map Map{this, MapUri};
  LV2_URID_Unmap Unmap{this, UnmapUri};
  LV2_Worker_Schedule Schedule{this, ScheduleWork};
  LV2_Log_Log Log{this, LogPrintf, LogVprintf};
  LV2_Feature MapFeature{};
  LV2_Feature UnmapFeature{};
  LV2_Feature ScheduleFeature{};
  LV2_Feature LogFeature{};
  std::array<const LV2_Feature*, 5> Features{};
  const LV2_Worker_Interface* Worker = nullptr;
  std::vector<uint8_t> Requests = std::vector<uint8_t>(1 << 16);
  std::vector<uint8_t> Responses = std::vector<uint8_t>(1 << 16);
  size_t RequestBytes = 0;
  size_t ResponseBytes = 0;
  std::string PhraseFile;
  std::string LogText;
  std::vector<float> Controls;
  std::vector<uint64_t> Midi;  // the atom sequence, 8-byte aligned
};

// The fundamental frequency of a harmonic sound over [from, from + count):
// the frequency near `expected` whose first eight harmonics carry the most
// energy (Hann window), on a grid of 1/20 cent refined by a parabola.
inline double MeasurePitch(const std::vector<float>& x, size_t from, size_t count, double rate, double expected) {
  std::vector<double> w(count);
  for (size_t i = 0; i < count; ++i) {
    const double hann = 0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i) / static_cast<double>(count));
    w[i] = hann * x[from + i];
  }
  auto energy = [&](double f) {
    double sum = 0;
    for (int h = 1; h <= 8; ++h) {
      const std::complex<double> step = std::polar(1.0, -2 * M_PI * h * f / rate);
      std::complex<double> phase = 1.0, acc = 0.0;
      for (size_t i = 0; i < count; ++i) {
        acc += w[i] * phase;
        phase *= step;
        if ((i & 1023) == 1023) phase /= std::abs(phase);
      }
      sum += std::norm(acc);
    }
    return sum;
  };
  auto cents = [&](double c) { return expected * std::pow(2.0, c / 1200.0); };
  // Coarse: 2-cent steps over +-60 cents; fine: 1/20 cent around the best.
  double best = 0, bestEnergy = -1;
  for (double c = -60; c <= 60; c += 2) {
    const double e = energy(cents(c));
    if (e > bestEnergy) bestEnergy = e, best = c;
  }
  double fine = best, fineEnergy = -1;
  std::vector<double> grid;
  for (double c = best - 2; c <= best + 2 + 1e-9; c += 0.05) grid.push_back(energy(cents(c)));
  size_t k = 0;
  for (size_t i = 0; i < grid.size(); ++i) {
    if (grid[i] > fineEnergy) fineEnergy = grid[i], k = i;
  }
  fine = best - 2 + 0.05 * static_cast<double>(k);
  if (k > 0 && k + 1 < grid.size()) {
    const double a = grid[k - 1], b = grid[k], c = grid[k + 1];
    const double d = a - 2 * b + c;
    if (d < 0) fine += 0.05 * 0.5 * (a - c) / d;
  }
  return cents(fine);
}

inline double Cents(double f, double reference) { return 1200.0 * std::log2(f / reference); }

// The level (dB full scale) of each `window`-second stretch, starting at
// `offset` samples.
inline std::vector<double> Envelope(const std::vector<float>& x, double rate, size_t offset, double window,
                                    size_t windows) {
  std::vector<double> db;
  for (size_t n = 0; n < windows; ++n) {
    const auto a = offset + static_cast<size_t>(std::llround(static_cast<double>(n) * window * rate));
    const auto b = offset + static_cast<size_t>(std::llround(static_cast<double>(n + 1) * window * rate));
    double sum = 0;
    for (size_t i = a; i < b && i < x.size(); ++i) sum += static_cast<double>(x[i]) * x[i];
    db.push_back(10 * std::log10(sum / static_cast<double>(b - a) + 1e-20));
  }
  return db;
}

}  // namespace sorvane::test

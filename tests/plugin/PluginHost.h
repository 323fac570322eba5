// SPDX-License-Identifier: GPL-3.0-or-later
// A small LV2 host on lilv for the plugin's tests: it finds the plugin on
// LV2_PATH (the build tree's bundle), gives it urid:map, connects every port
// and runs it in blocks of any size with MIDI events at given frames. Also
// the test signals and the measurements the tests share.
#pragma once

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

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
    Features = {&MapFeature, nullptr};
    Instance = lilv_plugin_instantiate(Plugin, rate, Features.data());
    if (Instance == nullptr) throw std::runtime_error("the plugin did not instantiate");
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
  // whose frames fall in [start, start + frames) at their offsets.
  void RunBlock(const float* voice, float* left, float* right, uint32_t frames, int64_t start,
                const std::vector<TimedMidi>& midi = {}) {
    Prepare(voice, left, right, frames, start, midi);
    lilv_instance_run(Instance, frames);
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
    auto& uris = static_cast<PluginHost*>(handle)->Uris;
    const auto [it, added] = uris.emplace(uri, static_cast<LV2_URID>(uris.size() + 1));
    return it->second;
  }

  LilvWorld* World;
  const LilvPlugin* Plugin = nullptr;
  LilvInstance* Instance = nullptr;
  std::map<std::string, LV2_URID> Uris;
  LV2_URID_Map Map{this, MapUri};
  LV2_Feature MapFeature{};
  std::array<const LV2_Feature*, 2> Features{};
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

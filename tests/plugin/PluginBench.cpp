// SPDX-License-Identifier: GPL-3.0-or-later
// The plugin's cost at 48000 Hz in 256-frame blocks with eight notes held
// on speech, beside eight instances of Debian's mda-lv2 TalkBox (one per
// voice, each on the same speech with a sawtooth carrier at its note's
// pitch), timed in the same run on the same thread. Prints the time each
// takes per second of sound and their ratio. Not a test: run it by hand,
// with LV2_PATH naming the build's lv2 folder and /usr/lib/lv2.
#include <samplerate.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "tests/plugin/PluginHost.h"

using sorvane::test::PluginHost;
using sorvane::test::TimedMidi;

namespace {

constexpr double kRate = 48000;
constexpr uint32_t kBlock = 256;
constexpr int kVoices = 8;
constexpr uint8_t kChord[kVoices] = {48, 52, 55, 59, 60, 64, 67, 71};
constexpr const char* kTalkBox = "http://drobilla.net/plugins/mda/TalkBox";

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  const std::vector<int16_t> speech = sorvane::test::ReadSpeech();
  std::vector<float> in(speech.size());
  for (size_t i = 0; i < in.size(); ++i) in[i] = speech[i] / 32768.0f;
  std::vector<float> voice(in.size() * 3);
  SRC_DATA data{};
  data.data_in = in.data();
  data.input_frames = static_cast<long>(in.size());
  data.data_out = voice.data();
  data.output_frames = static_cast<long>(voice.size());
  data.src_ratio = kRate / 22050;
  src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
  voice.resize(static_cast<size_t>(data.output_frames_gen) / kBlock * kBlock);

  PluginHost sorvane(kRate);
  std::vector<TimedMidi> chord;
  for (uint8_t note : kChord) chord.push_back({0, {0x90, note, 100}});

  std::vector<std::unique_ptr<PluginHost>> talkboxes;
  std::vector<std::vector<float>> carriers(kVoices, std::vector<float>(kBlock));
  std::vector<double> phases(kVoices, 0.0);
  for (int v = 0; v < kVoices; ++v) talkboxes.push_back(std::make_unique<PluginHost>(kRate, kTalkBox));

  std::vector<float> left(kBlock), right(kBlock);
  const auto blocks = static_cast<int64_t>(seconds * kRate / kBlock);
  std::chrono::steady_clock::duration sorvaneTime{}, talkboxTime{};
  size_t at = 0;
  for (int64_t b = 0; b < blocks; ++b) {
    const float* block = voice.data() + at;
    at = at + kBlock >= voice.size() ? 0 : at + kBlock;
    // The carriers' sawtooths are made outside the timing.
    for (int v = 0; v < kVoices; ++v) {
      const double step = 440.0 * std::pow(2.0, (kChord[v] - 69) / 12.0) / kRate;
      for (uint32_t i = 0; i < kBlock; ++i) {
        phases[v] += step;
        if (phases[v] >= 1) phases[v] -= 1;
        carriers[v][i] = static_cast<float>(phases[v] - 0.5) * 0.5f;
      }
    }
    sorvane.Prepare(block, left.data(), right.data(), kBlock, b * kBlock, b == 0 ? chord : std::vector<TimedMidi>{});
    auto t0 = std::chrono::steady_clock::now();
    lilv_instance_run(sorvane.Raw(), kBlock);
    auto t1 = std::chrono::steady_clock::now();
    sorvaneTime += t1 - t0;
    for (int v = 0; v < kVoices; ++v) {
      LilvInstance* tb = talkboxes[v]->Raw();
      lilv_instance_connect_port(tb, talkboxes[v]->Index("left_in"), carriers[v].data());
      lilv_instance_connect_port(tb, talkboxes[v]->Index("right_in"), const_cast<float*>(block));
      lilv_instance_connect_port(tb, talkboxes[v]->Index("left_out"), left.data());
      lilv_instance_connect_port(tb, talkboxes[v]->Index("right_out"), right.data());
    }
    t0 = std::chrono::steady_clock::now();
    for (int v = 0; v < kVoices; ++v) lilv_instance_run(talkboxes[v]->Raw(), kBlock);
    t1 = std::chrono::steady_clock::now();
    talkboxTime += t1 - t0;
  }
  const double sound = static_cast<double>(blocks * kBlock) / kRate;
  std::printf("%.0f s of sound at %.0f Hz in %u-frame blocks\n", sound, kRate, kBlock);
  std::printf("Sorvane, 8 notes held:   %.2f ms per second of sound (%.2f %% of a core)\n",
              1000 * Seconds(sorvaneTime) / sound, 100 * Seconds(sorvaneTime) / sound);
  std::printf("mda TalkBox x 8:         %.2f ms per second of sound (%.2f %% of a core)\n",
              1000 * Seconds(talkboxTime) / sound, 100 * Seconds(talkboxTime) / sound);
  std::printf("ratio Sorvane / TalkBox: %.2f\n", Seconds(sorvaneTime) / Seconds(talkboxTime));
  return 0;
}

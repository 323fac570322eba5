// SPDX-License-Identifier: GPL-3.0-or-later
// Shared pieces of the engine tests: an engine on the virtual devices, a
// host that records notifications, and a voice-like test signal.
#pragma once

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "devices/VirtualDevices.h"
#include "engine/Engine.h"
#include "tests/support/RecordedBoxes.h"

namespace sorvane::test {

class RecordingHost : public EngineHost {
 public:
  void KeyColourChanged(int32_t key, bool sounding) override { Colours.push_back(sounding ? key : -100 - key); }
  void PhraseButtonsChanged(const PhraseButtons& b) override { Buttons.push_back(b); }
  void TakeChanged(bool recording) override { Takes.push_back(recording); }
  void AudioStarted() override { ++Started; }
  void RequestClose() override {
    ++CloseRequests;
    if (Engine != nullptr && CloseQuery(*Engine)) {
      CloseAudio(*Engine);
      Closed = true;
    }
  }
  EngineState* Engine = nullptr;
  std::vector<int> Colours;
  std::vector<PhraseButtons> Buttons;
  std::vector<bool> Takes;
  int Started = 0;
  int CloseRequests = 0;
  bool Closed = false;
};

// A voice-like signal: a buzzy tone with a slow swell, loud enough for the
// phrase trigger.
inline std::vector<int16_t> TestVoice(int samples, double level = 6000) {
  std::vector<int16_t> v(static_cast<size_t>(samples));
  for (int i = 0; i < samples; ++i) {
    const double t = i / 22050.0;
    double s = 0;
    for (int h = 1; h <= 12; ++h) s += std::sin(2 * M_PI * 130.0 * h * t + h) / h;
    const double env = 0.6 + 0.4 * std::sin(2 * M_PI * 0.7 * t);
    v[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(level * env * s / 2));
  }
  return v;
}

struct EngineOnRig {
  std::unique_ptr<EngineState> Engine = std::make_unique<EngineState>();
  std::unique_ptr<VirtualAudioRig> Rig = std::make_unique<VirtualAudioRig>();
  RecordingHost Host;
  std::vector<int16_t> Input;

  explicit EngineOnRig(std::vector<int16_t> input = TestVoice(22050 * 10)) : Input(std::move(input)) {
    CreateEngine(*Engine, &Host);
    Host.Engine = Engine.get();
    Engine->CaptureDevice = &Rig->Capture();
    Engine->PlaybackDevice = &Rig->Playback();
    Rig->SetInput(Input.data(), static_cast<int64_t>(Input.size()));
  }
  EngineState& E() { return *Engine; }
};

// The same with the devices opened (OpenAudio) and running.
struct OpenEngineOnRig : EngineOnRig {
  OpenEngineOnRig() { OpenAudio(E()); }
};

}  // namespace sorvane::test

// SPDX-License-Identifier: GPL-3.0-or-later
// The sound card backend: two PortAudio streams whose completion events are
// queued for the event loop. Without PortAudio the devices cannot open.
#include "app/AudioBackend.h"

#ifdef SORVANE_HAVE_PORTAUDIO
#include "engine/EventQueue.h"
#include "devices/PortAudioDevices.h"
#endif

namespace sorvane {

namespace {

#ifdef SORVANE_HAVE_PORTAUDIO
class SoundCardBackend final : public AudioBackend {
 public:
  SoundCardBackend()
      : CaptureDevice(MakePortAudioCapture(Events)), PlaybackDevice(MakePortAudioPlayback(Events)) {}
  ~SoundCardBackend() override {
    // The devices stop their callbacks before the queue they post to goes.
    CaptureDevice.reset();
    PlaybackDevice.reset();
  }
  AudioDevice& Capture() override { return *CaptureDevice; }
  AudioDevice& Playback() override { return *PlaybackDevice; }
  int WakeFd() const override { return Events.WakeFd(); }
  void DispatchAll(EngineState& engine) override { Events.DispatchAll(engine); }
  AudioEventQueue* EventQueue() override { return &Events; }

 private:
  PortAudioSystem System;  // initialised first, terminated last
  AudioEventQueue Events;
  std::unique_ptr<AudioDevice> CaptureDevice;
  std::unique_ptr<AudioDevice> PlaybackDevice;
};
#endif

}  // namespace

std::unique_ptr<AudioBackend> MakeSystemAudio() {
#ifdef SORVANE_HAVE_PORTAUDIO
  return std::make_unique<SoundCardBackend>();
#else
  return std::make_unique<NoSoundBackend>();
#endif
}

}  // namespace sorvane

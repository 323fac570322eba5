// SPDX-License-Identifier: GPL-3.0-or-later
// The sound card backend: the devices of the chosen sound server, whose
// completion events are queued for the event loop. Without the sound
// devices built in, the devices cannot open.
#include "app/AudioBackend.h"

#include <cstdlib>

#include "midi/MidiPort.h"

#ifdef SORVANE_HAVE_SOUND
#include "audio/EventQueue.h"
#endif

namespace sorvane {

namespace {

#ifdef SORVANE_HAVE_SOUND
class SoundCardBackend final : public AudioBackend {
 public:
  explicit SoundCardBackend(SoundOptions options) : Mode(options.Latency) {
    options.JackMidi = MidiOnJackSoundClient(std::getenv("SORVANE_MIDI"));
    System = MakeSoundSystem(Events, options);
  }
  ~SoundCardBackend() override {
    // The devices stop their callbacks before the queue they post to goes.
    System.reset();
  }
  AudioDevice& Capture() override { return System->Capture(); }
  AudioDevice& Playback() override { return System->Playback(); }
  AudioEventQueue* EventQueue() override { return &Events; }
  bool MidiOnSoundClient() const override { return System->HasMidiIn(); }
  bool ServerLost() const override { return System->ServerLost(); }
  bool Reconnect(std::string& reason) override { return System->Reconnect(reason); }
  LatencyMode Latency() const override { return Mode; }

 private:
  const LatencyMode Mode;
  AudioEventQueue Events;
  std::unique_ptr<SoundSystem> System;
};
#endif

}  // namespace

std::unique_ptr<AudioBackend> MakeSystemAudio(const SoundOptions& options) {
#ifdef SORVANE_HAVE_SOUND
  return std::make_unique<SoundCardBackend>(options);
#else
  static_cast<void>(options);
  return std::make_unique<NoSoundBackend>();
#endif
}

}  // namespace sorvane

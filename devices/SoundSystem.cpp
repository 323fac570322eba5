// SPDX-License-Identifier: GPL-3.0-or-later
// The choice of sound server, and the stand-in system whose devices never
// open, for a choice this build cannot honour.
#include "devices/SoundSystem.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "devices/PulseDevices.h"

namespace sorvane {

namespace {

// A device that cannot be opened; Open says why in one line on stderr.
class RefusingDevice final : public AudioDevice {
 public:
  RefusingDevice(DeviceKind kind, const std::string& why) : Kind(kind), Why(why) {}
  bool Open(const WaveFormat& format) override {
    std::fprintf(stderr, "%s: cannot open a %s device at %u Hz, mono, 16-bit: %s\n", program_invocation_short_name,
                 Kind == DeviceKind::Capture ? "capture" : "playback", static_cast<unsigned>(format.SamplesPerSec),
                 Why.c_str());
    return false;
  }
  bool Prepare(WaveHeader&) override { return false; }
  bool Unprepare(WaveHeader&) override { return false; }
  bool Queue(WaveHeader&) override { return false; }
  bool Start() override { return false; }
  bool Reset() override { return false; }
  bool Close() override { return false; }
  bool IsOpen() const override { return false; }

 private:
  const DeviceKind Kind;
  const std::string& Why;
};

class RefusingSoundSystem final : public SoundSystem {
 public:
  explicit RefusingSoundSystem(std::string why)
      : Why(std::move(why)), CaptureDevice(DeviceKind::Capture, Why), PlaybackDevice(DeviceKind::Playback, Why) {}
  const char* Name() const override { return "none"; }
  bool Reachable() const override { return false; }
  AudioDevice& Capture() override { return CaptureDevice; }
  AudioDevice& Playback() override { return PlaybackDevice; }
  DeviceCounters Counters(DeviceKind) const override { return DeviceCounters{}; }

 private:
  const std::string Why;
  RefusingDevice CaptureDevice;
  RefusingDevice PlaybackDevice;
};

}  // namespace

bool ParseSoundChoice(const char* value, SoundChoice& choice) {
  if (value == nullptr || value[0] == '\0' || std::strcmp(value, "auto") == 0) {
    choice = SoundChoice::Automatic;
  } else if (std::strcmp(value, "pulse") == 0) {
    choice = SoundChoice::Pulse;
  } else if (std::strcmp(value, "jack") == 0) {
    choice = SoundChoice::Jack;
  } else {
    return false;
  }
  return true;
}

std::unique_ptr<SoundSystem> MakeSoundSystem(AudioEventQueue& events) {
  const char* value = std::getenv("SORVANE_SOUND");
  SoundChoice choice = SoundChoice::Automatic;
  if (!ParseSoundChoice(value, choice)) {
    return std::make_unique<RefusingSoundSystem>(std::string("SORVANE_SOUND=") + value +
                                                 " names no sound server (pulse, jack or auto)");
  }
  switch (choice) {
    case SoundChoice::Pulse:
      return MakePulseSoundSystem(events);
    case SoundChoice::Jack:
      // The JACK backend is made here once it is built in.
      return std::make_unique<RefusingSoundSystem>("this build has no JACK backend (SORVANE_SOUND=jack)");
    case SoundChoice::Automatic:
      break;
  }
  // PulseAudio when a server answers it. Where no server does, the next
  // backend built in is tried here; with none, the PulseAudio devices say
  // why they cannot open.
  return MakePulseSoundSystem(events);
}

}  // namespace sorvane

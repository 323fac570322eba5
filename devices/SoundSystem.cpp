// SPDX-License-Identifier: GPL-3.0-or-later
// The choice of sound server, the JACK client as a SoundSystem, and the
// stand-in system whose devices never open, for a choice this build cannot
// honour.
#include "devices/SoundSystem.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "devices/JackDevices.h"
#include "devices/PulseDevices.h"

namespace sorvane {

namespace {

// A device that cannot be opened; Open says why in one line on stderr.
class RefusingDevice final : public UnopenableDevice {
 public:
  RefusingDevice(DeviceKind kind, const std::string& why) : Kind(kind), Why(why) {}
  bool Open(const WaveFormat& format) override {
    std::fprintf(stderr, "%s: cannot open a %s device at %u Hz, mono, 16-bit: %s\n", program_invocation_short_name,
                 Kind == DeviceKind::Capture ? "capture" : "playback", static_cast<unsigned>(format.SamplesPerSec),
                 Why.c_str());
    return false;
  }

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

// One of the JACK client's devices. When no server answered, Open says so
// in one line on stderr, as the other systems' devices do; all else is the
// JACK device's.
class JackSystemDevice final : public ForwardingDevice {
 public:
  JackSystemDevice(JackSoundSystem& system, JackDevice& device, DeviceKind kind)
      : ForwardingDevice(device), System(system), Kind(kind) {}
  bool Open(const WaveFormat& format) override {
    if (ForwardingDevice::Open(format)) return true;
    if (!System.Connected()) {
      std::fprintf(stderr, "%s: cannot open a %s device at %u Hz, mono, 16-bit: JACK: no JACK server is running\n",
                   program_invocation_short_name, Kind == DeviceKind::Capture ? "capture" : "playback",
                   static_cast<unsigned>(format.SamplesPerSec));
    }
    return false;
  }

 private:
  JackSoundSystem& System;
  const DeviceKind Kind;
};

class JackSystem final : public SoundSystem {
 public:
  // system: connected already, or not (no server answered).
  explicit JackSystem(std::unique_ptr<JackSoundSystem> system, bool midi)
      : Jack(std::move(system)),
        CaptureDevice(*Jack, Jack->Capture(), DeviceKind::Capture),
        PlaybackDevice(*Jack, Jack->Playback(), DeviceKind::Playback),
        Answered(Jack->Connected()),
        Midi(midi) {}
  const char* Name() const override { return "JACK"; }
  bool Reachable() const override { return Answered; }
  AudioDevice& Capture() override { return CaptureDevice; }
  AudioDevice& Playback() override { return PlaybackDevice; }
  DeviceCounters Counters(DeviceKind kind) const override {
    const JackDevice& device = kind == DeviceKind::Capture ? Jack->Capture() : Jack->Playback();
    return JackDeviceCounters(Jack->Counters(), kind, device.QueuedBuffers());
  }
  bool HasMidiIn() const override { return Midi; }
  bool ServerLost() const override { return Jack->ServerLost(); }
  bool Reconnect(std::string& reason) override { return Jack->Reconnect(reason); }

 private:
  std::unique_ptr<JackSoundSystem> Jack;  // made first, gone last
  JackSystemDevice CaptureDevice;
  JackSystemDevice PlaybackDevice;
  const bool Answered;
  const bool Midi;
};

JackSoundOptions JackOptions(AudioEventQueue& events, const SoundOptions& sound) {
  JackSoundOptions options;
  if (sound.JackMidi) options.MidiEvents = &events;
  options.CapturePort = sound.InputDevice;
  options.PlaybackPort = sound.OutputDevice;
  if (sound.Latency == LatencyMode::Low) {
    options.ResamplerType = JackSoundOptions::kLowLatencyResamplerType;
    // A buffer counts as done once handed to the ports: the one to three
    // blocks queued are then all still to come, and cover the cycles'
    // jitter, where counting the ports' latency in them left the ports dry
    // now and then (at 256-frame periods, 2 of 100 cycles).
    options.DoneOnHandOut = true;
    // The engine answers on another core while the server's thread waits;
    // on a single core the wait could only ever run out.
    options.AwaitEngine = std::thread::hardware_concurrency() > 1;
  }
  return options;
}

}  // namespace

DeviceCounters JackDeviceCounters(const JackCounters& jack, DeviceKind kind, uint32_t queued) {
  const bool capture = kind == DeviceKind::Capture;
  DeviceCounters c{};
  c.Callbacks = jack.Cycles;
  c.Frames = jack.Cycles * jack.Period;
  c.IdleFrames = capture ? jack.CaptureIdleFrames : jack.PlaybackIdleFrames;
  c.LostFrames = 0;
  c.Overflows = capture ? jack.Xruns : 0;
  c.Underflows = capture ? 0 : jack.Xruns;
  c.BuffersDone = capture ? jack.CaptureBuffersDone : jack.PlaybackBuffersDone;
  c.LateBlocks = capture ? 0 : jack.EngineWaitsMissed;
  const uint64_t latencyFrames = capture ? jack.CaptureLatency : jack.PlaybackLatency;
  if (jack.SampleRate != 0) c.DeviceLatencyMicros = jack.Cycles * (latencyFrames * 1000000 / jack.SampleRate);
  c.Queued = queued;
  return c;
}

bool ParseSoundChoice(const char* value, SoundChoice& choice) {
  if (value == nullptr || value[0] == '\0') {
    choice = SoundChoice::Automatic;
    return true;
  }
  return ParseNamedChoice(
      value, {{"auto", SoundChoice::Automatic}, {"pulse", SoundChoice::Pulse}, {"jack", SoundChoice::Jack}}, choice);
}

std::unique_ptr<SoundSystem> MakeSoundSystem(AudioEventQueue& events, const SoundOptions& options) {
  SoundChoice choice = options.System;
  if (choice == SoundChoice::Automatic) {
    const char* value = std::getenv("SORVANE_SOUND");
    if (!ParseSoundChoice(value, choice)) {
      return std::make_unique<RefusingSoundSystem>(std::string("SORVANE_SOUND=") + value +
                                                   " names no sound server (pulse, jack or auto)");
    }
  }
  const char* source = options.InputDevice.empty() ? nullptr : options.InputDevice.c_str();
  const char* sink = options.OutputDevice.empty() ? nullptr : options.OutputDevice.c_str();
  switch (choice) {
    case SoundChoice::Pulse: return MakePulseSoundSystem(events, source, sink, options.Latency, options.CancelFd);
    case SoundChoice::Jack: {
      // Connected now when a server runs; else the devices say so on Open.
      auto jack = std::make_unique<JackSoundSystem>(events, JackOptions(events, options));
      std::string reason;
      jack->Connect(reason);
      return std::make_unique<JackSystem>(std::move(jack), options.JackMidi);
    }
    case SoundChoice::Automatic: break;
  }
  // PulseAudio when a server answers it; else JACK when a server runs (its
  // client opens without starting one); else the PulseAudio devices say why
  // they cannot open.
  std::unique_ptr<SoundSystem> pulse = MakePulseSoundSystem(events, source, sink, options.Latency, options.CancelFd);
  if (pulse->Reachable()) return pulse;
  std::string reason;
  std::unique_ptr<JackSoundSystem> jack = OpenJackSoundSystem(events, reason, JackOptions(events, options));
  if (jack != nullptr) {
    pulse.reset();
    return std::make_unique<JackSystem>(std::move(jack), options.JackMidi);
  }
  return pulse;
}

std::unique_ptr<SoundSystem> MakeSoundSystem(AudioEventQueue& events, bool jackMidi, LatencyMode latency) {
  SoundOptions options;
  options.JackMidi = jackMidi;
  options.Latency = latency;
  return MakeSoundSystem(events, options);
}

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The sound server the program talks to, and the one place where it is
// chosen. A SoundSystem owns the capture and the playback device of one
// server's client (one connection shared by both), names itself for reports,
// and counts what its streams saw. Every backend keeps its buffers in a
// BufferQueue and posts completions to the AudioEventQueue it was made with;
// its stream callbacks only move samples, update atomics and post events.
//
// The choice: the user's options name a server, or leave it to
// SORVANE_SOUND, which is pulse or jack; unset (or "auto"), the PulseAudio
// protocol is used when a server answers it
// (PulseAudio itself or PipeWire's PulseAudio server), else JACK when a JACK
// server runs (jackd, or PipeWire's JACK), else the PulseAudio system that
// does not open. No server is ever started. A backend that is chosen but
// cannot be reached still gives its devices: their Open fails with one line
// on stderr saying why, and the engine shows its device error.
//
// The options may also name the devices on the server. The listing asks
// every server what devices it offers, for the user to choose from.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/Device.h"
#include "audio/EventQueue.h"
#include "audio/ServerLink.h"
#include "core/Interface.h"

namespace sorvane {

// What a device's stream has seen, for reports and tests; counted by the
// stream callbacks.
struct DeviceCounters {
  uint64_t Callbacks;
  uint64_t Frames;       // frames the server delivered or asked for
  uint64_t IdleFrames;   // capture: arrived while no buffer was queued; playback: silence played
  uint64_t LostFrames;   // capture: frames the server dropped before we read them
  uint64_t Underflows;   // playback: the server ran out of samples
  uint64_t Overflows;    // the server's buffer overran (capture: a hole in the stream)
  uint64_t BuffersDone;  // buffers completed by the stream (not by a reset)
  // Playback: blocks whose song the server waited for in the cycle that
  // captured them, and had to play a cycle later (JACK, low latency).
  uint64_t LateBlocks;
  // What the server adds, summed over the callbacks (µs): capture, the age
  // of each callback's first frame when it is read; playback, the time until
  // each callback's first frame is played.
  uint64_t DeviceLatencyMicros;
  uint32_t Queued;  // buffers queued and not yet done (engine thread)
};

class SoundSystem : public ServerLink {
 public:
  // "PulseAudio", "JACK": for reports.
  virtual const char* Name() const = 0;
  // Whether the server answered when the system was made.
  virtual bool Reachable() const = 0;
  virtual AudioDevice& Capture() = 0;
  virtual AudioDevice& Playback() = 0;
  virtual DeviceCounters Counters(DeviceKind kind) const = 0;
  // Whether the system's own client carries the MIDI input port, posting to
  // the events queue it was made with (JACK, when asked for).
  virtual bool HasMidiIn() const { return false; }

  // The server went away under the devices: one atomic load, any thread.
  // Set by the server's own thread (a failed connection or stream, JACK's
  // shutdown notice), which does nothing else there; stays true until
  // Reconnect succeeds. While it is true the devices still keep their
  // rules: Reset hands every queued buffer back once, Close succeeds and no
  // event is posted for a closed device.
  bool ServerLost() const override { return false; }
  // Drops the old connection and makes a new one, for the same device
  // objects to be opened, queued and started on. Called on the engine's
  // thread only once every buffer is back and both devices are closed;
  // returns within tens of milliseconds. False with a short reason when the
  // server does not answer yet.
  bool Reconnect(std::string& reason) override {
    reason = "this sound system cannot reconnect";
    return false;
  }
};

enum class SoundChoice : uint8_t { Automatic, Pulse, Jack };

// SORVANE_SOUND's value: null, "" or "auto" is Automatic, "pulse" Pulse,
// "jack" Jack; false for anything else.
bool ParseSoundChoice(const char* value, SoundChoice& choice);

// What the user chose: the server and, optionally, the devices on it.
struct SoundOptions {
  SoundChoice System = SoundChoice::Automatic;
  // Empty: the server's default. PulseAudio: a source's name; JACK: the
  // port Voice In takes the voice from.
  std::string InputDevice;
  // Empty: the server's default. PulseAudio: a sink's name; JACK: the
  // playback port Song Out L goes to (R to the next port of the same client,
  // when it has one).
  std::string OutputDevice;
  // When the choice falls on JACK, its client also gets the port "MIDI In",
  // whose messages go to the events queue (HasMidiIn()).
  bool JackMidi = false;
  // The buffer sizes asked of the server (PulseAudio) or the resampler's
  // filter (JACK, which always runs at the server's own period).
  LatencyMode Latency = LatencyMode::Normal;
  // A descriptor that becomes readable when the program is asked to end
  // (its termination signals' pipe), or -1: a wait for a server that does
  // not answer ends at once then.
  int CancelFd = -1;
};

// The system the options choose; System Automatic follows SORVANE_SOUND
// (an explicit System wins over the variable). A value of SORVANE_SOUND
// that names no backend of this build is reported on stderr (one line) and
// gives devices that do not open. A PulseAudio device that does not exist
// fails Open with the server's reason; a JACK port that does not exist is
// reported on stderr when the devices start, and the physical ports are
// used instead.
std::unique_ptr<SoundSystem> MakeSoundSystem(AudioEventQueue& events, const SoundOptions& options);

// The same with the servers' default devices and the choice left to
// SORVANE_SOUND.
std::unique_ptr<SoundSystem> MakeSoundSystem(AudioEventQueue& events, bool jackMidi = false,
                                             LatencyMode latency = LatencyMode::Normal);

// One device a server offers.
struct SoundDeviceInfo {
  std::string Name;         // what SoundOptions::InputDevice and OutputDevice take
  std::string Description;  // for people: PulseAudio's description; JACK: the port's alias, or its name
  bool IsDefault = false;
};

// What one server offers.
struct SoundServerDevices {
  // "PulseAudio", "PulseAudio (PipeWire)" (PipeWire's PulseAudio server) or
  // "JACK".
  std::string System;
  bool Reachable = false;
  std::string Problem;  // why not reachable, one short phrase
  // PulseAudio: the sources (monitors of sinks included) and the sinks;
  // JACK: the physical capture and playback ports.
  std::vector<SoundDeviceInfo> Inputs;
  std::vector<SoundDeviceInfo> Outputs;
};

// Asks each server (the PulseAudio protocol, then JACK) what it offers,
// without starting one; returns within a few seconds even when nothing
// answers. Blocks the calling thread meanwhile: not for the real-time path.
std::vector<SoundServerDevices> ListSoundDevices();

// The listing as text, one block per server, a blank line between them:
//   PulseAudio (PipeWire):
//    inputs:
//   * alsa_input.usb-mic  (USB Microphone)
//     alsa_output.speakers.monitor  (Monitor of Speakers)
//    outputs:
//   * alsa_output.speakers  (Speakers)
//
//   JACK: not reachable: no JACK server is running
// A device line is two characters ("* " for the default, else two spaces),
// the name, and its description in brackets unless it says no more than
// the name; a kind with no device reads " inputs: none".
std::string FormatSoundDevices(const std::vector<SoundServerDevices>& servers);

struct JackCounters;

// The JACK client's counters as one device's: Callbacks are the process
// cycles and Frames the server frames they moved (cycles × period); idle
// frames and completed buffers are the device's own (22050 Hz); JACK drops
// no frames without an xrun, so LostFrames is 0, and each xrun the server
// reports counts as a capture overflow and a playback underflow (a late
// cycle leaves a hole on both sides); DeviceLatencyMicros is the port's
// latency (frames at the server's rate) in µs, once per cycle.
DeviceCounters JackDeviceCounters(const JackCounters& jack, DeviceKind kind, uint32_t queued);

}  // namespace sorvane

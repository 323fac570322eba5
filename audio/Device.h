// SPDX-License-Identifier: GPL-3.0-or-later
// The sound-card layer as the engine sees it: a capture and a playback
// device, each with a queue of caller-owned buffers. A device reports every
// finished buffer as a completion event; events reach the engine's event
// thread one at a time, in completion order, and the engine handles them
// there (OnCaptureDone, OnPlaybackDone). Reset hands every queued buffer back
// as such an event; it never calls the engine directly.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "core/Interface.h"
#include "dsp/AudioFormat.h"

namespace sorvane {

struct WaveFormat {
  uint16_t FormatTag = 1;  // linear PCM
  uint16_t Channels = 1;
  uint32_t SamplesPerSec = kSampleRate;
  uint32_t AvgBytesPerSec = 44100;
  uint16_t BlockAlign = 2;
  uint16_t BitsPerSample = 16;
};

// One queued buffer. The device fills (capture) or plays (playback)
// BufferLength bytes from Data.
struct WaveHeader {
  int16_t* Data;
  uint32_t BufferLength;   // bytes
  uint32_t BytesRecorded;  // set by a capture device; the engine never reads it
  uintptr_t User;
  uint32_t Flags;
  uint32_t Loops;
  WaveHeader* Next;
  // Set by a sound server's device: when the first sample was sampled
  // (capture) or is played (playback), in microseconds of a clock that the
  // capture and playback device share.
  uintptr_t FirstSampleAtUs;
};

// How far behind the voice the song may come. Normal: the playback queue
// is kept at 8 to 12 blocks and the servers hold what suits them. Low: the
// queue is kept at 1 to 3 blocks and every server is asked for its smallest
// sensible buffers.
enum class LatencyMode : uint8_t { Normal, Low };

// One value of a choice and the word that names it in options and
// environment variables.
template <typename Value>
struct NamedChoice {
  const char* Name;
  Value Is;
};

// Sets value to the choice text names; false, value untouched, when text
// names none of them.
template <typename Value>
bool ParseNamedChoice(const char* text, std::initializer_list<NamedChoice<Value>> choices, Value& value) {
  for (const NamedChoice<Value>& choice : choices) {
    if (std::strcmp(text, choice.Name) == 0) {
      value = choice.Is;
      return true;
    }
  }
  return false;
}

// "normal" or "low"; false for anything else.
inline bool ParseLatencyMode(const char* text, LatencyMode& mode) {
  return ParseNamedChoice(text, {{"normal", LatencyMode::Normal}, {"low", LatencyMode::Low}}, mode);
}

// Each operation returns true on success.
class AudioDevice : public Interface {
 public:
  // Opens the system's default device of this kind.
  virtual bool Open(const WaveFormat& format) = 0;
  virtual bool Prepare(WaveHeader& header) = 0;
  virtual bool Unprepare(WaveHeader& header) = 0;
  // Capture: add an empty buffer to be filled. Playback: queue a buffer to
  // play; playing starts with the first one.
  virtual bool Queue(WaveHeader& header) = 0;
  // Capture: start filling the queued buffers. Playback: nothing to do.
  virtual bool Start() = 0;
  virtual bool Reset() = 0;
  virtual bool Close() = 0;
  virtual bool IsOpen() const = 0;
};

// A device that never opens and refuses every other operation, for a
// machine or a build without the sound it was asked for.
class UnopenableDevice : public AudioDevice {
 public:
  bool Open(const WaveFormat&) override { return false; }
  bool Prepare(WaveHeader&) override { return false; }
  bool Unprepare(WaveHeader&) override { return false; }
  bool Queue(WaveHeader&) override { return false; }
  bool Start() override { return false; }
  bool Reset() override { return false; }
  bool Close() override { return false; }
  bool IsOpen() const override { return false; }
};

// A device that hands every operation on to another one; a subclass
// overrides the operations it adds to.
class ForwardingDevice : public AudioDevice {
 public:
  explicit ForwardingDevice(AudioDevice& device) : Device(device) {}
  bool Open(const WaveFormat& format) override { return Device.Open(format); }
  bool Prepare(WaveHeader& header) override { return Device.Prepare(header); }
  bool Unprepare(WaveHeader& header) override { return Device.Unprepare(header); }
  bool Queue(WaveHeader& header) override { return Device.Queue(header); }
  bool Start() override { return Device.Start(); }
  bool Reset() override { return Device.Reset(); }
  bool Close() override { return Device.Close(); }
  bool IsOpen() const override { return Device.IsOpen(); }

 private:
  AudioDevice& Device;
};

}  // namespace sorvane

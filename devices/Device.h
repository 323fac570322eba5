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
// "normal" or "low"; false for anything else.
inline bool ParseLatencyMode(const char* text, LatencyMode& mode) {
  if (std::strcmp(text, "normal") == 0) {
    mode = LatencyMode::Normal;
  } else if (std::strcmp(text, "low") == 0) {
    mode = LatencyMode::Low;
  } else {
    return false;
  }
  return true;
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

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The PulseAudio client's streams: opening one, starting, resetting and
// closing it without waiting for the server, and its read and write
// callbacks on the main loop's thread.
#include "devices/PulseStream.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace sorvane {

PulseDevice::~PulseDevice() {
  // Buffers still queued are not reported: whoever would handle their
  // events goes away with the device.
  if (Stream == nullptr) return;
  LoopLock lock(Connection.MainLoop());
  DropStream();
}

bool PulseDevice::Open(const WaveFormat& format) {
  if (Stream != nullptr) return false;
  if (format.FormatTag != 1 || format.Channels != 1 || format.BitsPerSample != 16 || format.SamplesPerSec == 0 ||
      format.SamplesPerSec > PA_RATE_MAX) {
    return false;
  }
  if (Connection.MainLoop() == nullptr) {
    ReportOpenFailure(format, "cannot start libpulse's main loop");
    return false;
  }
  std::string why;
  LoopLock lock(Connection.MainLoop());
  if (!Connection.Ready(why)) {
    ReportOpenFailure(format, why);
    return false;
  }
  Rate = format.SamplesPerSec;
  Buffers.SetSampleRate(Rate);
  // A playback buffer waits for at most what the server was asked to hold.
  Buffers.SetMaxServerHoldUs(static_cast<int64_t>(Sizes.PlaybackTargetFrames) * 1000000 / Rate);
  const pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, Rate, 1};
  const bool capture = Kind == DeviceKind::Capture;
  pa_proplist* props = ApplicationProperties();
  pa_stream* stream = pa_stream_new_with_proplist(
      Connection.Context(), capture ? kCaptureStreamName : kPlaybackStreamName, &sampleFormat, nullptr, props);
  pa_proplist_free(props);
  if (stream == nullptr) {
    ReportOpenFailure(format, pa_strerror(pa_context_errno(Connection.Context())));
    return false;
  }
  pa_stream_set_state_callback(stream, &PulseConnection::Signal<pa_stream>, &Connection);
  const char* device = DeviceName.empty() ? nullptr : DeviceName.c_str();
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(-1);
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(-1);
  int connected = 0;
  if (capture) {
    attr.fragsize = Sizes.CaptureFragmentFrames * 2;
    pa_stream_set_read_callback(stream, &PulseDevice::OnRead, this);
    connected = pa_stream_connect_record(stream, device, &attr,
                                         static_cast<pa_stream_flags_t>(kStreamFlags | PA_STREAM_START_CORKED));
  } else {
    attr.tlength = Sizes.PlaybackTargetFrames * 2;
    attr.minreq = Sizes.PlaybackRequestFrames * 2;
    attr.prebuf = Sizes.PlaybackRequestFrames * 2;
    pa_stream_set_write_callback(stream, &PulseDevice::OnWrite, this);
    pa_stream_set_underflow_callback(stream, &PulseDevice::OnUnderflow, this);
    pa_stream_set_overflow_callback(stream, &PulseDevice::OnOverflow, this);
    connected = pa_stream_connect_playback(stream, device, &attr, kStreamFlags, nullptr, nullptr);
  }
  Stream = stream;
  Capturing = false;
  const bool ready = connected == 0 && Connection.WaitUntil([stream] {
    const pa_stream_state_t state = pa_stream_get_state(stream);
    return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
  }) && pa_stream_get_state(stream) == PA_STREAM_READY;
  if (!ready) {
    const int err = pa_context_errno(Connection.Context());
    DropStream();
    ReportOpenFailure(format, err != 0 ? pa_strerror(err) : "the server does not answer");
    return false;
  }
  pa_stream_set_state_callback(stream, &PulseConnection::OnStreamState, &Connection);
  return true;
}

bool PulseDevice::Start() {
  if (Stream == nullptr) return false;
  if (Kind == DeviceKind::Playback) return true;
  LoopLock lock(Connection.MainLoop());
  if (pa_stream_get_state(Stream) != PA_STREAM_READY) return false;
  if (Capturing) return true;
  // What was recorded before this start is not this start's input.
  DiscardReadable();
  pa_operation* op = pa_stream_cork(Stream, 0, nullptr, nullptr);
  if (op == nullptr) return false;
  pa_operation_unref(op);
  Capturing = true;
  return true;
}

bool PulseDevice::Reset() {
  if (Stream == nullptr) return false;
  LoopLock lock(Connection.MainLoop());
  StopAndReturnAll();
  return true;
}

bool PulseDevice::Close() {
  if (Stream == nullptr) return false;
  LoopLock lock(Connection.MainLoop());
  StopAndReturnAll();
  DropStream();
  return true;
}

DeviceCounters PulseDevice::Counters() const {
  DeviceCounters c{};
  c.Callbacks = CallbackCount.load(std::memory_order_relaxed);
  c.Frames = FrameCount.load(std::memory_order_relaxed);
  c.IdleFrames = Buffers.IdleFrames();
  c.LostFrames = LostFrameCount.load(std::memory_order_relaxed);
  c.Underflows = UnderflowCount.load(std::memory_order_relaxed);
  c.Overflows = OverflowCount.load(std::memory_order_relaxed);
  c.BuffersDone = Buffers.BuffersDone();
  c.DeviceLatencyMicros = LatencyMicros.load(std::memory_order_relaxed);
  c.Queued = Buffers.Queued();
  return c;
}

void PulseDevice::StopAndReturnAll() {
  Capturing = false;
  Buffers.ReturnAll();
  if (pa_stream_get_state(Stream) != PA_STREAM_READY) return;
  if (Kind == DeviceKind::Capture) {
    if (pa_operation* op = pa_stream_cork(Stream, 1, nullptr, nullptr)) pa_operation_unref(op);
    DiscardReadable();
  }
  if (pa_operation* op = pa_stream_flush(Stream, nullptr, nullptr)) pa_operation_unref(op);
}

void PulseDevice::DiscardReadable() {
  const void* data = nullptr;
  size_t bytes = 0;
  while (pa_stream_readable_size(Stream) > 0 && pa_stream_peek(Stream, &data, &bytes) == 0 && bytes > 0) {
    pa_stream_drop(Stream);
  }
}

void PulseDevice::DropStream() {
  pa_stream_set_state_callback(Stream, nullptr, nullptr);
  pa_stream_set_read_callback(Stream, nullptr, nullptr);
  pa_stream_set_write_callback(Stream, nullptr, nullptr);
  pa_stream_set_underflow_callback(Stream, nullptr, nullptr);
  pa_stream_set_overflow_callback(Stream, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(Stream))) pa_stream_disconnect(Stream);
  pa_stream_unref(Stream);
  Stream = nullptr;
  Capturing = false;
}

void PulseDevice::ReportOpenFailure(const WaveFormat& format, const std::string& why) const {
  const bool capture = Kind == DeviceKind::Capture;
  const char* kind = capture ? "capture" : "playback";
  const char* chosen = !DeviceName.empty() ? DeviceName.c_str() : std::getenv(capture ? "PULSE_SOURCE" : "PULSE_SINK");
  const std::string device = chosen != nullptr && chosen[0] != '\0'
                                 ? std::string("the ") + kind + " device \"" + chosen + "\""
                                 : std::string("a ") + kind + " device";
  std::fprintf(stderr, "%s: cannot open %s at %u Hz, mono, 16-bit: PulseAudio: %s\n", program_invocation_short_name,
               device.c_str(), static_cast<unsigned>(format.SamplesPerSec), why.c_str());
}

void PulseDevice::OnRead(pa_stream* stream, size_t, void* self) {
  auto* device = static_cast<PulseDevice*>(self);
  const void* data = nullptr;
  size_t bytes = 0;
  while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
    const auto frames = static_cast<uint32_t>(bytes / 2);
    device->CallbackCount.fetch_add(1, std::memory_order_relaxed);
    device->FrameCount.fetch_add(frames, std::memory_order_relaxed);
    if (data == nullptr) {
      // A hole: the server dropped what it could not hand over in time.
      device->OverflowCount.fetch_add(1, std::memory_order_relaxed);
      device->LostFrameCount.fetch_add(frames, std::memory_order_relaxed);
    } else if (device->Capturing) {
      // The stream's latency is the age of the first frame not yet read.
      const int64_t now = NowUs();
      pa_usec_t age = 0;
      int negative = 0;
      if (pa_stream_get_latency(stream, &age, &negative) != 0 || negative != 0) age = 0;
      device->LatencyMicros.fetch_add(age, std::memory_order_relaxed);
      device->Buffers.Capture(static_cast<const int16_t*>(data), frames, now - static_cast<int64_t>(age));
    }
    pa_stream_drop(stream);
  }
}

void PulseDevice::OnWrite(pa_stream* stream, size_t requested, void* self) {
  auto* device = static_cast<PulseDevice*>(self);
  while (requested >= 2) {
    void* data = nullptr;
    size_t bytes = requested;
    if (pa_stream_begin_write(stream, &data, &bytes) < 0 || data == nullptr) return;
    bytes = std::min(bytes, requested) & ~static_cast<size_t>(1);
    if (bytes == 0) {
      pa_stream_cancel_write(stream);
      return;
    }
    const auto frames = static_cast<uint32_t>(bytes / 2);
    auto* output = static_cast<int16_t*>(data);
    device->CallbackCount.fetch_add(1, std::memory_order_relaxed);
    device->FrameCount.fetch_add(frames, std::memory_order_relaxed);
    // The latency is how long a frame written now waits to be played.
    const int64_t now = NowUs();
    pa_usec_t wait = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream, &wait, &negative) == 0) {
      if (negative != 0) wait = 0;
      device->LatencyMicros.fetch_add(wait, std::memory_order_relaxed);
      device->Buffers.Play(output, frames, now, now + static_cast<int64_t>(wait));
    } else {
      // No timing from the server yet.
      device->Buffers.PlayUntimed(output, frames);
    }
    if (pa_stream_write(stream, data, bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
    requested -= bytes;
  }
}

}  // namespace sorvane

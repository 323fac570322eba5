// SPDX-License-Identifier: GPL-3.0-or-later
// The JACK client's callbacks: the shutdown, latency and xrun notices, and
// the process callback that moves one period between the ports and the
// devices' buffer queues, through the converters when the server runs at
// another rate than the engine.
#include "devices/JackDevices.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <thread>

#include "audio/RateConverter.h"
#include "audio/Realtime.h"
#include "midi/JackMidiIn.h"

namespace sorvane {

namespace {

// Converter calls per cycle before the playback path gives up and plays
// silence for the rest: each call consumes input or fills output, so a
// period needs one, or two or three at first.
constexpr int kMaxConverterCalls = 32;

int64_t SteadyNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

// JACK's notification thread, or the process thread as it ends: only the
// flag. The devices' gates need nothing, since the callback runs no more.
void JackSoundSystem::OnShutdown(jack_status_t, const char*, void* self) {
  static_cast<JackSoundSystem*>(self)->Gone.store(true, std::memory_order_release);
}

// Notification thread, after connections change.
void JackSoundSystem::OnLatency(jack_latency_callback_mode_t, void* self) {
  static_cast<JackSoundSystem*>(self)->ReadLatencies();
}

// The process thread, once as it starts.
void JackSoundSystem::OnThreadInit(void* self) {
  static_cast<JackSoundSystem*>(self)->ProcessTid.store(gettid(), std::memory_order_release);
}

int JackSoundSystem::OnXrun(void* self) {
  static_cast<JackSoundSystem*>(self)->Xruns.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

int JackSoundSystem::OnProcess(jack_nframes_t frames, void* self) {
  auto* s = static_cast<JackSoundSystem*>(self);
  const int64_t startNs = SteadyNs();
  if (s->Midi) s->Midi->Process(frames);
  s->Period.store(frames, std::memory_order_relaxed);

  // When this cycle began, on the clock both devices' times use.
  jack_nframes_t cycleFrames = 0;
  jack_time_t cycleUs = 0;
  jack_time_t nextUs = 0;
  float periodUs = 0;
  if (jack_get_cycle_times(s->Client, &cycleFrames, &cycleUs, &nextUs, &periodUs) != 0) {
    cycleUs = jack_frames_to_time(s->Client, jack_last_frame_time(s->Client));
  }

  if (frames <= s->MaxFrames) {
    const uint64_t captured = s->CaptureDevice.Buffers.BuffersDone();
    s->CaptureCycle(frames, static_cast<double>(cycleUs));
    if (s->Options.AwaitEngine && s->CaptureDevice.Buffers.BuffersDone() != captured) {
      const auto budgetNs = std::min<int64_t>(static_cast<int64_t>(frames) * 250'000'000 / s->Rate, 2'000'000);
      s->AwaitedEvents = s->Events.Posted();
      if (!s->AwaitEngine(startNs + budgetNs)) s->EngineWaitsMissed.fetch_add(1, std::memory_order_relaxed);
    }
    s->PlaybackCycle(frames, static_cast<double>(cycleUs), s->Options.AwaitEngine && s->EngineBehind());
  } else {
    s->OversizedCycles.fetch_add(1, std::memory_order_relaxed);
    for (jack_port_t* port : s->SongPorts) {
      std::memset(jack_port_get_buffer(port, frames), 0, frames * sizeof(float));
    }
  }

  const auto spent = static_cast<uint64_t>(SteadyNs() - startNs);
  s->Cycles.fetch_add(1, std::memory_order_relaxed);
  s->CallbackNs.fetch_add(spent, std::memory_order_relaxed);
  if (spent > s->LongestCallbackNs.load(std::memory_order_relaxed)) {
    s->LongestCallbackNs.store(spent, std::memory_order_relaxed);
  }
  return 0;
}

bool JackSoundSystem::EngineBehind() const noexcept {
  return static_cast<intptr_t>(AwaitedEvents - Events.Handled()) > 0;
}

bool JackSoundSystem::AwaitEngine(int64_t deadlineNs) const noexcept {
  // The capture buffer's event is among those posted; the engine, on a
  // real-time thread of its own, answers it with the block's song in a few
  // tens of microseconds. Spinning (no system call) keeps this thread's
  // priority and cannot block; the deadline bounds it when the engine is
  // held up, and the song then leaves a cycle later, where it would have
  // been had it come in time.
  while (EngineBehind()) {
    if (SteadyNs() >= deadlineNs) return false;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  return true;
}

void JackSoundSystem::CaptureCycle(jack_nframes_t frames, double cycleUs) noexcept {
  JackDevice& device = CaptureDevice;
  if (!device.Enter()) return;
  const auto* input = static_cast<const float*>(jack_port_get_buffer(VoicePort, frames));
  // When input[0] reached the physical input: the port's capture latency
  // before the cycle's start.
  const double firstInUs = cycleUs - CaptureLatency.load(std::memory_order_relaxed) * 1e6 / Rate;
  uint32_t produced = frames;
  if (Bypass) {
    for (uint32_t i = 0; i < frames; ++i) CaptureSamples[i] = FloatToSample(input[i]);
  } else {
    SRC_DATA data{};
    data.data_in = input;
    data.input_frames = frames;
    data.data_out = CaptureFloat.data();
    data.output_frames = static_cast<long>(CaptureFloat.size());
    data.src_ratio = CaptureRatio;
    // The output holds more than a period's worth, so all input is taken.
    if (src_process(CaptureConverter, &data) != 0) data.output_frames_gen = 0;
    produced = static_cast<uint32_t>(data.output_frames_gen);
    for (uint32_t i = 0; i < produced; ++i) CaptureSamples[i] = FloatToSample(CaptureFloat[i]);
  }
  // Output sample k of the converter stands exactly for input position
  // k / ratio (libsamplerate's sinc converters add no phase shift; what they
  // hold back only delays delivery), so the first sample handed over was
  // taken that many input frames away from input[0].
  const double firstOutPosition = static_cast<double>(CaptureFramesOut) / CaptureRatio;
  const double firstOutUs = firstInUs + (firstOutPosition - static_cast<double>(CaptureFramesIn)) * 1e6 / Rate;
  if (produced > 0) device.Buffers.Capture(CaptureSamples.data(), produced, std::llround(firstOutUs));
  CaptureFramesIn += frames;
  CaptureFramesOut += produced;
  device.Leave();
}

void JackSoundSystem::PlaybackCycle(jack_nframes_t frames, double cycleUs, bool songLate) noexcept {
  auto* left = static_cast<float*>(jack_port_get_buffer(SongPorts[0], frames));
  auto* right = static_cast<float*>(jack_port_get_buffer(SongPorts[1], frames));
  JackDevice& device = PlaybackDevice;
  if (!device.Enter()) {
    std::memset(left, 0, frames * sizeof(float));
    std::memset(right, 0, frames * sizeof(float));
    return;
  }
  // The stream's clock stands at the cycle's start: what the ports carry
  // this cycle is reckoned from there (a port without latency plays at that
  // very moment), and a buffer counts as played once a cycle starts after
  // its last sample's time.
  const auto nowUs = static_cast<int64_t>(cycleUs);
  // When left[0] leaves the physical output.
  const double firstOutUs = cycleUs + PlaybackLatency.load(std::memory_order_relaxed) * 1e6 / Rate;
  // When song frame `taken` (counted from the last rewind) is played: it
  // becomes output position taken × ratio, and this cycle starts at
  // SongFramesPlayed.
  auto playsAtUs = [&](int64_t taken) {
    return std::llround(
        firstOutUs + (static_cast<double>(taken) / kSampleRate - static_cast<double>(SongFramesPlayed) / Rate) * 1e6);
  };
  if (Bypass) {
    device.Buffers.Play(PlaySamples.data(), frames, nowUs, playsAtUs(SongFramesTaken), songLate);
    for (uint32_t i = 0; i < frames; ++i) left[i] = SampleToFloat(PlaySamples[i]);
    SongFramesTaken += frames;
  } else {
    uint32_t produced = 0;
    for (int call = 0; call < kMaxConverterCalls && produced < frames; ++call) {
      if (StageUsed == StageCount) {
        // The song up to the end of this period and the converter's reach
        // beyond it, less what the converter holds already. libsamplerate
        // takes in all it is given whenever it runs low, so a stage sized
        // to the period alone would have it draw the song up to a period
        // ahead of need, at times: a queue that must cover that runs a
        // period further behind the voice.
        const double periodEnd = static_cast<double>(SongFramesPlayed + frames);
        const auto due = static_cast<int64_t>(std::ceil(periodEnd / PlaybackRatio));
        const int64_t want = due + PlaybackReach - SongFramesTaken;
        const auto take = static_cast<uint32_t>(std::clamp<int64_t>(want, 1, static_cast<int64_t>(Stage.size())));
        device.Buffers.Play(PlaySamples.data(), take, nowUs, playsAtUs(SongFramesTaken), songLate);
        for (uint32_t i = 0; i < take; ++i) Stage[i] = SampleToFloat(PlaySamples[i]);
        StageCount = take;
        StageUsed = 0;
        SongFramesTaken += take;
      }
      SRC_DATA data{};
      data.data_in = Stage.data() + StageUsed;
      data.input_frames = StageCount - StageUsed;
      data.data_out = left + produced;
      data.output_frames = frames - produced;
      data.src_ratio = PlaybackRatio;
      if (src_process(PlaybackConverter, &data) != 0) break;
      StageUsed += static_cast<uint32_t>(data.input_frames_used);
      produced += static_cast<uint32_t>(data.output_frames_gen);
    }
    if (produced < frames) std::memset(left + produced, 0, (frames - produced) * sizeof(float));
  }
  std::memcpy(right, left, frames * sizeof(float));
  SongFramesPlayed += frames;
  device.Leave();
}

std::unique_ptr<JackSoundSystem> OpenJackSoundSystem(AudioEventQueue& events, std::string& reason,
                                                     JackSoundOptions options) {
  auto system = std::make_unique<JackSoundSystem>(events, std::move(options));
  if (!system->Connect(reason)) return nullptr;
  return system;
}

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The JACK client behind the capture and playback devices: client and port
// lifetime, the connections made at activation, and the process callback
// with its two resampling paths. See JackDevices.h for the behaviour.
#include "devices/JackDevices.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <thread>

#include "audio/RateConverter.h"
#include "midi/JackClient.h"
#include "midi/JackMidiIn.h"

namespace sorvane {

namespace {

// The longest period JACK servers run at; the scratch areas are sized for
// it, so a server that changes its period while running needs nothing new.
constexpr uint32_t kLongestPeriod = 8192;
// Slack for the converters: what one call may give beyond the exact ratio.
constexpr uint32_t kConverterSlack = 64;
// Converter calls per cycle before the playback path gives up and plays
// silence for the rest: each call consumes input or fills output, so a
// period needs one, or two or three at first.
constexpr int kMaxConverterCalls = 32;

// The port called name (or known by that alias) when it is an audio port
// with the direction flag asked for (JackPortIsOutput: it sends sound);
// else null, with why in one line on stderr.
jack_port_t* NamedAudioPort(jack_client_t* client, const std::string& name, unsigned long direction,
                            const char* what) {
  jack_port_t* port = jack_port_by_name(client, name.c_str());
  const char* problem = nullptr;
  if (port == nullptr) {
    problem = "there is no such port";
  } else if (std::strcmp(jack_port_type(port), JACK_DEFAULT_AUDIO_TYPE) != 0) {
    problem = "it is not an audio port";
  } else if ((static_cast<unsigned long>(jack_port_flags(port)) & direction) == 0) {
    problem = direction == JackPortIsOutput ? "it gives no sound" : "it takes no sound";
  }
  if (problem == nullptr) return port;
  std::fprintf(stderr, "%s: JACK: cannot use the %s port \"%s\" (%s); using the first physical one\n",
               program_invocation_short_name, what, name.c_str(), problem);
  return nullptr;
}

// The audio input port registered after `name` by the same client, or ""
// when name is its last.
std::string NextInputPortOfClient(jack_client_t* client, const std::string& name) {
  const std::string owner = name.substr(0, name.find(':') + 1);
  std::string next;
  if (const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput)) {
    bool found = false;
    for (const char** p = ports; *p != nullptr && next.empty(); ++p) {
      if (std::strncmp(*p, owner.c_str(), owner.size()) != 0) continue;
      if (found) next = *p;
      found = found || name == *p;
    }
    jack_free(ports);
  }
  return next;
}

int64_t SteadyNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

// ---------------------------------------------------------------- device

JackDevice::JackDevice(JackSoundSystem& system, DeviceKind kind)
    : System(system),
      Kind(kind),
      Buffers(kind == DeviceKind::Capture ? BufferQueueKind::Capture : BufferQueueKind::Playback,
              &JackDevice::BufferDone, this) {}

void JackDevice::BufferDone(void* self, WaveHeader& header) {
  auto* device = static_cast<JackDevice*>(self);
  device->System.Events.Post(device->Kind, &header);
}

bool JackDevice::Open(const WaveFormat& format) {
  if (Opened) return false;
  if (format.FormatTag != 1 || format.Channels != 1 || format.BitsPerSample != 16 ||
      format.SamplesPerSec != static_cast<uint32_t>(kSampleRate)) {
    return false;
  }
  if (System.Client != nullptr && System.ServerGone()) return false;
  std::string reason;
  if (!System.Connect(reason)) return false;
  Opened = true;
  // Playback plays silence until buffers come; capture waits for Start.
  if (Kind == DeviceKind::Playback) Admit();
  if (System.CaptureDevice.Opened && System.PlaybackDevice.Opened) return System.Activate();
  return true;
}

bool JackDevice::Queue(WaveHeader& header) {
  if (!Opened) return false;
  if (Kind == DeviceKind::Playback && !System.Active && !System.ServerGone() && !System.Activate()) return false;
  return Buffers.Queue(header);
}

bool JackDevice::Start() {
  if (!Opened || System.ServerGone()) return false;
  if (!System.Activate()) return false;
  Admit();
  return true;
}

bool JackDevice::Reset() {
  if (!Opened) return false;
  Shut();
  ReturnAllAndRewind();
  if (Kind == DeviceKind::Playback) Admit();
  return true;
}

bool JackDevice::Close() {
  if (!Opened) return false;
  Shut();
  ReturnAllAndRewind();
  Opened = false;
  if (!System.CaptureDevice.Opened && !System.PlaybackDevice.Opened) System.Disconnect();
  return true;
}

bool JackDevice::Enter() noexcept {
  int expected = kGateOpen;
  return Gate.compare_exchange_strong(expected, kGateInside, std::memory_order_acquire, std::memory_order_relaxed);
}

void JackDevice::Leave() noexcept { Gate.store(kGateOpen, std::memory_order_release); }

void JackDevice::Shut() {
  // The callback holds the gate for at most one cycle's work and never
  // blocks inside, so this waits for well under a period; once the server
  // is gone nothing holds it.
  for (;;) {
    int expected = kGateOpen;
    if (Gate.compare_exchange_weak(expected, kGateShut, std::memory_order_acquire, std::memory_order_relaxed) ||
        expected == kGateShut) {
      return;
    }
    std::this_thread::yield();
  }
}

void JackDevice::Admit() { Gate.store(kGateOpen, std::memory_order_release); }

void JackDevice::ReturnAllAndRewind() {
  Buffers.ReturnAll();
  JackSoundSystem& s = System;
  if (Kind == DeviceKind::Capture) {
    if (s.CaptureConverter != nullptr) src_reset(s.CaptureConverter);
    s.CaptureFramesIn = 0;
    s.CaptureFramesOut = 0;
  } else {
    // What the stage and the converter still hold belongs to buffers just
    // handed back: it is dropped, not played after them.
    if (s.PlaybackConverter != nullptr) src_reset(s.PlaybackConverter);
    s.StageCount = 0;
    s.StageUsed = 0;
    s.SongFramesTaken = 0;
    s.SongFramesPlayed = 0;
  }
}

// ---------------------------------------------------------------- client

JackSoundSystem::JackSoundSystem(AudioEventQueue& events, JackSoundOptions options)
    : Events(events),
      Options(std::move(options)),
      CaptureDevice(*this, DeviceKind::Capture),
      PlaybackDevice(*this, DeviceKind::Playback) {}

JackSoundSystem::~JackSoundSystem() {
  CaptureDevice.Shut();
  PlaybackDevice.Shut();
  Disconnect();
}

bool JackSoundSystem::Connect(std::string& reason) {
  if (Client != nullptr) return true;
  Gone.store(false, std::memory_order_release);
  ProcessTid.store(0, std::memory_order_release);
  int options = JackNoStartServer;
  if (!Options.ServerName.empty()) options |= JackServerName;
  jack_client_t* client;
  {
    const JackMessagesSilenced quiet;  // a failed attempt: the caller reports it once
    jack_status_t status;
    client = Options.ServerName.empty()
                 ? jack_client_open(kJackClientName, static_cast<jack_options_t>(options), &status)
                 : jack_client_open(kJackClientName, static_cast<jack_options_t>(options), &status,
                                    Options.ServerName.c_str());
  }
  if (client == nullptr) {
    reason = "no JACK server is running";
    return false;
  }
  Client = client;
  Rate = jack_get_sample_rate(client);
  Period.store(jack_get_buffer_size(client), std::memory_order_relaxed);
  Bypass = Rate == static_cast<uint32_t>(kSampleRate);
  CaptureRatio = static_cast<double>(kSampleRate) / Rate;
  PlaybackRatio = static_cast<double>(Rate) / kSampleRate;
  CaptureDevice.Buffers.SetSampleRate(kSampleRate);
  PlaybackDevice.Buffers.SetSampleRate(kSampleRate);
  PlaybackDevice.Buffers.SetDoneOnHandOut(Options.DoneOnHandOut);

  VoicePort = jack_port_register(client, kJackVoicePortName, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
  SongPorts[0] = jack_port_register(client, kJackSongPortNames[0], JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  SongPorts[1] = jack_port_register(client, kJackSongPortNames[1], JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  bool ok = VoicePort != nullptr && SongPorts[0] != nullptr && SongPorts[1] != nullptr;
  if (!ok) reason = "the JACK audio ports could not be registered";

  if (ok && !Bypass) {
    int error = 0;
    uint32_t captureReach = 0;
    CaptureConverter = MakeConverter(Options.ResamplerType, CaptureRatio, captureReach, error);
    if (CaptureConverter != nullptr) {
      PlaybackConverter = MakeConverter(Options.PlaybackResamplerType, PlaybackRatio, PlaybackReach, error);
    }
    ok = CaptureConverter != nullptr && PlaybackConverter != nullptr;
    if (!ok) reason = std::string("the resampler could not be made: ") + src_strerror(error);
  }
  if (ok) {
    MaxFrames = std::max<uint32_t>(kLongestPeriod, jack_get_buffer_size(client));
    const auto captured = static_cast<size_t>(std::ceil(MaxFrames * CaptureRatio)) + kConverterSlack;
    const auto taken = static_cast<size_t>(std::ceil(MaxFrames / PlaybackRatio)) + kConverterSlack;
    CaptureFloat.assign(captured, 0.0f);
    CaptureSamples.assign(std::max<size_t>(captured, MaxFrames), 0);
    PlaySamples.assign(std::max<size_t>(taken, MaxFrames), 0);
    Stage.assign(taken, 0.0f);
  }
  if (ok && Options.MidiEvents != nullptr) {
    Midi = std::make_unique<JackMidiIn>(*Options.MidiEvents);
    ok = Midi->Attach(client, reason);
    if (!ok) Midi.reset();
  }
  if (ok) {
    ok = jack_set_process_callback(client, &JackSoundSystem::OnProcess, this) == 0 &&
         jack_set_latency_callback(client, &JackSoundSystem::OnLatency, this) == 0 &&
         jack_set_xrun_callback(client, &JackSoundSystem::OnXrun, this) == 0 &&
         jack_set_thread_init_callback(client, &JackSoundSystem::OnThreadInit, this) == 0;
    if (!ok) reason = "the JACK callbacks could not be set";
  }
  if (!ok) {
    Disconnect();
    return false;
  }
  jack_on_info_shutdown(client, &JackSoundSystem::OnShutdown, this);
  return true;
}

bool JackSoundSystem::Reconnect(std::string& reason) {
  if (CaptureDevice.Opened || PlaybackDevice.Opened) {
    reason = "the sound devices are still open";
    return false;
  }
  const bool lost = ServerGone();
  Disconnect();
  if (Connect(reason)) return true;
  // Connect cleared the flag for its attempt; the server is still away.
  if (lost) Gone.store(true, std::memory_order_release);
  return false;
}

bool JackSoundSystem::Activate() {
  if (Active) return true;
  if (Client == nullptr || ServerGone()) return false;
  if (jack_activate(Client) != 0) return false;
  Active = true;
  ConnectPorts();
  if (Midi) Midi->Start();
  ReadLatencies();
  return true;
}

void JackSoundSystem::ConnectPorts() {
  // Failures are left as they are: the user can still connect by hand.
  std::string source;
  if (!Options.CapturePort.empty()) {
    if (jack_port_t* port = NamedAudioPort(Client, Options.CapturePort, JackPortIsOutput, "capture")) {
      source = jack_port_name(port);
    }
  }
  if (source.empty()) {
    if (const char** sources =
            jack_get_ports(Client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsOutput)) {
      if (sources[0] != nullptr) source = sources[0];
      jack_free(sources);
    }
  }
  if (!source.empty()) jack_connect(Client, source.c_str(), jack_port_name(VoicePort));

  // One output port takes only the left: both would double the song.
  std::string sinks[2];
  if (!Options.PlaybackPort.empty()) {
    if (jack_port_t* port = NamedAudioPort(Client, Options.PlaybackPort, JackPortIsInput, "playback")) {
      sinks[0] = jack_port_name(port);
      sinks[1] = NextInputPortOfClient(Client, sinks[0]);
    }
  }
  if (sinks[0].empty()) {
    if (const char** physical =
            jack_get_ports(Client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput)) {
      for (int i = 0; i < 2 && physical[i] != nullptr; ++i) sinks[i] = physical[i];
      jack_free(physical);
    }
  }
  for (int i = 0; i < 2; ++i) {
    if (!sinks[i].empty()) jack_connect(Client, jack_port_name(SongPorts[i]), sinks[i].c_str());
  }
}

void JackSoundSystem::Disconnect() {
  if (Client == nullptr) return;
  // Deactivating ends the process callback; on a server that has gone it
  // has ended already, and the client is only freed, which makes libjack
  // complain once per step that there is no server: that is known here.
  const bool gone = ServerGone();
  {
    std::optional<JackMessagesSilenced> quiet;
    if (gone) quiet.emplace();
    if (Active && !gone) jack_deactivate(Client);
    if (Active && gone) AwaitJackThreadEnd(ProcessTid.load(std::memory_order_acquire));
    if (Midi) Midi->Close();
    Midi.reset();
    jack_client_close(Client);
  }
  Client = nullptr;
  VoicePort = nullptr;
  SongPorts[0] = SongPorts[1] = nullptr;
  Active = false;
  if (CaptureConverter != nullptr) src_delete(CaptureConverter);
  if (PlaybackConverter != nullptr) src_delete(PlaybackConverter);
  CaptureConverter = PlaybackConverter = nullptr;
  StageCount = StageUsed = 0;
  CaptureFramesIn = CaptureFramesOut = SongFramesTaken = SongFramesPlayed = 0;
}

void JackSoundSystem::ReadLatencies() {
  jack_latency_range_t range{};
  jack_port_get_latency_range(VoicePort, JackCaptureLatency, &range);
  CaptureLatency.store(range.max, std::memory_order_relaxed);
  uint32_t playback = 0;
  for (jack_port_t* port : SongPorts) {
    jack_port_get_latency_range(port, JackPlaybackLatency, &range);
    playback = std::max(playback, range.max);
  }
  PlaybackLatency.store(playback, std::memory_order_relaxed);
}

std::string JackSoundSystem::ClientName() const { return Client != nullptr ? jack_get_client_name(Client) : ""; }

jack_native_thread_t JackSoundSystem::ProcessThread() const {
  return Client != nullptr && Active ? jack_client_thread_id(Client) : jack_native_thread_t{};
}

JackCounters JackSoundSystem::Counters() const {
  JackCounters c{};
  c.SampleRate = Client != nullptr ? Rate : 0;
  c.Period = Period.load(std::memory_order_relaxed);
  c.Cycles = Cycles.load(std::memory_order_relaxed);
  c.CallbackNs = CallbackNs.load(std::memory_order_relaxed);
  c.LongestCallbackNs = LongestCallbackNs.load(std::memory_order_relaxed);
  c.Xruns = Xruns.load(std::memory_order_relaxed);
  c.OversizedCycles = OversizedCycles.load(std::memory_order_relaxed);
  c.EngineWaitsMissed = EngineWaitsMissed.load(std::memory_order_relaxed);
  c.CaptureLatency = CaptureLatency.load(std::memory_order_relaxed);
  c.PlaybackLatency = PlaybackLatency.load(std::memory_order_relaxed);
  c.CaptureIdleFrames = CaptureDevice.Buffers.IdleFrames();
  c.PlaybackIdleFrames = PlaybackDevice.Buffers.IdleFrames();
  c.CaptureBuffersDone = CaptureDevice.Buffers.BuffersDone();
  c.PlaybackBuffersDone = PlaybackDevice.Buffers.BuffersDone();
  return c;
}

// ---------------------------------------------------------------- callbacks

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
    return std::llround(firstOutUs + (static_cast<double>(taken) / kSampleRate -
                                      static_cast<double>(SongFramesPlayed) / Rate) * 1e6);
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

// SPDX-License-Identifier: GPL-3.0-or-later
// The JACK client behind the devices: the client and its ports, the
// connections made at activation, the reconnection after the server went
// away, and the latencies and counters read from it.
#include "devices/JackDevices.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

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

// The port called name (or known by that alias) when it is an audio port
// with the direction flag asked for (JackPortIsOutput: it sends sound);
// else null, with why in one line on stderr.
jack_port_t* NamedAudioPort(jack_client_t* client, const std::string& name, unsigned long direction, const char* what) {
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

}  // namespace

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

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's capture and playback devices on one JACK client, "Sorvane",
// which joins a running server (it never starts one) with the ports
//   Voice In     audio input, the voice
//   Song Out L   audio output, the song
//   Song Out R   audio output, the same song, so a stereo interface plays it
//                in both ears
//   MIDI In      MIDI input (JackMidiIn on this client), when asked for.
//
// Both devices share the client: the first Open (or Connect) opens it and
// registers the ports, it is activated once both devices are open (or at the
// first Start, or the first playback buffer), and the last Close closes it.
// At activation Voice In is connected to the first physical capture port,
// Song Out L and R to the first two physical playback ports (only L when
// there is one) and every physical MIDI source to MIDI In; connections the
// user makes or breaks later are left alone. A capture or playback port
// named in the options takes the place of the physical one: Song Out L goes
// to the named playback port and R to the next port of the same client
// (none when it is the last); a name that is no such port is reported in
// one line on stderr and the physical ports are used.
//
// The engine runs at 22050 Hz whatever the server's rate and period: the
// process callback resamples the voice to 22050 Hz and the song to the
// server's rate with libsamplerate (both converters made before the client
// is activated; at 22050 Hz they are bypassed). The callback only converts
// samples, moves them through each device's BufferQueue, updates atomics and
// posts completions to the AudioEventQueue: no allocation, lock, log or
// system call that may block. With AwaitEngine it also spins, a bounded
// time, for the engine to answer a capture buffer it completed.
//
// Times (WaveHeader::FirstSampleAtUs) are on JACK's microsecond clock
// (jack_get_time) for both devices: capture, when the buffer's first sample
// reached the physical input; playback, when it leaves the physical output.
// They count the ports' latencies as the server reports them and what the
// converters hold, so the difference between an output buffer and the
// capture buffer it was made from is the true input-to-output delay.
//
// Reset and Close first keep the process callback off the device's queue
// (an atomic gate the callback passes in and out of each cycle; the engine
// thread waits at most for the cycle in progress), then hand every queued
// buffer back as done, oldest first. After a reset playback goes on from
// the next queued buffer; capture needs Start.
//
// When the server goes away ServerGone() turns true: the callback no longer
// runs, Start and Open fail, and Reset and Close return every buffer at once
// without waiting for anything. Queued buffers stay queued until then.
#pragma once

#include <jack/jack.h>
#include <samplerate.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/BufferQueue.h"
#include "audio/Device.h"
#include "audio/EventQueue.h"

namespace sorvane {

class JackMidiIn;

inline constexpr char kJackClientName[] = "Sorvane";
inline constexpr char kJackVoicePortName[] = "Voice In";
inline constexpr char kJackSongPortNames[2][11] = {"Song Out L", "Song Out R"};

struct JackSoundOptions {
  // The server to join; empty: libjack's default (JACK_DEFAULT_SERVER).
  std::string ServerName;
  // The MIDI input's queue, normally the devices' own; null: no MIDI port.
  AudioEventQueue* MidiEvents = nullptr;
  // libsamplerate's converters for server rates other than 22050 Hz. The
  // voice's keeps the whole band the analysis hears (its high band reaches
  // 11 kHz); the song's is the fastest sinc, flat to 80 % of 11025 Hz, which
  // holds the song back less and costs less than the medium one (the figures
  // are in docs/latency.md).
  int ResamplerType = SRC_SINC_MEDIUM_QUALITY;
  int PlaybackResamplerType = SRC_SINC_FASTEST;
  // The voice's converter of the low-latency mode: the fastest sinc too.
  static constexpr int kLowLatencyResamplerType = SRC_SINC_FASTEST;
  // A playback buffer is done once handed to the ports, not once played
  // (BufferQueue::SetDoneOnHandOut).
  bool DoneOnHandOut = false;
  // A cycle that completes a capture buffer waits, before it plays, for the
  // engine to have handled it (at most a quarter of the period, and 2 ms),
  // so that the block's song leaves in the same cycle instead of the next.
  // Should the engine answer late, the silence played meanwhile is skipped
  // from the song when it comes (BufferQueue::Play's songLate).
  bool AwaitEngine = false;
  // The port Voice In takes the voice from, and the playback port Song
  // Out L goes to ("client:port"); empty: the first physical ones.
  std::string CapturePort;
  std::string PlaybackPort;
};

// What the client has seen, for reports and tests.
struct JackCounters {
  uint32_t SampleRate;  // server's rate, Hz; 0 while no client is open
  uint32_t Period;      // frames per cycle
  uint64_t Cycles;      // process callbacks
  uint64_t CallbackNs;  // time spent in them
  uint64_t LongestCallbackNs;
  uint64_t Xruns;               // as the server reports them
  uint64_t OversizedCycles;     // periods longer than the converters were sized for: silence
  uint64_t EngineWaitsMissed;   // AwaitEngine: the engine was not done in time
  uint32_t CaptureLatency;      // frames the server reports at Voice In
  uint32_t PlaybackLatency;     // frames the server reports at Song Out
  uint64_t CaptureIdleFrames;   // captured (22050 Hz) while no buffer was queued
  uint64_t PlaybackIdleFrames;  // silence played (22050 Hz) while no buffer was queued
  uint64_t CaptureBuffersDone;
  uint64_t PlaybackBuffersDone;
};

class JackSoundSystem;

// One of the two devices; owned by its JackSoundSystem.
class JackDevice final : public AudioDevice {
 public:
  JackDevice(JackSoundSystem& system, DeviceKind kind);

  // format: 22050 Hz, mono, 16-bit PCM; anything else is refused.
  bool Open(const WaveFormat& format) override;
  bool Prepare(WaveHeader& header) override { return Buffers.Prepare(header); }
  bool Unprepare(WaveHeader& header) override { return Buffers.Unprepare(header); }
  bool Queue(WaveHeader& header) override;
  bool Start() override;
  bool Reset() override;
  bool Close() override;
  bool IsOpen() const override { return Opened; }

  uint32_t QueuedBuffers() const { return Buffers.Queued(); }

 private:
  friend class JackSoundSystem;
  static void BufferDone(void* self, WaveHeader& header);
  // Process thread: true when the device's queue and converter may be used
  // this cycle; Leave() after.
  bool Enter() noexcept;
  void Leave() noexcept;
  // Engine thread: waits out a cycle in progress and keeps the callback off.
  void Shut();
  void Admit();
  // Engine thread, gate shut: every queued buffer back, converter emptied.
  void ReturnAllAndRewind();

  static constexpr int kGateShut = 0;
  static constexpr int kGateOpen = 1;
  static constexpr int kGateInside = 2;

  JackSoundSystem& System;
  const DeviceKind Kind;
  bool Opened = false;
  std::atomic<int> Gate{kGateShut};
  BufferQueue Buffers;
};

class JackSoundSystem {
 public:
  JackSoundSystem(AudioEventQueue& events, JackSoundOptions options = {});
  // Closes the client; buffers still queued are not reported.
  ~JackSoundSystem();
  JackSoundSystem(const JackSoundSystem&) = delete;
  JackSoundSystem& operator=(const JackSoundSystem&) = delete;

  JackDevice& Capture() { return CaptureDevice; }
  JackDevice& Playback() { return PlaybackDevice; }

  // Opens the client and registers its ports unless that is done; false,
  // with why in reason, when no server answers or a port cannot be made.
  // The devices' Open calls it; calling it first shows early whether JACK
  // is there.
  bool Connect(std::string& reason);
  bool Connected() const { return Client != nullptr; }

  // The server shut the client down (jack_on_info_shutdown). Any thread.
  bool ServerGone() const { return Gone.load(std::memory_order_acquire); }
  // The sound system's view of it: ServerGone until Reconnect succeeds.
  bool ServerLost() const { return ServerGone(); }
  // Both devices closed: drops the dead client and opens a new one without
  // starting a server (libjack answers at once when none runs). False with
  // why in reason while no server answers, and ServerLost stays true.
  bool Reconnect(std::string& reason);
  // The client's name as the server knows it ("Sorvane", or "Sorvane-01"
  // when that is taken); empty while none is open.
  std::string ClientName() const;
  // The thread that runs the process callback (for tests); 0 while inactive.
  jack_native_thread_t ProcessThread() const;
  JackCounters Counters() const;

 private:
  friend class JackDevice;
  static int OnProcess(jack_nframes_t frames, void* self);
  static void OnShutdown(jack_status_t code, const char* reason, void* self);
  static void OnLatency(jack_latency_callback_mode_t mode, void* self);
  static int OnXrun(void* self);
  static void OnThreadInit(void* self);

  void CaptureCycle(jack_nframes_t frames, double cycleUs) noexcept;
  // The engine has not yet handled the events posted when the cycle last
  // waited (AwaitedEvents).
  bool EngineBehind() const noexcept;
  // Spins while EngineBehind, or until deadlineNs; false on the deadline.
  bool AwaitEngine(int64_t deadlineNs) const noexcept;
  // songLate: the engine has not yet answered the capture buffer the cycle
  // waited for last.
  void PlaybackCycle(jack_nframes_t frames, double cycleUs, bool songLate) noexcept;
  void ReadLatencies();
  // Engine thread: activates once and makes the connections.
  bool Activate();
  // Engine thread, at activation: the connections made once.
  void ConnectPorts();
  // Engine thread, both devices closed: deactivates and closes the client.
  void Disconnect();

  AudioEventQueue& Events;
  const JackSoundOptions Options;
  JackDevice CaptureDevice;
  JackDevice PlaybackDevice;

  jack_client_t* Client = nullptr;
  jack_port_t* VoicePort = nullptr;
  jack_port_t* SongPorts[2] = {};
  std::unique_ptr<JackMidiIn> Midi;
  bool Active = false;
  std::atomic<bool> Gone{false};
  // The kernel's id of the thread running the process callback; 0 before
  // it started.
  std::atomic<pid_t> ProcessTid{0};

  // Fixed while the client is open.
  uint32_t Rate = 0;
  bool Bypass = true;          // the server runs at 22050 Hz
  double CaptureRatio = 1;     // 22050 / server rate
  double PlaybackRatio = 1;    // server rate / 22050
  uint32_t MaxFrames = 0;      // longest period the scratch areas take
  uint32_t PlaybackReach = 0;  // song frames the playback converter holds beyond its output
  SRC_STATE* CaptureConverter = nullptr;
  SRC_STATE* PlaybackConverter = nullptr;
  // Process thread only (or the engine thread while the device's gate is
  // shut). Capture: converted voice, as float and as 16-bit. Playback: the
  // song at 22050 Hz, as taken from the queue and as float still to be
  // converted (StageUsed of StageCount consumed).
  std::vector<float> CaptureFloat;
  std::vector<int16_t> CaptureSamples;
  std::vector<int16_t> PlaySamples;
  std::vector<float> Stage;
  uint32_t StageCount = 0;
  uint32_t StageUsed = 0;
  // Frames since the device's converter was last emptied: into and out of
  // the capture converter, taken from the playback queue and played.
  int64_t CaptureFramesIn = 0;
  int64_t CaptureFramesOut = 0;
  int64_t SongFramesTaken = 0;
  int64_t SongFramesPlayed = 0;
  // AwaitEngine: the events posted when the cycle last waited (process
  // thread only).
  size_t AwaitedEvents = 0;

  std::atomic<uint32_t> CaptureLatency{0};
  std::atomic<uint32_t> PlaybackLatency{0};
  std::atomic<uint32_t> Period{0};
  alignas(64) std::atomic<uint64_t> Cycles{0};
  std::atomic<uint64_t> CallbackNs{0};
  std::atomic<uint64_t> LongestCallbackNs{0};
  std::atomic<uint64_t> Xruns{0};
  std::atomic<uint64_t> OversizedCycles{0};
  std::atomic<uint64_t> EngineWaitsMissed{0};
};

// A JACK sound system with its client already open, or null with why in
// reason (no server running, ports refused). The devices post their
// completions to events; MIDI In is made when options.MidiEvents is set.
std::unique_ptr<JackSoundSystem> OpenJackSoundSystem(AudioEventQueue& events, std::string& reason,
                                                     JackSoundOptions options = {});

}  // namespace sorvane

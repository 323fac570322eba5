// SPDX-License-Identifier: GPL-3.0-or-later
// The vocoder engine: one record that owns all engine state, and the
// handlers that run on the engine's event thread: device completion events,
// note changes, control changes, phrase and take commands, and the close
// handshake. The desktop program and the offline renderer drive the same
// functions; only the devices and the event loop differ.
#pragma once

#include <pthread.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "audio/Device.h"
#include "audio/EventQueue.h"
#include "core/Interface.h"
#include "core/Reporter.h"
#include "dsp/FrameAnalyser.h"
#include "engine/Levels.h"
#include "keyboard/MidiNotes.h"
#include "phrase/PhraseStore.h"
#include "synth/Synth.h"
#include "synth/Voices.h"
#include "wavfile/TakeRecorder.h"
#include "wavfile/WaveFile.h"

namespace sorvane {

// Buffers each way: about one second of capture blocks, which absorbs the
// stalls of the event loop.
inline constexpr int kRingSize = 101;
// A capture buffer is one block of 16-bit samples; its area has 8 bytes more.
inline constexpr int kCaptureBufferBytes = kBlockSamples * 2;
inline constexpr int kCaptureAreaBytes = 448;
static_assert(kCaptureAreaBytes >= kCaptureBufferBytes && kCaptureAreaBytes % 2 == 0);
// One sample more than the longest output block.
inline constexpr int kPlaybackAreaSamples = kMaxBlockSamples + 1;
static_assert(kPlaybackAreaSamples == 243);
inline constexpr int kWarmUpBlocks = 100;

// The rate control's band for the playback queue: at or below Low it
// lengthens blocks, at or above High it shortens them, and it returns to
// normal blocks once the queue has come back to Target; a capture block
// that finds DropDepth or more buffers queued is dropped.
struct QueueBand {
  int32_t Low;
  int32_t Target;
  int32_t High;
  int32_t DropDepth;
};
// Normal mode: the queue is steered into 8 to 12 buffers.
inline constexpr QueueBand kNormalBand{7, 10, 13, 16};
// Low-latency mode: the same band and gate moved down to 1 to 3 buffers.
inline constexpr QueueBand kLowLatencyBand{0, 2, 4, 7};
constexpr QueueBand BandFor(LatencyMode mode) { return mode == LatencyMode::Low ? kLowLatencyBand : kNormalBand; }
constexpr bool ValidBand(const QueueBand& band) {
  return band.Low < band.Target && band.Target < band.High && band.High < band.DropDepth;
}
static_assert(ValidBand(kNormalBand) && ValidBand(kLowLatencyBand));
// The deepest drop gate: with at most that many buffers out, the header at
// PlaybackIndex has always come back before it is used again.
inline constexpr int kDropQueueDepth = kNormalBand.DropDepth;
static_assert(kLowLatencyBand.DropDepth <= kDropQueueDepth && kDropQueueDepth < kRingSize);
// The engine's sound and the WAV files it reads and writes share one rate.
static_assert(static_cast<int>(kWaveSampleRate) == kSampleRate);

struct BufferRing {
  std::array<WaveHeader, kRingSize> CaptureHeaders;
  std::array<WaveHeader, kRingSize> PlaybackHeaders;
  alignas(16) std::array<std::array<int16_t, kCaptureAreaBytes / 2>, kRingSize> CaptureAreas;
  alignas(16) std::array<std::array<int16_t, kPlaybackAreaSamples>, kRingSize> PlaybackAreas;
  int32_t CaptureIndex;
  int32_t PlaybackIndex;
  int32_t CaptureQueued;
  int32_t PlaybackQueued;
};

enum RateStateValue : int32_t { kWarmUp = 0, kSteady = 1, kLengthen = 2, kShorten = 3 };

struct RateControl {
  int32_t RateState;
  int32_t WarmUpCount;
  int32_t BlockLength;
  QueueBand Band = kNormalBand;
};

// The rate-control step for one processed block; q is PlaybackQueued.
// Sets and returns BlockLength.
int32_t RateControlStep(RateControl& rate, int32_t q);

// The engine's lock: a recursive mutex that knows how deep its owner holds
// it, so that the owner can let go of it entirely while a modal box runs
// (EngineLockRelease) and the engine's own thread goes on with the blocks.
// It inherits priority: while the engine's real-time thread waits for it,
// the window's thread that holds it runs at the engine's priority, so a
// busy machine cannot keep the holder, and with it the next block, waiting.
class EngineMutex {
 public:
  EngineMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    if (pthread_mutex_init(&Mutex, &attributes) != 0) {
      // A system without priority-inheriting mutexes: an ordinary one.
      pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_NONE);
      pthread_mutex_init(&Mutex, &attributes);
    }
    pthread_mutexattr_destroy(&attributes);
  }
  ~EngineMutex() { pthread_mutex_destroy(&Mutex); }
  EngineMutex(const EngineMutex&) = delete;
  EngineMutex& operator=(const EngineMutex&) = delete;

  void lock() {
    pthread_mutex_lock(&Mutex);
    Owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    ++Depth;
  }
  bool try_lock() {
    if (pthread_mutex_trylock(&Mutex) != 0) return false;
    Owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    ++Depth;
    return true;
  }
  void unlock() {
    if (--Depth == 0) Owner.store(std::thread::id(), std::memory_order_relaxed);
    pthread_mutex_unlock(&Mutex);
  }
  // How deep the calling thread holds the lock (0: not at all).
  int HeldDepth() const { return Owner.load(std::memory_order_relaxed) == std::this_thread::get_id() ? Depth : 0; }

 private:
  pthread_mutex_t Mutex;
  std::atomic<std::thread::id> Owner{};
  int Depth = 0;  // the owner's, changed with the mutex held
};

// Lets go of the engine's lock for a scope, however deep the calling thread
// holds it, and takes it again as deep at the end; nothing when the thread
// does not hold it. For a modal box shown from inside an engine handler:
// while it runs, other threads may run the engine's handlers, as the
// box's own event loop did when everything ran on one thread.
class EngineLockRelease {
 public:
  explicit EngineLockRelease(EngineMutex& mutex) : Mutex(mutex), Depth(mutex.HeldDepth()) {
    for (int i = 0; i < Depth; ++i) Mutex.unlock();
  }
  ~EngineLockRelease() {
    for (int i = 0; i < Depth; ++i) Mutex.lock();
  }
  EngineLockRelease(const EngineLockRelease&) = delete;
  EngineLockRelease& operator=(const EngineLockRelease&) = delete;

 private:
  EngineMutex& Mutex;
  const int Depth;
};

// What the last capture event did, for reports and tests.
struct CaptureReport {
  int32_t QueuedAtGate;  // PlaybackQueued as the drop gate saw it
  bool Dropped;
  int32_t BlockLength;  // 0 when dropped
};

// The window side of the engine: notifications the program shows.
class EngineHost : public Interface {
 public:
  virtual void KeyColourChanged(int32_t /*key*/, bool /*sounding*/) {}
  virtual void PhraseButtonsChanged(const PhraseButtons& /*buttons*/) {}
  virtual void TakeChanged(bool /*recording*/) {}
  // Capture has started: the key watchdog's timer may run.
  virtual void AudioStarted() {}
  // The same request as the Exit button; made by CloseCheck.
  virtual void RequestClose() {}
};

struct EngineState {
  AudioDevice* CaptureDevice = nullptr;   // owned by the caller
  AudioDevice* PlaybackDevice = nullptr;  // owned by the caller
  EngineHost* Host = nullptr;             // never null once created

  BufferRing Ring;
  RateControl Rate;
  bool Running;
  bool Closing;
  bool CloseReady;
  bool Suspended;  // the sound server went away: SuspendAudio until ResumeAudio
  LatencyMode Latency = LatencyMode::Normal;

  EngineParams Params;
  PanelSwitches Switches;
  bool CtrlHeld;

  AnalysisState Analysis;
  FrameAnalysis Frame;  // the last analysed block, read by synthesis and phrase capture
  VoicePool Pool;
  SynthState Synth;
  PhraseState Phrase;
  PhraseStore Store;
  TakeRecorder Take;
  CaptureReport LastCapture;
  // Capture blocks handled while running, and those the drop gate dropped
  // (not counting those of a close or a suspension).
  uint64_t HandledBlocks;
  uint64_t DroppedBlocks;
  // The voice's and the song's levels of the handled blocks.
  LevelMeters Levels;

  // Held by every handler that touches the engine; the close request made
  // inside a device handler and nested message loops re-enter it.
  EngineMutex EngineLock;
};

// The engine's error box: "Sorvane ERROR!" or "Sorvane エラー" by
// LanguageJapanese() (core/Reporter.h), shown through the process-wide error
// box. A message that is already showing is not shown again inside its own box.
void ShowError(const char* message);

// Puts the engine in its start-up state: voices free, tables built, default
// settings (impulse, "Mid", depth 30, rate 10 Hz, echo 0 % / 100 ms).
// host may be null (no notifications).
void CreateEngine(EngineState& engine, EngineHost* host);

// Chooses the playback queue's band; before OpenAudio. CreateEngine
// chooses the normal mode.
void SetLatencyMode(EngineState& engine, LatencyMode mode);

// Opens both devices, queues all capture buffers and starts capture.
// Failures are shown with ShowError and leave the engine not running.
void OpenAudio(EngineState& engine);

// The sound server went away; the window and a running take stay. Resets
// both devices where open, so that every queued buffer comes back as a done
// event and is dropped, as during a close; once both queued counts are 0
// the devices are closed instead of the window. Running is false from here
// on. Does nothing while closing or already suspended. A close request
// meanwhile closes as usual, at once when nothing is out.
void SuspendAudio(EngineState& engine);
// Suspended, every buffer back and both devices closed: the connection to
// the sound server may be renewed and ResumeAudio tried.
bool SuspendSettled(const EngineState& engine);
// OpenAudio's steps again after SuspendAudio, with the rate control back
// in warm-up: null when the sound runs again (a running take goes on),
// else what failed, shown to nobody: the devices are reset and closed as
// by SuspendAudio, and a later call tries again. Also refuses while the
// suspension is not settled. Does nothing, returning null, when not
// suspended.
const char* ResumeAudio(EngineState& engine);

void OnCaptureDone(EngineState& engine, WaveHeader& header);
void OnPlaybackDone(EngineState& engine, WaveHeader& header);
// The engine as the target of device completion events, for whoever drains
// them (the event queue, the virtual devices' loop): a capture buffer goes
// to OnCaptureDone, a playback buffer to OnPlaybackDone.
EventTarget EngineEvents(EngineState& engine);
void CloseCheck(EngineState& engine);

// The close request's audio steps: resets the devices, sets Closing, and
// returns whether the window may close now.
bool CloseQuery(EngineState& engine);
// The close's audio steps: completes a running take, then resets and closes
// both devices.
void CloseAudio(EngineState& engine);

// A key pressed or released (mouse, PC key, watchdog, MIDI): under
// EngineLock. velocity (1-127) is a MIDI note's; mouse and PC keys play at
// kFullVelocity. It sets the voice's level only with velocity on. With a
// glide time the new voice glides from the last note started.
void KeyNoteOn(EngineState& engine, int32_t key, int32_t velocity = kFullVelocity);
void KeyNoteOff(EngineState& engine, int32_t key);
// The same for an engine that only one thread ever touches (the plugin's,
// whose host runs it on its audio thread): no lock is taken.
void KeyNoteOnUnlocked(EngineState& engine, int32_t key, int32_t velocity = kFullVelocity);
void KeyNoteOffUnlocked(EngineState& engine, int32_t key);

// The control panel's settings. Window, renderer and tests change them only
// through these, between blocks; the next block uses the new value.
// Waveform selected: stores it and restarts every voice.
void SelectWaveform(EngineState& engine, int32_t waveform);
void SetOctave(EngineState& engine, int32_t octave);   // 0 "Ultra Low" .. 3 "High"
void SetModDepth(EngineState& engine, int32_t depth);  // 0..100
void SetModRate(EngineState& engine, int32_t hz);      // 1..20
void SetModShape(EngineState& engine, bool triangle);  // false: square
void SetModAlwaysOn(EngineState& engine, bool on);
void SetCtrlHeld(EngineState& engine, bool held);
void SetEchoLevel(EngineState& engine, int32_t level);  // 0..100
void SetEchoDelayMs(EngineState& engine, int32_t ms);   // 50..200
void SetEmphasis(EngineState& engine, bool on);
// The song's level before the output saturation, kOutputLevelMinDb to
// kOutputLevelMaxDb in 1-dB steps; 0 dB (the start-up value) changes nothing.
void SetOutputLevel(EngineState& engine, int32_t db);
// Expression. The pitch bend of MIDI (kMinPitchBend..kMaxPitchBend, 0 at
// rest) bends every sounding voice; the next block moves to it from the
// bend before, so the pitch slides without a click. The bend range in
// semitones (kMinBendRange..kMaxBendRange, 2 at start-up), the glide time
// (0, none, to kMaxGlideMs) and velocity sensitivity (off at start-up) are
// settings like the others; at their start-up values and without a bend
// the song is exactly what it was before they existed.
void SetPitchBend(EngineState& engine, int32_t bend);
void SetBendRange(EngineState& engine, int32_t semitones);
void SetGlideMs(EngineState& engine, int32_t ms);
void SetVelocityOn(EngineState& engine, bool on);
// The control a MIDI controller drives, set to value within its range
// (kMidiControlRanges) by the Set function above that the control's scroll
// bar calls.
void SetMidiControl(EngineState& engine, MidiControl control, int32_t value);

// Phrase mode on or off, and a new capture; both tell the host the new
// state of the phrase buttons.
void SetPhraseOn(EngineState& engine, bool on);
void EngineStartPhraseCapture(EngineState& engine);
// Phrase load as two halves around the file dialog: replay mode first (even
// when the dialog is cancelled), then the file.
void PhraseLoadBegin(EngineState& engine);
bool PhraseLoadFile(EngineState& engine, const char* path);
bool PhraseSaveFile(EngineState& engine, const char* path);

// The record button: starts a take in directory, or stops the running one.
void ToggleTake(EngineState& engine, const char* directory);
void EngineStopTake(EngineState& engine);

}  // namespace sorvane

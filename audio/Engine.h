// The vocoder engine: one record that owns all engine state, and the
// handlers that run on the engine's event thread: device completion events,
// note changes, control changes, phrase and take commands, and the close
// handshake. The desktop program and the offline renderer drive the same
// functions; only the devices and the event loop differ.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "audio/Device.h"
#include "core/Reporter.h"
#include "dsp/FrameAnalyser.h"
#include "phrase/PhraseStore.h"
#include "synth/Synth.h"
#include "synth/Voices.h"
#include "wavfile/TakeRecorder.h"

namespace sorvane {

inline constexpr int kRingSize = 101;              // buffers each way
inline constexpr int kCaptureAreaBytes = 448;
inline constexpr int kPlaybackAreaSamples = 243;   // one more than the longest block
inline constexpr int kCaptureBufferBytes = kBlockSamples * 2;
inline constexpr int kDropQueueDepth = 16;         // playback buffers that make the gate drop
inline constexpr int kWarmUpBlocks = 100;
inline constexpr int kBlockLengthNormal = 220;
inline constexpr int kBlockLengthLong = 242;       // +10 %
inline constexpr int kBlockLengthShort = 198;      // -10 %

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
};

// The rate-control step for one processed block; q is PlaybackQueued.
// Sets and returns BlockLength.
int32_t RateControlStep(RateControl& rate, int32_t q);

// What the last capture event did, for reports and tests.
struct CaptureReport {
  int32_t QueuedAtGate;  // PlaybackQueued as the drop gate saw it
  bool Dropped;
  int32_t BlockLength;   // 0 when dropped
};

// The window side of the engine: notifications the program shows.
class EngineHost {
 public:
  EngineHost() = default;
  EngineHost(const EngineHost&) = delete;
  EngineHost& operator=(const EngineHost&) = delete;
  virtual ~EngineHost() = default;
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

  EngineParams Params;
  PanelSwitches Switches;
  bool CtrlHeld;

  AnalysisState Analysis;
  VoicePool Pool;
  SynthState Synth;
  PhraseState Phrase;
  PhraseStore Store;
  TakeRecorder Take;
  CaptureReport LastCapture;

  // Held by every handler that touches the engine; the close request made
  // inside a device handler and nested message loops re-enter it.
  std::recursive_mutex EngineLock;
};

// The engine's error box: "Sorvane ERROR!" or "Sorvane エラー" by
// LanguageJapanese() (core/Reporter.h), shown through the process-wide error
// box. A message that is already showing is not shown again inside its own box.
void ShowError(const char* message);

// Puts the engine in its start-up state: voices free, tables built, default
// settings (impulse, "Mid", depth 30, rate 10 Hz, echo 0 % / 100 ms).
// host may be null (no notifications).
void CreateEngine(EngineState& engine, EngineHost* host);

// Opens both devices, queues all capture buffers and starts capture.
// Failures are shown with ShowError and leave the engine not running.
void OpenAudio(EngineState& engine);

void OnCaptureDone(EngineState& engine, WaveHeader& header);
void OnPlaybackDone(EngineState& engine, WaveHeader& header);
void CloseCheck(EngineState& engine);

// The close request's audio steps: resets the devices, sets Closing, and
// returns whether the window may close now.
bool CloseQuery(EngineState& engine);
// The close's audio steps: completes a running take, then resets and closes
// both devices.
void CloseAudio(EngineState& engine);

// A key pressed or released (mouse, PC key, watchdog): under EngineLock.
void KeyNoteOn(EngineState& engine, int32_t key);
void KeyNoteOff(EngineState& engine, int32_t key);

// Waveform selected: stores it and restarts every voice.
void SelectWaveform(EngineState& engine, int32_t waveform);

void PhraseOnClick(EngineState& engine, bool checked);
void PhraseRecClick(EngineState& engine);
// Phrase load as two halves around the file dialog: replay mode first (even
// when the dialog is cancelled), then the file.
void PhraseLoadBegin(EngineState& engine);
bool PhraseLoadFile(EngineState& engine, const char* path);
bool PhraseSaveFile(EngineState& engine, const char* path);

// The record button: starts a take in directory, or stops the running one.
void RecordClick(EngineState& engine, const char* directory);
void EngineStopTake(EngineState& engine);

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// What the renderer's live mode does with each device event and counts for
// its summary: the script applied before each capture event, the report
// line of every block, the queue band, the input-to-output delays and the
// song's clipped samples (from the engine's level meters).
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "devices/SoundSystem.h"
#include "engine/Engine.h"
#include "tools/render/RunOutputs.h"
#include "tools/render/Script.h"

namespace sorvane {

// The delays are counted in bins of 0.1 ms up to 10 s, so that the
// summary's median needs no list that grows with the run.
inline constexpr int64_t kDelayBinMicros = 100;
inline constexpr int kDelayBins = 100000;

// Seconds on the steady clock.
inline double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Input-to-output delays (µs): their count, least, greatest and a histogram
// for the median and the other percentiles.
struct DelayCounts {
  std::vector<uint32_t> Bins = std::vector<uint32_t>(kDelayBins);
  int64_t Count = 0;
  int64_t Least = 0;
  int64_t Greatest = 0;

  void Add(int64_t delay) {
    Least = Count == 0 ? delay : std::min(Least, delay);
    Greatest = Count == 0 ? delay : std::max(Greatest, delay);
    ++Count;
    ++Bins[static_cast<size_t>(std::clamp<int64_t>(delay / kDelayBinMicros, 0, kDelayBins - 1))];
  }
  // The delay that percent of the delays do not exceed, to the bin: the
  // middle of its bin, within the range seen.
  int64_t Percentile(int percent) const {
    int64_t seen = 0;
    for (int bin = 0; bin < kDelayBins; ++bin) {
      seen += Bins[static_cast<size_t>(bin)];
      if (seen > Count * percent / 100) {
        return std::clamp(bin * kDelayBinMicros + kDelayBinMicros / 2, Least, Greatest);
      }
    }
    return Greatest;
  }
  int64_t Median() const { return Percentile(50); }
};

// Everything the event loop does per event, and what it counts for the
// summary as it goes, so that nothing grows with the run.
struct LiveLoop {
  EngineState* Engine = nullptr;
  const std::vector<ScriptCommand>* Commands = nullptr;
  size_t NextCommand = 0;
  int64_t Blocks = 0;
  double Start = 0;

  int64_t Handled = 0;  // capture events before the close request
  // Blocks of time while the sound server was gone: they count towards
  // the run's blocks, so that a run ends on time whatever the server does.
  int64_t GoneBlocks = 0;
  bool Closing = false;
  int CaptureAfterClose = 0;
  int PlaybackAfterClose = 0;
  RunOutputs* Outputs = nullptr;
  bool PhraseFileFailed = false;
  int Processed = 0, Dropped = 0, Longer = 0, Shorter = 0;
  int64_t SongSamples = 0;  // samples of the processed blocks' song
  // After warm-up the rate control first has to grow the queue from where
  // it started; it counts as steered from the first block that finds it in
  // the mode's band (8..12, or 1..3 in the low-latency mode).
  int64_t SteeredFrom = -1;
  int MinQueue = 1 << 30, MaxQueue = -1;
  // The playback device's silent frames when the queue was first steered:
  // what it played silent since is where the queue ran dry.
  const SoundSystem* Sound = nullptr;
  uint64_t SilentAtSteered = 0;
  uint64_t SilentAtClose = 0;  // and when the run asked to close
  // Sampling time (µs) of the capture block rendered into each playback
  // header; 0 when the header holds none.
  std::array<uintptr_t, kRingSize> CaptureTimeOf{};
  // Input-to-output delay of each played block, of all of them and of
  // those rendered after the queue was first steered.
  DelayCounts AllDelays;
  DelayCounts SteeredDelays;

  static void Handle(void* context, DeviceKind kind, WaveHeader& header) {
    auto* self = static_cast<LiveLoop*>(context);
    if (kind == DeviceKind::Capture) {
      self->Capture(header);
    } else {
      self->Playback(header);
    }
  }

  void Capture(WaveHeader& header) {
    if (Engine->Suspended && !Closing) {
      // Handed back by the reset of a suspension: no block of the run.
      OnCaptureDone(*Engine, header);
      return;
    }
    if (Closing) {
      ++CaptureAfterClose;
      OnCaptureDone(*Engine, header);
      return;
    }
    const int64_t block = Handled;
    while (NextCommand < Commands->size() && (*Commands)[NextCommand].Block < block) ++NextCommand;
    while (NextCommand < Commands->size() && (*Commands)[NextCommand].Block == block) {
      const int64_t stall = ApplyCommand(*Engine, (*Commands)[NextCommand], &PhraseFileFailed);
      // A stall is the event thread busy elsewhere, here on the real clock.
      // Whole seconds and the rest apart, so that no product can overflow.
      if (stall > 0) {
        const int64_t samples = std::min(stall, kMaxStallSamples);
        std::this_thread::sleep_for(
            std::chrono::microseconds(samples / kSampleRate * 1000000 + samples % kSampleRate * 1000000 / kSampleRate));
      }
      ++NextCommand;
    }
    const int32_t target = Engine->Ring.PlaybackIndex;
    const uintptr_t sampledAt = header.FirstSampleAtUs;
    OnCaptureDone(*Engine, header);
    const CaptureReport& c = Engine->LastCapture;
    if (!c.Dropped) CaptureTimeOf[target] = sampledAt;
    const auto handledAt = static_cast<int64_t>((Now() - Start) * kSampleRate);
    const ReportLine line{static_cast<int32_t>(block),
                          handledAt,
                          c.QueuedAtGate,
                          c.Dropped,
                          c.Dropped ? 0 : c.BlockLength,
                          Engine->Rate.RateState,
                          Engine->Phrase.PhraseMode};
    Outputs->AddReportLine(line);
    Count(line);
    ++Handled;
  }

  void Count(const ReportLine& l) {
    if (l.Dropped) {
      ++Dropped;
      return;
    }
    ++Processed;
    SongSamples += l.Length;
    if (l.Length == kBlockLengthLong) ++Longer;
    if (l.Length == kBlockLengthShort) ++Shorter;
    const QueueBand& band = Engine->Rate.Band;
    if (SteeredFrom < 0 && l.RateState != kWarmUp && l.Queued > band.Low && l.Queued < band.High) {
      SteeredFrom = l.Block;
      if (Sound != nullptr) SilentAtSteered = Sound->Counters(DeviceKind::Playback).IdleFrames;
    }
    if (SteeredFrom >= 0) {
      MinQueue = std::min(MinQueue, l.Queued);
      MaxQueue = std::max(MaxQueue, l.Queued);
    }
  }

  void Playback(WaveHeader& header) {
    const ptrdiff_t index = &header - Engine->Ring.PlaybackHeaders.data();
    if (Closing) {
      ++PlaybackAfterClose;
    } else if (!Engine->Suspended && index >= 0 && index < kRingSize && CaptureTimeOf[index] != 0 &&
               header.FirstSampleAtUs != 0) {
      // Played by the stream (not handed back by a reset): FirstSampleAtUs holds
      // the time its first sample went out.
      const int64_t delay = static_cast<int64_t>(header.FirstSampleAtUs) - static_cast<int64_t>(CaptureTimeOf[index]);
      AllDelays.Add(delay);
      if (SteeredFrom >= 0 && Handled > SteeredFrom) SteeredDelays.Add(delay);
    }
    if (index >= 0 && index < kRingSize) CaptureTimeOf[index] = 0;
    OnPlaybackDone(*Engine, header);
  }
};

// The run's summary on stdout.
void PrintSummary(const LiveLoop& loop, const char* server, const DeviceCounters& in, const DeviceCounters& out,
                  double closeSeconds);

}  // namespace sorvane

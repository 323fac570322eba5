// SPDX-License-Identifier: GPL-3.0-or-later
// The offline renderer: the real engine on a speech file, driven by a
// script, on the virtual device pair and its clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/VirtualDevices.h"
#include "keyboard/MidiNotes.h"
#include "tools/render/InputWave.h"
#include "tools/render/RenderFiles.h"
#include "tools/render/Script.h"
#include "wavfile/Riff.h"

namespace sorvane {

struct RenderOptions {
  std::string Input;
  std::string Output;
  std::string Script;
  std::string Report;
  int64_t Blocks = -1;  // -1: enough blocks to cover the input
  bool Live = false;    // real default devices instead of the virtual pair
  bool Help = false;     // --help or --version: answered before anything else
  bool Version = false;
  std::string Midi;     // a Standard MIDI File to play
  int32_t MidiChannel = kMidiAllChannels;  // 0-15: only that channel of it
  LatencyMode Latency = LatencyMode::Normal;  // --latency normal|low
  int32_t OutputLevelDb = 0;                  // --output-level DB
};

struct MidiSong;

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitWriteFailed = 1;
inline constexpr int kExitBadInput = 2;
// The outputs were written, but a phraseload or phrasesave failed.
inline constexpr int kExitPhraseFileFailed = 4;

// The most capture blocks one run may have. The output must fit a WAV file:
// each block plays at most kBlockLengthLong (242) samples of 2 bytes, and
// 8,000,000 blocks give at most 3,872,000,000 bytes of data, under the
// 4 GiB that a chunk's 32-bit size field can hold with the header.
inline constexpr int64_t kMaxRenderBlocks = 8'000'000;
static_assert(kMaxRenderBlocks * kBlockLengthLong * 2 + 36 <= 0xFFFFFFFFll);

// Parses argv; false with a message on a bad argument. --help and --version
// end the parsing.
bool ParseRenderArguments(int argc, char** argv, RenderOptions& options, std::string& error);

// One line of the report, per handled capture event.
struct ReportLine {
  int32_t Block;
  int64_t HandledAt;
  int32_t Queued;
  bool Dropped;
  int32_t Length;
  int32_t RateState;
  int32_t PhraseMode;
};

std::string ReportHeader();
// One line of the report, with its line feed, as a C string.
inline constexpr size_t kReportLineBytes = 160;
void FormatReportLine(const ReportLine& line, char (&text)[kReportLineBytes]);

// The run's output WAV and report, written as the run goes under temporary
// names beside their final ones, and renamed into place only when both are
// complete and on the disk, so that a failed or interrupted run leaves no
// partial output. Either may be left out (an empty name in the options).
// Memory does not grow with their length.
class RunOutputs final : public VirtualPlaybackSink {
 public:
  RunOutputs() = default;
  RunOutputs(const RunOutputs&) = delete;
  RunOutputs& operator=(const RunOutputs&) = delete;

  // Creates both before the run and writes their headers, so that an output
  // that cannot be written is known at once; false with the message shown.
  bool Open(const RenderOptions& options);
  // What was played, appended to the output WAV.
  void Write(const int16_t* samples, int64_t count) override;
  void AddReportLine(const ReportLine& line);
  // A write has failed: the run may as well stop.
  bool Failed() const { return WaveMessage != nullptr || ReportFailed; }
  // Completes both files, flushes them to the disk, then renames both into
  // place; false with the message shown.
  bool Finish();

 private:
  bool FlushWave();
  bool FlushReport();

  const RenderOptions* Options = nullptr;
  PendingOutput Wave;
  PendingOutput Report;
  RiffFile WaveFile;
  RiffChunk RiffPart{};
  RiffChunk DataPart{};
  std::vector<uint8_t> WaveBuffer;
  std::string ReportBuffer;
  const char* WaveMessage = nullptr;  // the first failing step's WAV message
  bool ReportFailed = false;
};

// Renders on the virtual devices, capture reading from input. Returns the
// exit status. song, when not null, is played after each block's script
// lines.
int RunRender(const RenderOptions& options, InputWave* input, const std::vector<ScriptCommand>& commands,
              const MidiSong* song = nullptr);

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The offline renderer: the real engine on a speech file, driven by a
// script, on the virtual device pair and its clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "keyboard/MidiNotes.h"
#include "tools/render/RenderFiles.h"
#include "tools/render/Script.h"

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
};

struct MidiSong;

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitWriteFailed = 1;
inline constexpr int kExitBadInput = 2;

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
std::string FormatReportLine(const ReportLine& line);
// Writes the report file; false when it cannot be written.
bool WriteReport(const std::string& fileName, const std::vector<ReportLine>& lines);

// The run's output WAV and report, written under temporary names beside
// their final ones and renamed into place only when both are complete, so
// that a failed or interrupted run leaves no partial output. Either may be
// left out (an empty name in the options).
struct RunOutputs {
  PendingOutput Wave;
  PendingOutput Report;
  // Creates both before the run, so that an output that cannot be written
  // is known at once; false with the message shown.
  bool Open(const RenderOptions& options);
  // Writes what was played and the report, then renames both into place;
  // false with the message shown.
  bool Finish(const RenderOptions& options, const std::vector<int16_t>& played, const std::vector<ReportLine>& lines);
};

// Renders on the virtual devices. Returns the exit status.
// song, when not null, is played after each block's script lines.
int RunRender(const RenderOptions& options, const std::vector<int16_t>& input,
              const std::vector<ScriptCommand>& commands, const MidiSong* song = nullptr);

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The renderer's command line: its options, their limits and the exit
// statuses.
#pragma once

#include <cstdint>
#include <string>

#include "engine/Engine.h"
#include "keyboard/MidiNotes.h"

namespace sorvane {

struct RenderOptions {
  std::string Input;
  std::string Output;
  std::string Script;
  std::string Report;
  int64_t Blocks = -1;  // -1: enough blocks to cover the input
  bool Live = false;    // real default devices instead of the virtual pair
  bool Help = false;    // --help or --version: answered before anything else
  bool Version = false;
  std::string Midi;                           // a Standard MIDI File to play
  int32_t MidiChannel = kMidiAllChannels;     // 0-15: only that channel of it
  LatencyMode Latency = LatencyMode::Normal;  // --latency normal|low
  int32_t OutputLevelDb = 0;                  // --output-level DB
  int32_t BendRange = kDefaultBendRange;      // --bend-range N
  int32_t GlideMs = 0;                        // --glide MS
  bool VelocityOn = false;                    // --velocity
};

// Gives the engine the expression settings of the command line.
void ApplyExpressionOptions(EngineState& engine, const RenderOptions& options);

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitWriteFailed = 1;
inline constexpr int kExitBadInput = 2;
// The outputs were written, but a phraseload or phrasesave failed.
inline constexpr int kExitPhraseFileFailed = 4;

// The most capture blocks one run may have. The output must fit a WAV file:
// each block plays at most kBlockLengthLong (242) samples of 2 bytes, and
// 8,000,000 blocks give at most 3,872,000,000 bytes of data, under the
// 4 GiB that a chunk's 32-bit size field can hold with the header. At
// 10 ms a block that is about 22 hours of sound, as the messages say.
inline constexpr int64_t kMaxRenderBlocks = 8'000'000;
static_assert(kMaxRenderBlocks * kBlockLengthLong * 2 + 36 <= 0xFFFFFFFFll);

// Parses argv; false with a message on a bad argument. --help and --version
// end the parsing.
bool ParseRenderArguments(int argc, char** argv, RenderOptions& options, std::string& error);

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The renderer's script: key presses and control changes, each carried out
// just before a given capture event, exactly as the program's handlers do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "keyboard/KeyTable.h"

namespace sorvane {

enum class CommandKind {
  Down,
  Up,
  Waveform,
  Octave,
  ModDepth,
  ModRate,
  ModShape,
  ModAlways,
  Ctrl,
  EchoLevel,
  EchoDelay,
  Emphasis,
  OutputLevel,
  Phrase,
  PhraseRec,
  PhraseLoad,
  PhraseSave,
  Stall,
  Bend,
  BendRange,
  Glide,
  Velocity,
};

// The longest stall: 365 days of samples. It keeps every time on the
// virtual clock, in samples or microseconds, far inside 64 bits.
inline constexpr int64_t kMaxStallSamples = 695'368'800'000;

struct ScriptCommand {
  int64_t Block;
  CommandKind Kind;
  int64_t Value;     // numbers, and 0/1 for the two-way switches
  std::string Path;  // phraseload, phrasesave
  int32_t Line;      // 1-based line in the script
};

// Parses a script; commands come back ordered by block, file order kept
// within a block. On an error returns false with a message that names the
// file and line. blocks is the number of capture events of the run.
bool ParseScript(const std::string& text, const std::string& fileName, int64_t blocks,
                 std::vector<ScriptCommand>& commands, std::string& error);

bool LoadScript(const std::string& fileName, int64_t blocks, std::vector<ScriptCommand>& commands, std::string& error);

// Carries out one command on the engine as the program's control would.
// A stall is returned as its length in samples (0 for every other command).
// A phraseload or phrasesave that fails (its box shown) sets *fileFailed.
int64_t ApplyCommand(EngineState& engine, const ScriptCommand& command, bool* fileFailed = nullptr);

}  // namespace sorvane

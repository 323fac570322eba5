// SPDX-License-Identifier: GPL-3.0-or-later
// Script parsing and the commands' effect on the engine.
#include "tools/render/Script.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "tools/render/RenderFiles.h"

namespace sorvane {
namespace {

struct CommandEntry {
  const char* Name;
  CommandKind Kind;
  enum { Number, Word, Path, None } Argument;
  int64_t Min;
  int64_t Max;
  const char* Word0;  // for Word: the words that give 0 and 1
  const char* Word1;
};

const CommandEntry kCommands[] = {
    {"down", CommandKind::Down, CommandEntry::Number, 0, kKeyCount - 1, nullptr, nullptr},
    {"up", CommandKind::Up, CommandEntry::Number, 0, kKeyCount - 1, nullptr, nullptr},
    {"waveform", CommandKind::Waveform, CommandEntry::Number, 0, 2, nullptr, nullptr},
    {"octave", CommandKind::Octave, CommandEntry::Number, 0, 3, nullptr, nullptr},
    {"moddepth", CommandKind::ModDepth, CommandEntry::Number, 0, 100, nullptr, nullptr},
    {"modrate", CommandKind::ModRate, CommandEntry::Number, 1, 20, nullptr, nullptr},
    {"modshape", CommandKind::ModShape, CommandEntry::Word, 0, 1, "square", "triangle"},
    {"modalways", CommandKind::ModAlways, CommandEntry::Number, 0, 1, nullptr, nullptr},
    {"ctrl", CommandKind::Ctrl, CommandEntry::Number, 0, 1, nullptr, nullptr},
    {"echolevel", CommandKind::EchoLevel, CommandEntry::Number, 0, 100, nullptr, nullptr},
    {"echodelay", CommandKind::EchoDelay, CommandEntry::Number, 50, 200, nullptr, nullptr},
    {"emphasis", CommandKind::Emphasis, CommandEntry::Number, 0, 1, nullptr, nullptr},
    {"outputlevel", CommandKind::OutputLevel, CommandEntry::Number, kOutputLevelMinDb, kOutputLevelMaxDb, nullptr,
     nullptr},
    {"phrase", CommandKind::Phrase, CommandEntry::Word, 0, 1, "off", "on"},
    {"phraserec", CommandKind::PhraseRec, CommandEntry::None, 0, 0, nullptr, nullptr},
    {"phraseload", CommandKind::PhraseLoad, CommandEntry::Path, 0, 0, nullptr, nullptr},
    {"phrasesave", CommandKind::PhraseSave, CommandEntry::Path, 0, 0, nullptr, nullptr},
    {"stall", CommandKind::Stall, CommandEntry::Number, 1, kMaxStallSamples, nullptr, nullptr},
    {"bend", CommandKind::Bend, CommandEntry::Number, kMinPitchBend, kMaxPitchBend, nullptr, nullptr},
    {"bendrange", CommandKind::BendRange, CommandEntry::Number, kMinBendRange, kMaxBendRange, nullptr, nullptr},
    {"glide", CommandKind::Glide, CommandEntry::Number, 0, kMaxGlideMs, nullptr, nullptr},
    {"velocity", CommandKind::Velocity, CommandEntry::Number, 0, 1, nullptr, nullptr},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

enum class NumberParse { Ok, NotANumber, TooLarge };

// A decimal integer with an optional sign and nothing else.
NumberParse ParseInteger(const std::string& s, int64_t& value) {
  if (s.empty()) return NumberParse::NotANumber;
  size_t i = 0;
  if (s[0] == '+' || s[0] == '-') i = 1;
  if (i == s.size()) return NumberParse::NotANumber;
  for (size_t j = i; j < s.size(); ++j) {
    if (s[j] < '0' || s[j] > '9') return NumberParse::NotANumber;
  }
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (end != s.c_str() + s.size()) return NumberParse::NotANumber;
  if (errno == ERANGE) return NumberParse::TooLarge;
  value = v;
  return NumberParse::Ok;
}

}  // namespace

bool ParseScript(const std::string& text, const std::string& fileName, int64_t blocks,
                 std::vector<ScriptCommand>& commands, std::string& error) {
  commands.clear();
  std::istringstream in(text);
  std::string raw;
  int32_t lineNumber = 0;
  auto fail = [&](const std::string& message) {
    error = fileName + ":" + std::to_string(lineNumber) + ": " + message;
    return false;
  };
  while (std::getline(in, raw)) {
    lineNumber = lineNumber + 1;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;

    size_t p = 0;
    while (p < line.size() && !IsBlank(line[p])) ++p;
    const std::string blockText = line.substr(0, p);
    while (p < line.size() && IsBlank(line[p])) ++p;
    size_t q = p;
    while (q < line.size() && !IsBlank(line[q])) ++q;
    const std::string name = line.substr(p, q - p);
    const std::string argument = Trim(line.substr(q));

    ScriptCommand command{};
    command.Line = lineNumber;
    if (ParseInteger(blockText, command.Block) != NumberParse::Ok) {
      return fail("bad block number \"" + blockText + "\"");
    }
    if (command.Block < 0 || command.Block >= blocks) {
      return fail("block " + blockText + " is outside 0.." + std::to_string(blocks - 1));
    }
    if (name.empty()) return fail("missing command");
    const CommandEntry* entry = nullptr;
    for (const auto& s : kCommands) {
      if (name == s.Name) entry = &s;
    }
    if (entry == nullptr) return fail("unknown command \"" + name + "\"");
    command.Kind = entry->Kind;

    switch (entry->Argument) {
      case CommandEntry::None:
        if (!argument.empty()) return fail(name + " takes no argument");
        break;
      case CommandEntry::Path:
        if (argument.empty()) return fail(name + " needs a file path");
        command.Path = argument;
        break;
      case CommandEntry::Word:
        if (argument.empty()) return fail(name + " needs an argument");
        if (argument == entry->Word0) {
          command.Value = 0;
        } else if (argument == entry->Word1) {
          command.Value = 1;
        } else {
          return fail(name + " takes " + entry->Word1 + " or " + entry->Word0 + ", not \"" + argument + "\"");
        }
        break;
      case CommandEntry::Number: {
        if (argument.empty()) return fail(name + " needs an argument");
        int64_t v = 0;
        const NumberParse parsed = ParseInteger(argument, v);
        if (parsed == NumberParse::NotANumber) return fail(name + ": \"" + argument + "\" is not a number");
        if (parsed == NumberParse::TooLarge || v < entry->Min || v > entry->Max) {
          return fail(name + ": " + argument + " is out of range (" + std::to_string(entry->Min) + ".." +
                      std::to_string(entry->Max) + ")");
        }
        command.Value = v;
        break;
      }
    }
    commands.push_back(std::move(command));
  }
  std::stable_sort(commands.begin(), commands.end(),
                   [](const ScriptCommand& a, const ScriptCommand& b) { return a.Block < b.Block; });
  return true;
}

bool LoadScript(const std::string& fileName, int64_t blocks, std::vector<ScriptCommand>& commands, std::string& error) {
  std::vector<unsigned char> bytes;
  std::string reason;
  if (!ReadRegularFile(fileName, bytes, reason)) {
    error = fileName + ": the script " + reason;
    return false;
  }
  return ParseScript(std::string(bytes.begin(), bytes.end()), fileName, blocks, commands, error);
}

int64_t ApplyCommand(EngineState& engine, const ScriptCommand& c, bool* fileFailed) {
  bool failed = false;
  const auto v = static_cast<int32_t>(c.Value);
  switch (c.Kind) {
    case CommandKind::Down: KeyNoteOn(engine, v); break;
    case CommandKind::Up: KeyNoteOff(engine, v); break;
    case CommandKind::Waveform: SelectWaveform(engine, v); break;
    case CommandKind::Octave: SetOctave(engine, v); break;
    case CommandKind::ModDepth: SetModDepth(engine, v); break;
    case CommandKind::ModRate: SetModRate(engine, v); break;
    case CommandKind::ModShape: SetModShape(engine, v != 0); break;
    case CommandKind::ModAlways: SetModAlwaysOn(engine, v != 0); break;
    case CommandKind::Ctrl: SetCtrlHeld(engine, v != 0); break;
    case CommandKind::EchoLevel: SetEchoLevel(engine, v); break;
    case CommandKind::EchoDelay: SetEchoDelayMs(engine, v); break;
    case CommandKind::Emphasis: SetEmphasis(engine, v != 0); break;
    case CommandKind::OutputLevel: SetOutputLevel(engine, v); break;
    case CommandKind::Phrase: SetPhraseOn(engine, v != 0); break;
    case CommandKind::PhraseRec: EngineStartPhraseCapture(engine); break;
    case CommandKind::PhraseLoad: {
      const FileBoxScope scope(c.Path);
      PhraseLoadBegin(engine);
      failed = !PhraseLoadFile(engine, c.Path.c_str());
      break;
    }
    case CommandKind::PhraseSave: {
      const FileBoxScope scope(c.Path);
      failed = !PhraseSaveFile(engine, c.Path.c_str());
      break;
    }
    case CommandKind::Stall: return c.Value;
    case CommandKind::Bend: SetPitchBend(engine, v); break;
    case CommandKind::BendRange: SetBendRange(engine, v); break;
    case CommandKind::Glide: SetGlideMs(engine, v); break;
    case CommandKind::Velocity: SetVelocityOn(engine, v != 0); break;
  }
  if (failed && fileFailed != nullptr) *fileFailed = true;
  return 0;
}

}  // namespace sorvane

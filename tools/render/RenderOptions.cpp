// SPDX-License-Identifier: GPL-3.0-or-later
// The renderer's command line.
#include "tools/render/RenderOptions.h"

#include <cstdlib>

namespace sorvane {
namespace {

bool ParseCount(const std::string& s, int64_t& value) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  if (s.size() > 12) return false;
  value = std::strtoll(s.c_str(), nullptr, 10);
  return true;
}

// A whole number with an optional sign.
bool ParseSignedNumber(const std::string& s, int64_t& value) {
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    if (!ParseCount(s.substr(1), value)) return false;
    if (s[0] == '-') value = -value;
    return true;
  }
  return ParseCount(s, value);
}

}  // namespace

bool ParseRenderArguments(int argc, char** argv, RenderOptions& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    if (arg == "--input") {
      if (!value(options.Input)) return false;
    } else if (arg == "--output") {
      if (!value(options.Output)) return false;
    } else if (arg == "--script") {
      if (!value(options.Script)) return false;
    } else if (arg == "--report") {
      if (!value(options.Report)) return false;
    } else if (arg == "--blocks") {
      std::string text;
      if (!value(text)) return false;
      if (!ParseCount(text, options.Blocks) || options.Blocks < 1) {
        error = "--blocks takes a whole number of 1 or more, not \"" + text + "\"";
        return false;
      }
    } else if (arg == "--midi") {
      if (!value(options.Midi)) return false;
    } else if (arg == "--midi-channel") {
      std::string text;
      int64_t channel = 0;
      if (!value(text)) return false;
      if (!ParseCount(text, channel) || channel < 1 || channel > 16) {
        error = "--midi-channel takes a channel from 1 to 16, not \"" + text + "\"";
        return false;
      }
      options.MidiChannel = static_cast<int32_t>(channel - 1);
    } else if (arg == "--latency") {
      std::string text;
      if (!value(text)) return false;
      if (!ParseLatencyMode(text.c_str(), options.Latency)) {
        error = "--latency takes normal or low, not \"" + text + "\"";
        return false;
      }
    } else if (arg == "--output-level") {
      std::string text;
      int64_t db = 0;
      if (!value(text)) return false;
      if (!ParseSignedNumber(text, db) || db < kOutputLevelMinDb || db > kOutputLevelMaxDb) {
        error = "--output-level takes whole decibels from -24 to 6, not \"" + text + "\"";
        return false;
      }
      options.OutputLevelDb = static_cast<int32_t>(db);
    } else if (arg == "--bend-range") {
      std::string text;
      int64_t semitones = 0;
      if (!value(text)) return false;
      if (!ParseCount(text, semitones) || semitones < kMinBendRange || semitones > kMaxBendRange) {
        error = "--bend-range takes whole semitones from 1 to 12, not \"" + text + "\"";
        return false;
      }
      options.BendRange = static_cast<int32_t>(semitones);
    } else if (arg == "--glide") {
      std::string text;
      int64_t ms = 0;
      if (!value(text)) return false;
      if (!ParseCount(text, ms) || ms > kMaxGlideMs) {
        error = "--glide takes milliseconds from 0 to 1000, not \"" + text + "\"";
        return false;
      }
      options.GlideMs = static_cast<int32_t>(ms);
    } else if (arg == "--velocity") {
      options.VelocityOn = true;
    } else if (arg == "--live") {
      options.Live = true;
    } else if (arg == "--help") {
      options.Help = true;
      return true;
    } else if (arg == "--version") {
      options.Version = true;
      return true;
    } else {
      error = "unknown argument \"" + arg + "\"";
      return false;
    }
  }
  if (options.Input.empty() && !options.Live) {
    error = "--input is required";
    return false;
  }
  if (options.Live && options.Input.empty() && options.Blocks < 0) {
    error = "--live needs --blocks, or --input to take its length from";
    return false;
  }
  if (!options.Midi.empty() && options.Live) {
    error = "--midi plays only in an offline render, not with --live";
    return false;
  }
  if (options.MidiChannel != kMidiAllChannels && options.Midi.empty()) {
    error = "--midi-channel needs --midi";
    return false;
  }
  if (options.Output.empty() && !options.Live) {
    error = "--output is required";
    return false;
  }
  return true;
}

void ApplyExpressionOptions(EngineState& engine, const RenderOptions& options) {
  SetBendRange(engine, options.BendRange);
  SetGlideMs(engine, options.GlideMs);
  SetVelocityOn(engine, options.VelocityOn);
}

}  // namespace sorvane

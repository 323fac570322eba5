// SPDX-License-Identifier: GPL-3.0-or-later
// Offline rendering on the virtual clock.
#include "tools/render/Render.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "audio/VirtualDevices.h"
#include "tools/render/RenderFiles.h"
#include "wavfile/ErrorBox.h"
#include "tools/render/MidiFile.h"
#include "wavfile/WaveFile.h"

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

// Feeds the script's commands to the engine around each capture event and
// collects the report.
class ScriptedRun final : public VirtualLoopClient {
 public:
  ScriptedRun(EngineState& engine, const std::vector<ScriptCommand>& commands, MidiPlayer* midi)
      : Engine(engine), Commands(commands), Midi(midi) {}

  void BeforeCapture(VirtualAudioRig& rig, int32_t block) override {
    while (NextCommand < Commands.size() && Commands[NextCommand].Block < block) ++NextCommand;
    while (NextCommand < Commands.size() && Commands[NextCommand].Block == block) {
      const int64_t stall = ApplyCommand(Engine, Commands[NextCommand]);
      if (stall > 0) rig.Stall(stall);
      ++NextCommand;
    }
    if (Midi) Midi->Play(block);
  }

  void AfterCapture(VirtualAudioRig&, int32_t block, int64_t handledAt) override {
    const CaptureReport& c = Engine.LastCapture;
    ReportLines.push_back({block, handledAt, c.QueuedAtGate, c.Dropped, c.Dropped ? 0 : c.BlockLength,
                           Engine.Rate.RateState, Engine.Phrase.PhraseMode});
  }

  const std::vector<ReportLine>& Lines() const { return ReportLines; }

 private:
  EngineState& Engine;
  const std::vector<ScriptCommand>& Commands;
  MidiPlayer* Midi;
  size_t NextCommand = 0;
  std::vector<ReportLine> ReportLines;
};

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

std::string ReportHeader() { return "block,handled_at,queued,dropped,length,rate_state,phrase_mode\n"; }

std::string FormatReportLine(const ReportLine& l) {
  char buffer[160];
  std::snprintf(buffer, sizeof buffer, "%d,%lld,%d,%d,%d,%d,%d\n", l.Block, static_cast<long long>(l.HandledAt),
                l.Queued, l.Dropped ? 1 : 0, l.Length, l.RateState, l.PhraseMode);
  return buffer;
}

bool WriteReport(const std::string& fileName, const std::vector<ReportLine>& lines) {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << ReportHeader();
  for (const auto& l : lines) out << FormatReportLine(l);
  out.flush();
  return static_cast<bool>(out);
}

bool RunOutputs::Open(const RenderOptions& options) {
  std::string reason;
  bool openFailed = false;
  if (!options.Output.empty() && !Wave.Create(options.Output, reason, openFailed)) {
    if (openFailed) {
      // What the WAV writer says when it cannot open its file.
      FileBoxScope scope(options.Output);
      ShowWaveError("ファイルオープンエラー (mmioOpen)");
    } else {
      std::fprintf(stderr, "sorvane-render: %s: %s\n", options.Output.c_str(), reason.c_str());
    }
    return false;
  }
  if (!options.Report.empty() && !Report.Create(options.Report, reason, openFailed)) {
    std::fprintf(stderr, "sorvane-render: cannot write the report %s: %s\n", options.Report.c_str(), reason.c_str());
    return false;
  }
  return true;
}

bool RunOutputs::Finish(const RenderOptions& options, const std::vector<int16_t>& played,
                        const std::vector<ReportLine>& lines) {
  if (!options.Output.empty()) {
    const uint64_t bytes = static_cast<uint64_t>(played.size()) * 2;
    if (bytes > UINT32_MAX - 64) {
      std::fprintf(stderr, "sorvane-render: the output would be too large for a WAV file\n");
      return false;
    }
    FileBoxScope scope(options.Output);
    if (!WriteWaveFile(Wave.TempName().c_str(), played.data(), static_cast<uint32_t>(bytes))) return false;
  }
  if (!options.Report.empty() && !WriteReport(Report.TempName(), lines)) {
    std::fprintf(stderr, "sorvane-render: cannot write the report %s\n", options.Report.c_str());
    return false;
  }
  std::string reason;
  if (!options.Output.empty() && !Wave.Commit(reason)) {
    std::fprintf(stderr, "sorvane-render: %s: %s\n", options.Output.c_str(), reason.c_str());
    return false;
  }
  if (!options.Report.empty() && !Report.Commit(reason)) {
    std::fprintf(stderr, "sorvane-render: cannot write the report %s: %s\n", options.Report.c_str(), reason.c_str());
    return false;
  }
  return true;
}

int RunRender(const RenderOptions& options, const std::vector<int16_t>& input,
              const std::vector<ScriptCommand>& commands, const MidiSong* song) {
  // The output files are created before the work, so that an output that
  // cannot be written is known at once.
  RunOutputs outputs;
  if (!outputs.Open(options)) return kExitWriteFailed;

  const int64_t blocks = options.Blocks;
  auto engine = std::make_unique<EngineState>();
  auto rig = std::make_unique<VirtualAudioRig>();
  CreateEngine(*engine, nullptr);
  engine->CaptureDevice = &rig->Capture();
  engine->PlaybackDevice = &rig->Playback();
  rig->SetInput(input.data(), static_cast<int64_t>(input.size()));
  rig->ReservePlayed(blocks * kBlockLengthLong);
  OpenAudio(*engine);

  std::unique_ptr<MidiPlayer> midi;
  if (song) midi = std::make_unique<MidiPlayer>(*engine, *song, options.MidiChannel);
  ScriptedRun run(*engine, commands, midi.get());
  rig->Run(*engine, static_cast<int32_t>(blocks), &run);

  return outputs.Finish(options, rig->Played(), run.Lines()) ? kExitOk : kExitWriteFailed;
}

}  // namespace sorvane

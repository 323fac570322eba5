// SPDX-License-Identifier: GPL-3.0-or-later
// Offline rendering on the virtual clock.
#include "tools/render/Render.h"

#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <memory>

#include <unistd.h>

#include "devices/VirtualDevices.h"
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

// A whole number with an optional sign.
bool ParseSignedNumber(const std::string& s, int64_t& value) {
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    if (!ParseCount(s.substr(1), value)) return false;
    if (s[0] == '-') value = -value;
    return true;
  }
  return ParseCount(s, value);
}

// Feeds the script's commands to the engine around each capture event and
// writes the report as it goes.
class ScriptedRun final : public VirtualLoopClient {
 public:
  ScriptedRun(EngineState& engine, const std::vector<ScriptCommand>& commands, MidiPlayer* midi, RunOutputs& outputs,
              InputWave* input)
      : Engine(engine), Commands(commands), Midi(midi), Outputs(outputs), Input(input) {}

  void BeforeCapture(VirtualAudioRig& rig, int32_t block) override {
    while (NextCommand < Commands.size() && Commands[NextCommand].Block < block) ++NextCommand;
    while (NextCommand < Commands.size() && Commands[NextCommand].Block == block) {
      const int64_t stall = ApplyCommand(Engine, Commands[NextCommand], &PhraseFileFailed);
      if (stall > 0) rig.Stall(stall);
      ++NextCommand;
    }
    if (Midi) Midi->Play(block);
  }

  void AfterCapture(VirtualAudioRig& rig, int32_t block, int64_t handledAt) override {
    const CaptureReport& c = Engine.LastCapture;
    Outputs.AddReportLine({block, handledAt, c.QueuedAtGate, c.Dropped, c.Dropped ? 0 : c.BlockLength,
                           Engine.Rate.RateState, Engine.Phrase.PhraseMode});
    // A run whose outputs or input have failed is not worth finishing.
    if (Outputs.Failed() || (Input != nullptr && !Input->ReadError().empty())) rig.Stop();
  }

  bool PhraseFileFailed = false;

 private:
  EngineState& Engine;
  const std::vector<ScriptCommand>& Commands;
  MidiPlayer* Midi;
  RunOutputs& Outputs;
  InputWave* Input;
  size_t NextCommand = 0;
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

void FormatReportLine(const ReportLine& l, char (&line)[kReportLineBytes]) {
  std::snprintf(line, sizeof line, "%d,%lld,%d,%d,%d,%d,%d\n", l.Block, static_cast<long long>(l.HandledAt), l.Queued,
                l.Dropped ? 1 : 0, l.Length, l.RateState, l.PhraseMode);
}

namespace {

constexpr uint32_t kWaveForm = FourCC("WAVE");
constexpr uint32_t kFmtId = FourCC("fmt");
constexpr uint32_t kDataId = FourCC("data");
// Output written to the files at a time.
constexpr size_t kFileBufferBytes = 65536;

bool WriteAll(int fd, const void* data, size_t count) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (count > 0) {
    const ssize_t n = ::write(fd, p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool RunOutputs::Open(const RenderOptions& options) {
  Options = &options;
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
  if (!options.Output.empty()) {
    // The program's WAV layout, its sizes fixed up at the end: RIFF, a
    // 16-byte format chunk, then the data as it is played.
    WaveFile.Fd = Wave.Fd();
    // Room for what one more write adds before the buffer is flushed.
    WaveBuffer.reserve(kFileBufferBytes + 4096);
    RiffPart.FormType = kWaveForm;
    RiffChunk fmt{};
    fmt.Id = kFmtId;
    fmt.Size = kWaveFormatBytes;
    DataPart.Id = kDataId;
    if (RiffCreateRiffChunk(WaveFile, RiffPart) != RiffStatus::Ok) {
      WaveMessage = "RIFFチャンク作成エラー (mmioCreateChunk)";
    } else if (RiffCreateChunk(WaveFile, fmt) != RiffStatus::Ok) {
      WaveMessage = "fmtチャンク作成エラー (mmioCreateChunk)";
    } else if (RiffWrite(WaveFile, kWaveFormatRecord.Bytes, kWaveFormatBytes) != kWaveFormatBytes) {
      WaveMessage = "fmtチャンク書き込みエラー (mmioWrite)";
    } else if (RiffAscend(WaveFile, fmt) != RiffStatus::Ok) {
      WaveMessage = "fmtチャンク書き込みエラー (mmioAscend)";
    } else if (RiffCreateChunk(WaveFile, DataPart) != RiffStatus::Ok) {
      WaveMessage = "dataチャンク作成エラー (mmioCreateChunk)";
    }
    if (WaveMessage != nullptr) {
      FileBoxScope scope(options.Output);
      ShowWaveError(WaveMessage);
      return false;
    }
  }
  if (!options.Report.empty()) {
    ReportBuffer.reserve(kFileBufferBytes + 256);
    ReportBuffer.append(ReportHeader());
  }
  return true;
}

bool RunOutputs::FlushWave() {
  if (WaveMessage == nullptr && !WaveBuffer.empty() &&
      RiffWrite(WaveFile, WaveBuffer.data(), WaveBuffer.size()) != static_cast<int64_t>(WaveBuffer.size())) {
    WaveMessage = "dataチャンク書き込みエラー (mmioWrite)";
  }
  WaveBuffer.clear();
  return WaveMessage == nullptr;
}

bool RunOutputs::FlushReport() {
  if (!ReportFailed && !ReportBuffer.empty() && !WriteAll(Report.Fd(), ReportBuffer.data(), ReportBuffer.size())) {
    ReportFailed = true;
  }
  ReportBuffer.clear();
  return !ReportFailed;
}

void RunOutputs::Write(const int16_t* samples, int64_t count) {
  if (Options == nullptr || Options->Output.empty() || WaveMessage != nullptr) return;
  for (int64_t i = 0; i < count; ++i) {
    const auto v = static_cast<uint16_t>(samples[i]);
    WaveBuffer.push_back(static_cast<uint8_t>(v));
    WaveBuffer.push_back(static_cast<uint8_t>(v >> 8));
  }
  if (WaveBuffer.size() >= kFileBufferBytes) FlushWave();
}

void RunOutputs::AddReportLine(const ReportLine& line) {
  if (Options == nullptr || Options->Report.empty() || ReportFailed) return;
  // Into the buffer reserved at the start: a live run adds a line per block
  // on its event thread, where nothing is allocated.
  char text[kReportLineBytes];
  FormatReportLine(line, text);
  ReportBuffer += text;
  if (ReportBuffer.size() >= kFileBufferBytes) FlushReport();
}

bool RunOutputs::Finish() {
  const RenderOptions& options = *Options;
  if (!options.Output.empty()) {
    if (FlushWave()) {
      if (RiffAscend(WaveFile, DataPart) != RiffStatus::Ok) {
        WaveMessage = "dataチャンク書き込みエラー (mmioAscend)";
      } else if (RiffAscend(WaveFile, RiffPart) != RiffStatus::Ok) {
        WaveMessage = "RIFFチャンク書き込みエラー (mmioAscend)";
      }
    }
    if (WaveMessage != nullptr) {
      FileBoxScope scope(options.Output);
      ShowWaveError(WaveMessage);
      return false;
    }
  }
  if (!options.Report.empty() && !FlushReport()) {
    std::fprintf(stderr, "sorvane-render: cannot write the report %s\n", options.Report.c_str());
    return false;
  }
  // Both files are complete and on the disk, and both final names can take
  // them, before either is renamed: only a failure of the second rename
  // itself can still leave a new output beside an old report.
  std::string reason;
  // One step for both files, the output first; false with the message.
  const auto both = [&](auto step) {
    if (!options.Output.empty() && !step(Wave)) {
      std::fprintf(stderr, "sorvane-render: %s: %s\n", options.Output.c_str(), reason.c_str());
      return false;
    }
    if (!options.Report.empty() && !step(Report)) {
      std::fprintf(stderr, "sorvane-render: cannot write the report %s: %s\n", options.Report.c_str(),
                   reason.c_str());
      return false;
    }
    return true;
  };
  return both([&](PendingOutput& o) { return o.Sync(reason); }) &&
         both([&](PendingOutput& o) { return o.TargetFits(reason); }) &&
         both([&](PendingOutput& o) { return o.Rename(reason); });
}

int RunRender(const RenderOptions& options, InputWave* input, const std::vector<ScriptCommand>& commands,
              const MidiSong* song) {
  // The output files are created before the work, so that an output that
  // cannot be written is known at once.
  RunOutputs outputs;
  if (!outputs.Open(options)) return kExitWriteFailed;

  const int64_t blocks = options.Blocks;
  auto engine = std::make_unique<EngineState>();
  auto rig = std::make_unique<VirtualAudioRig>();
  CreateEngine(*engine, nullptr);
  SetLatencyMode(*engine, options.Latency);
  SetOutputLevel(*engine, options.OutputLevelDb);
  engine->CaptureDevice = &rig->Capture();
  engine->PlaybackDevice = &rig->Playback();
  rig->SetInputSource(input);
  rig->SetPlaybackSink(&outputs);
  OpenAudio(*engine);

  std::unique_ptr<MidiPlayer> midi;
  if (song) midi = std::make_unique<MidiPlayer>(*engine, *song, options.MidiChannel);
  ScriptedRun run(*engine, commands, midi.get(), outputs, input);
  rig->Run(*engine, static_cast<int32_t>(blocks), &run);

  if (input != nullptr && !input->ReadError().empty()) {
    std::fprintf(stderr, "sorvane-render: %s\n", input->ReadError().c_str());
    return kExitBadInput;
  }
  if (!outputs.Finish()) return kExitWriteFailed;
  return run.PhraseFileFailed ? kExitPhraseFileFailed : kExitOk;
}

}  // namespace sorvane

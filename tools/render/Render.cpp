// SPDX-License-Identifier: GPL-3.0-or-later
// Offline rendering on the virtual clock.
#include "tools/render/Render.h"

#include <cstdio>
#include <memory>

#include "devices/VirtualDevices.h"
#include "tools/render/MidiFile.h"

namespace sorvane {
namespace {

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
  ApplyExpressionOptions(*engine, options);
  engine->CaptureDevice = &rig->Capture();
  engine->PlaybackDevice = &rig->Playback();
  rig->SetInputSource(input);
  rig->SetPlaybackSink(&outputs);
  OpenAudio(*engine);

  std::unique_ptr<MidiPlayer> midi;
  if (song) midi = std::make_unique<MidiPlayer>(*engine, *song, options.MidiChannel);
  ScriptedRun run(*engine, commands, midi.get(), outputs, input);
  rig->Run(EngineEvents(*engine), static_cast<int32_t>(blocks), &run);

  if (input != nullptr && !input->ReadError().empty()) {
    std::fprintf(stderr, "sorvane-render: %s\n", input->ReadError().c_str());
    return kExitBadInput;
  }
  if (!outputs.Finish()) return kExitWriteFailed;
  return run.PhraseFileFailed ? kExitPhraseFileFailed : kExitOk;
}

}  // namespace sorvane

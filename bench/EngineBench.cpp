// Speed of the engine's block work, as a real-time factor: 10 ms of sound
// divided by the time one block takes (a factor of 100 means one block is
// done in 100 µs). Compare the factors within one run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

#include "audio/Engine.h"
#include "audio/VirtualDevices.h"

namespace sorvane {
namespace {

constexpr double kBlockSeconds = 0.010;

// A voice-like test signal: a buzzy 140 Hz tone with a slow loudness swell
// and some high-band hiss, deterministic.
std::vector<int16_t> TestVoice(int samples) {
  std::vector<int16_t> v(static_cast<size_t>(samples));
  uint32_t noise = 12345;
  for (int i = 0; i < samples; ++i) {
    const double t = i / 22050.0;
    double s = 0;
    for (int h = 1; h <= 20; ++h) s += std::sin(2 * M_PI * 140.0 * h * t) / h;
    noise = noise * 1664525u + 1013904223u;
    const double hiss = (static_cast<int32_t>(noise >> 16) - 32768) / 32768.0;
    const double env = 0.55 + 0.45 * std::sin(2 * M_PI * 1.3 * t);
    v[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(env * (5000 * s + 600 * hiss)));
  }
  return v;
}

// Times the benchmark's loop with a steady clock; the factor is printed as
// a plain number.
class FactorClock {
 public:
  explicit FactorClock(benchmark::State& state) : BenchState(state), Start(std::chrono::steady_clock::now()) {}
  ~FactorClock() {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    if (seconds > 0 && BenchState.iterations() > 0) {
      BenchState.counters["realtime_factor"] = kBlockSeconds * static_cast<double>(BenchState.iterations()) / seconds;
    }
  }

 private:
  benchmark::State& BenchState;
  std::chrono::steady_clock::time_point Start;
};

struct Fixture {
  std::unique_ptr<EngineState> Engine = std::make_unique<EngineState>();
  std::vector<int16_t> Voice = TestVoice(22050 * 4);
  Fixture() { CreateEngine(*Engine, nullptr); }
};

void BM_AnalyseBlock(benchmark::State& state) {
  Fixture f;
  size_t offset = 0;
  FactorClock clock(state);
  for (auto _ : state) {
    AnalyseBlock(f.Engine->Analysis, f.Voice.data() + offset, false, f.Engine->Frame);
    offset = (offset + kBlockSamples) % (f.Voice.size() - kBlockSamples);
  }
}
BENCHMARK(BM_AnalyseBlock);

// The synthesis of one block with `voices` held keys, live or phrase replay.
void RunSynthesis(benchmark::State& state, bool replay, int blockLength) {
  Fixture f;
  EngineState& e = *f.Engine;
  SetEchoLevel(e, 50);
  const int voices = static_cast<int>(state.range(0));
  if (replay) {
    std::copy(f.Voice.begin(), f.Voice.begin() + kPhraseFileSamples, e.Store.PhraseSamples.begin());
    AnalysePhrase(e.Store, e.Analysis.BandPrevious);
  }
  for (int v = 0; v < voices; ++v) {
    NoteOn(e.Pool, 20 + 2 * v);
    // Spread the voices over the phrase, so no two share a frame.
    e.Pool.Voices[v].FrameIndex = 37 * v;
  }
  int16_t out[kMaxBlockSamples];
  size_t offset = 0;
  FactorClock clock(state);
  for (auto _ : state) {
    if (!replay) AnalyseBlock(e.Analysis, f.Voice.data() + offset, false, e.Frame);
    const SynthInputs in{e.Params, e.Switches, e.CtrlHeld, replay, e.Frame, e.Store};
    SynthesizeBlock(e.Synth, e.Pool, in, out, blockLength);
    CarryReflection(e.Synth, e.Frame);
    for (int v = 0; v < voices; ++v) e.Pool.Voices[v].Finished = false;  // keep every voice sounding
    offset = (offset + kBlockSamples) % (f.Voice.size() - kBlockSamples);
    benchmark::DoNotOptimize(out);
  }
}

void BM_LiveBlock(benchmark::State& state) { RunSynthesis(state, false, 220); }
BENCHMARK(BM_LiveBlock)->Arg(1)->Arg(8);

// The worst case: phrase replay, eight voices, 242-sample blocks, echo on.
void BM_WorstCaseReplayBlock(benchmark::State& state) { RunSynthesis(state, true, 242); }
BENCHMARK(BM_WorstCaseReplayBlock)->Arg(8);

void BM_AnalysePhrase(benchmark::State& state) {
  Fixture f;
  std::copy(f.Voice.begin(), f.Voice.begin() + kPhraseFileSamples, f.Engine->Store.PhraseSamples.begin());
  double band = 0;
  for (auto _ : state) {
    AnalysePhrase(f.Engine->Store, band);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_AnalysePhrase)->Unit(benchmark::kMillisecond);

// The whole pipeline through the virtual devices: capture event, gate, rate
// control, analysis, synthesis, hand-over, as the program runs it.
void BM_PipelineLive(benchmark::State& state) {
  Fixture f;
  EngineState& e = *f.Engine;
  auto rig = std::make_unique<VirtualAudioRig>();
  e.CaptureDevice = &rig->Capture();
  e.PlaybackDevice = &rig->Playback();
  rig->SetInput(f.Voice.data(), static_cast<int64_t>(f.Voice.size()));
  constexpr int32_t kBlocks = 20000;
  rig->ReservePlayed(int64_t{kBlocks} * kBlockLengthLong);
  OpenAudio(e);
  for (int k = 0; k < 4; ++k) KeyNoteOn(e, 10 + 3 * k);
  int32_t done = 0;
  FactorClock clock(state);
  for (auto _ : state) {
    if (done == kBlocks) {
      state.SkipWithError("ran out of blocks");
      break;
    }
    done = done + 1;
    rig->Run(e, done, nullptr);
  }
}
BENCHMARK(BM_PipelineLive)->Iterations(15000);

}  // namespace
}  // namespace sorvane

BENCHMARK_MAIN();

// SPDX-License-Identifier: GPL-3.0-or-later
// Speed of the engine's block work on each vector path (SSE2, AVX2,
// AVX-512): microseconds per block and the real-time factor, 10 ms of sound
// divided by the time one block takes (a factor of 100 means one block is
// done in 100 µs). Both count the thread's processor time, so that other
// work on a busy machine does not count against the engine; the benchmark
// library's own columns show wall time beside it. A path the processor
// lacks is listed as not run. At the end a table sums up every path.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devices/VirtualDevices.h"
#include "dsp/SimdPath.h"
#include "engine/Engine.h"
#include "engine/LiveBlock.h"
#include "keyboard/KeyTable.h"

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

double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Microseconds per block by case and path, for the closing table.
std::map<std::string, double>& Results() {
  static std::map<std::string, double> results;
  return results;
}

// Switches to the benchmark's path, then times its loop in processor time
// and reports microseconds per block and the real-time factor. `blocks`
// is how many blocks of 10 ms one iteration stands for.
class FactorClock {
 public:
  FactorClock(benchmark::State& state, SimdPath path, const char* name, double blocks = 1.0)
      : BenchState(state), Name(name), Path(path), Blocks(blocks) {
    SelectSimdPath(path);
    Start = ThreadSeconds();
  }
  ~FactorClock() {
    const double seconds = ThreadSeconds() - Start;
    if (seconds > 0 && BenchState.iterations() > 0) {
      const double perBlock = seconds / (static_cast<double>(BenchState.iterations()) * Blocks);
      BenchState.counters["us_per_block"] = perBlock * 1e6;
      BenchState.counters["realtime_factor"] = kBlockSeconds / perBlock;
      // The table keeps the fastest repetition: on a shared machine the
      // others only add time that is not the engine's.
      const std::string key = Name + "/" + SimdPathName(Path);
      const auto it = Results().find(key);
      if (it == Results().end() || perBlock * 1e6 < it->second) Results()[key] = perBlock * 1e6;
    }
  }

 private:
  benchmark::State& BenchState;
  std::string Name;
  SimdPath Path;
  double Blocks;
  double Start = 0;
};

struct Fixture {
  std::unique_ptr<EngineState> Engine = std::make_unique<EngineState>();
  std::vector<int16_t> Voice = TestVoice(22050 * 4);
  Fixture() { CreateEngine(*Engine, nullptr); }
};

void BM_AnalyseBlock(benchmark::State& state, SimdPath path) {
  Fixture f;
  size_t offset = 0;
  FactorClock clock(state, path, "analysis");
  for (auto _ : state) {
    AnalyseBlock(f.Engine->Analysis, f.Voice.data() + offset, false, f.Engine->Frame);
    offset = (offset + kBlockSamples) % (f.Voice.size() - kBlockSamples);
  }
}

// The synthesis of one block with `voices` held keys, live or phrase replay.
void RunSynthesis(benchmark::State& state, SimdPath path, const char* name, bool replay, int blockLength, int voices) {
  Fixture f;
  EngineState& e = *f.Engine;
  SetEchoLevel(e, 50);
  if (replay) {
    std::copy(f.Voice.begin(), f.Voice.begin() + kPhraseFileSamples, e.Store.PhraseSamples.begin());
    AnalysePhrase(e.Store, e.Analysis.BandPrevious);
  }
  for (int v = 0; v < voices; ++v) {
    const int32_t key = 20 + 2 * v;
    NoteOn(e.Pool, key, KeyTable[key].NoteOffset);
    // Spread the voices over the phrase, so no two share a frame.
    e.Pool.Voices[v].FrameIndex = 37 * v;
  }
  int16_t out[kMaxBlockSamples];
  size_t offset = 0;
  FactorClock clock(state, path, name);
  // The engine's own live block; a replayed phrase stands in for the voice.
  e.Phrase.PhraseMode = replay ? kPhraseReplay : kPhraseOff;
  for (auto _ : state) {
    RunLiveBlock(e, f.Voice.data() + offset, out, blockLength, [] { return true; });
    for (int v = 0; v < voices; ++v) e.Pool.Voices[v].Finished = false;  // keep every voice sounding
    offset = (offset + kBlockSamples) % (f.Voice.size() - kBlockSamples);
    benchmark::DoNotOptimize(out);
  }
}

// One live block (analysis and synthesis) with one voice and with eight.
void BM_LiveBlock1(benchmark::State& state, SimdPath path) { RunSynthesis(state, path, "live 1", false, 220, 1); }
void BM_LiveBlock8(benchmark::State& state, SimdPath path) { RunSynthesis(state, path, "live 8", false, 220, 8); }

// The worst case: phrase replay, eight voices, 242-sample blocks, echo on.
void BM_WorstCaseReplayBlock(benchmark::State& state, SimdPath path) {
  RunSynthesis(state, path, "worst", true, 242, 8);
}

// The analysis of a loaded phrase, 300 frames of 10 ms: per block is per frame.
void BM_AnalysePhrase(benchmark::State& state, SimdPath path) {
  Fixture f;
  std::copy(f.Voice.begin(), f.Voice.begin() + kPhraseFileSamples, f.Engine->Store.PhraseSamples.begin());
  double band = 0;
  FactorClock clock(state, path, "phrase", kPhraseTableFrames);
  for (auto _ : state) {
    AnalysePhrase(f.Engine->Store, band);
    benchmark::ClobberMemory();
  }
}

// The whole pipeline through the virtual devices: capture event, gate, rate
// control, analysis, synthesis, hand-over, as the program runs it.
void BM_PipelineLive(benchmark::State& state, SimdPath path) {
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
  FactorClock clock(state, path, "pipeline");
  for (auto _ : state) {
    if (done == kBlocks) {
      state.SkipWithError("ran out of blocks");
      break;
    }
    done = done + 1;
    rig->Run(EngineEvents(e), done, nullptr);
  }
}

// The closing table: one row per case, microseconds per block and the
// real-time factor for each path.
void PrintTable() {
  struct Row {
    const char* Key;
    const char* Title;
  };
  const Row rows[] = {{"worst", "worst block (replay, 8 voices, 242 samples, echo)"},
                      {"live 1", "live block, 1 voice (analysis + synthesis)"},
                      {"live 8", "live block, 8 voices (analysis + synthesis)"},
                      {"phrase", "AnalysePhrase, per 10 ms frame"},
                      {"analysis", "block analysis alone"}};
  std::printf("\n%-52s", "processor time per block: us (real-time factor)");
  for (int p = 0; p < kSimdPathCount; ++p) std::printf(" | %-16s", SimdPathName(static_cast<SimdPath>(p)));
  std::printf("\n");
  for (const Row& row : rows) {
    std::printf("%-52s", row.Title);
    for (int p = 0; p < kSimdPathCount; ++p) {
      const auto path = static_cast<SimdPath>(p);
      const auto it = Results().find(std::string(row.Key) + "/" + SimdPathName(path));
      if (!SimdPathSupported(path)) {
        std::printf(" | %-16s", "not run");
      } else if (it == Results().end()) {
        std::printf(" | %-16s", "-");
      } else {
        char cell[32];
        std::snprintf(cell, sizeof cell, "%.1f (%.0fx)", it->second, 1e4 / it->second);
        std::printf(" | %-16s", cell);
      }
    }
    std::printf("\n");
  }
}

}  // namespace
}  // namespace sorvane

int main(int argc, char** argv) {
  using namespace sorvane;
  const SimdPath startup = ActiveSimdPath();
  for (int p = 0; p < kSimdPathCount; ++p) {
    const auto path = static_cast<SimdPath>(p);
    const std::string suffix = std::string("/") + SimdPathName(path);
    if (!SimdPathSupported(path)) {
      std::printf("%s: not run, this processor lacks it\n", SimdPathName(path));
      continue;
    }
    benchmark::RegisterBenchmark(("BM_WorstCaseReplayBlock" + suffix).c_str(), BM_WorstCaseReplayBlock, path);
    benchmark::RegisterBenchmark(("BM_LiveBlock1" + suffix).c_str(), BM_LiveBlock1, path);
    benchmark::RegisterBenchmark(("BM_LiveBlock8" + suffix).c_str(), BM_LiveBlock8, path);
    benchmark::RegisterBenchmark(("BM_AnalysePhrase" + suffix).c_str(), BM_AnalysePhrase, path)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("BM_AnalyseBlock" + suffix).c_str(), BM_AnalyseBlock, path);
    benchmark::RegisterBenchmark(("BM_PipelineLive" + suffix).c_str(), BM_PipelineLive, path)->Iterations(15000);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  SelectSimdPath(startup);
  PrintTable();
  return 0;
}

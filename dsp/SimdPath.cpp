// SPDX-License-Identifier: GPL-3.0-or-later
// The start-up choice of the vector path.
#include "dsp/SimdPath.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sorvane {
namespace {

bool ProcessorRuns(SimdPath path) {
  __builtin_cpu_init();  // may run before main, from the static initialiser below
  switch (path) {
    case SimdPath::kSse2:
    case SimdPath::kPlain: return true;
    case SimdPath::kAvx2: return __builtin_cpu_supports("avx2");
    case SimdPath::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx512vl");
  }
  return false;
}

SimdPath Widest() {
  if (ProcessorRuns(SimdPath::kAvx512)) return SimdPath::kAvx512;
  if (ProcessorRuns(SimdPath::kAvx2)) return SimdPath::kAvx2;
  return SimdPath::kSse2;
}

// The widest path, or the one SORVANE_SIMD names if the processor runs it.
SimdPath StartupPath() {
  const SimdPath widest = Widest();
  const char* wanted = std::getenv("SORVANE_SIMD");
  if (wanted == nullptr || *wanted == '\0') return widest;
  for (int p = 0; p < kSimdPathCount; ++p) {
    const auto path = static_cast<SimdPath>(p);
    if (std::strcmp(wanted, SimdPathName(path)) != 0) continue;
    if (ProcessorRuns(path)) return path;
    std::fprintf(stderr, "SORVANE_SIMD=%s: this processor does not run %s; using %s\n", wanted, wanted,
                 SimdPathName(widest));
    return widest;
  }
  std::fprintf(stderr, "SORVANE_SIMD=%s: not one of sse2, avx2, avx512, plain; using %s\n", wanted,
               SimdPathName(widest));
  return widest;
}

std::atomic<int> activePath{static_cast<int>(StartupPath())};

}  // namespace

const char* SimdPathName(SimdPath path) {
  switch (path) {
    case SimdPath::kSse2: return "sse2";
    case SimdPath::kAvx2: return "avx2";
    case SimdPath::kAvx512: return "avx512";
    case SimdPath::kPlain: return "plain";
  }
  return "?";
}

bool SimdPathSupported(SimdPath path) { return ProcessorRuns(path); }

SimdPath WidestSimdPath() { return Widest(); }

SimdPath ActiveSimdPath() { return static_cast<SimdPath>(activePath.load(std::memory_order_relaxed)); }

bool SelectSimdPath(SimdPath path) {
  if (!ProcessorRuns(path)) return false;
  activePath.store(static_cast<int>(path), std::memory_order_relaxed);
  return true;
}

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a test body once on every vector path this processor runs, with that
// path active, and prints which paths ran and which were not run because
// the processor lacks them. A path that did not run is never counted as
// passed: it is named as not run in the output and in the test's record.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "dsp/SimdPath.h"

namespace sorvane::test {

template <typename Body>
void ForEachSimdPath(Body body) {
  const SimdPath before = ActiveSimdPath();
  std::string ran;
  std::string notRun;
  for (int p = 0; p < kSimdPathCount; ++p) {
    const auto path = static_cast<SimdPath>(p);
    if (!SelectSimdPath(path)) {
      std::printf("[   PATH   ] %s NOT RUN: this processor lacks it\n", SimdPathName(path));
      notRun += std::string(notRun.empty() ? "" : " ") + SimdPathName(path);
      continue;
    }
    std::printf("[   PATH   ] %s\n", SimdPathName(path));
    ran += std::string(ran.empty() ? "" : " ") + SimdPathName(path);
    SCOPED_TRACE(testing::Message() << "vector path " << SimdPathName(path));
    body(path);
    if (testing::Test::HasFatalFailure()) break;
  }
  SelectSimdPath(before);
  testing::Test::RecordProperty("simd_paths_run", ran);
  testing::Test::RecordProperty("simd_paths_not_run", notRun.empty() ? "none" : notRun);
}

}  // namespace sorvane::test

// SPDX-License-Identifier: GPL-3.0-or-later
// Seeded random damage to valid files, for the readers' robustness tests:
// flipped bytes, planted size-like values, files cut short, runs of bytes
// dropped or inserted. The same seed gives the same files on every run, so
// a failing variant can be replayed by its number.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "tests/support/TestRandom.h"

namespace sorvane::test {

struct Damage {
  // Sizes are planted, and runs dropped or inserted, in the first
  // HeaderBytes bytes, where a format keeps its lengths.
  std::size_t HeaderBytes = SIZE_MAX;
  // The byte order of the format's lengths.
  bool BigEndian = false;
};

// One to four random edits of valid.
inline std::vector<uint8_t> Damaged(const std::vector<uint8_t>& valid, TestRandom& random, const Damage& damage) {
  std::vector<uint8_t> file = valid;
  const auto pick = [&random](std::size_t n) { return n == 0 ? std::size_t{0} : random() % n; };
  const auto inHeader = [&] { return pick(std::min(file.size(), damage.HeaderBytes)); };
  const uint32_t sizes[] = {0, 1, 2, 3, 15, 16, 17, 0x7FFFFFFF, 0xFFFFFFF0, 0xFFFFFFFF};
  const int edits = 1 + static_cast<int>(pick(4));
  for (int e = 0; e < edits && !file.empty(); ++e) {
    switch (pick(5)) {
      case 0:  // flip a byte anywhere
        file[pick(file.size())] ^= static_cast<uint8_t>(1 + pick(255));
        break;
      case 1: {  // plant a size-like value
        const std::size_t at = inHeader();
        const uint32_t v = pick(2) == 0 ? sizes[pick(std::size(sizes))] : static_cast<uint32_t>(random());
        for (std::size_t i = 0; i < 4 && at + i < file.size(); ++i) {
          file[at + i] = static_cast<uint8_t>(v >> (damage.BigEndian ? 8 * (3 - i) : 8 * i));
        }
        break;
      }
      case 2:  // cut the file short
        file.resize(pick(file.size()));
        break;
      case 3: {  // drop a run of bytes
        const std::size_t at = inHeader();
        file.erase(file.begin() + static_cast<long>(at),
                   file.begin() + static_cast<long>(std::min(file.size(), at + 1 + pick(12))));
        break;
      }
      default: {  // insert a run of random bytes
        std::vector<uint8_t> junk(1 + pick(12));
        for (uint8_t& b : junk) b = static_cast<uint8_t>(random());
        file.insert(file.begin() + static_cast<long>(inHeader()), junk.begin(), junk.end());
        break;
      }
    }
  }
  return file;
}

// Hands check `rounds` damaged files, made in turn from each valid file,
// with the variant's number traced; stops at the first fatal failure.
inline void ForEachDamaged(const std::vector<std::vector<uint8_t>>& valid, uint32_t seed, int rounds,
                           const Damage& damage, const std::function<void(const std::vector<uint8_t>&)>& check) {
  TestRandom random(seed);
  for (int variant = 0; variant < rounds; ++variant) {
    const std::vector<uint8_t> file = Damaged(valid[static_cast<std::size_t>(variant) % valid.size()], random, damage);
    SCOPED_TRACE(variant);
    check(file);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace sorvane::test

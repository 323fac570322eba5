// SPDX-License-Identifier: GPL-3.0-or-later
// Records the error boxes shown while it lives, instead of showing them;
// the tests of every folder use it. Given a caption, it also checks that
// every box carries it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Reporter.h"

namespace sorvane::test {

class RecordedBoxes {
 public:
  explicit RecordedBoxes(const char* everyCaption = nullptr) : EveryCaption(everyCaption) {
    SetErrorBoxHandler(&Handler, this);
  }
  ~RecordedBoxes() { SetErrorBoxHandler(nullptr, nullptr); }
  RecordedBoxes(const RecordedBoxes&) = delete;
  RecordedBoxes& operator=(const RecordedBoxes&) = delete;

  void Clear() {
    Captions.clear();
    Texts.clear();
  }

  std::vector<std::string> Captions;
  std::vector<std::string> Texts;

 private:
  static void Handler(void* context, const char* caption, const char* text) {
    auto* self = static_cast<RecordedBoxes*>(context);
    if (self->EveryCaption != nullptr) {
      EXPECT_STREQ(caption, self->EveryCaption);
    }
    self->Captions.emplace_back(caption);
    self->Texts.emplace_back(text);
  }
  const char* EveryCaption;
};

}  // namespace sorvane::test

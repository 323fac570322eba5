// SPDX-License-Identifier: GPL-3.0-or-later
// A fresh folder under the system's temporary folder, removed with
// everything in it when the object goes.
#pragma once

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace sorvane::test {

struct TempDir {
  std::filesystem::path Path;
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sorvane-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::filesystem::filesystem_error("cannot make a temporary folder", pattern,
                                              std::error_code(errno, std::generic_category()));
    }
    Path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(Path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string operator/(std::string_view name) const { return (Path / name).string(); }
};

}  // namespace sorvane::test

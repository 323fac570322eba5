// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the renderer binary in a scratch folder and reads what it wrote.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TempDir.h"

namespace sorvane::test {

inline std::vector<char> ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct RenderRun {
  int Status = -1;
  std::string Stdout;
  std::string Stderr;
};

// A temporary folder to run the renderer in.
class Scratch {
 public:
  TempDir Temp;  // first: Dir is its path
  const std::filesystem::path Dir = Temp.Path;

  std::filesystem::path Put(const std::string& name, const std::string& text) const {
    std::ofstream(Dir / name, std::ios::binary) << text;
    return Dir / name;
  }
  void CopyIn(const std::filesystem::path& from, const std::string& name) const {
    std::filesystem::copy_file(from, Dir / name, std::filesystem::copy_options::overwrite_existing);
  }

  // Runs sorvane-render with these arguments (already quoted as needed) in
  // Dir, after the shell commands in setUp (e.g. a ulimit). Its stdout and
  // stderr are kept in Dir as stdout.txt and stderr.txt.
  RenderRun Render(const std::string& arguments, const std::string& setUp = "") const {
    const std::string command = "cd '" + Dir.string() + "' && " + setUp + (setUp.empty() ? "" : " && ") +
                                "'" SORVANE_RENDER_BINARY "' " + arguments + " > stdout.txt 2> stderr.txt";
    RenderRun run;
    const int raw = std::system(command.c_str());
    run.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    const auto out = ReadAll(Dir / "stdout.txt");
    run.Stdout.assign(out.begin(), out.end());
    const auto err = ReadAll(Dir / "stderr.txt");
    run.Stderr.assign(err.begin(), err.end());
    return run;
  }

  // The names in Dir, apart from the run's stdout.txt and stderr.txt.
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Dir)) {
      const std::string name = entry.path().filename().string();
      if (name != "stdout.txt" && name != "stderr.txt") names.insert(name);
    }
    return names;
  }
};

}  // namespace sorvane::test

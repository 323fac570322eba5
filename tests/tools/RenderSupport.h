// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the renderer binary in a scratch folder and reads what it wrote.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

namespace sorvane::test {

struct RenderRun {
  int Status = -1;
  std::string Stdout;
  std::string Stderr;
};

// The committed test files: the speech clip, scripts and goldens.
inline const std::filesystem::path kTestData = SORVANE_TEST_DATA;

enum class Clip { None, Speech };

// A temporary folder to run the renderer in; with Clip::Speech it holds a
// copy of the committed clip as speech.wav.
class Scratch {
 public:
  TempDir Temp;  // first: Dir is its path
  const std::filesystem::path Dir = Temp.Path;

  explicit Scratch(Clip clip = Clip::None) {
    if (clip == Clip::Speech) std::filesystem::copy_file(kTestData / "speech.wav", Dir / "speech.wav");
  }

  std::filesystem::path Put(const std::string& name, const std::string& text) const {
    std::ofstream(Dir / name, std::ios::binary) << text;
    return Dir / name;
  }

  // Runs sorvane-render with these arguments (already quoted as needed) in
  // Dir, after the shell commands in setUp (e.g. a ulimit). Its stdout and
  // stderr are kept in Dir as stdout.txt and stderr.txt.
  // A run that takes longer than timeoutSeconds is ended (status 124).
  RenderRun Render(const std::string& arguments, const std::string& setUp = "", int timeoutSeconds = 600) const {
    const std::string command = "cd '" + Dir.string() + "' && " + setUp + (setUp.empty() ? "" : " && ") +
                                "timeout -k 5 " + std::to_string(timeoutSeconds) + " '" SORVANE_RENDER_BINARY "' " +
                                arguments + " > stdout.txt 2> stderr.txt";
    RenderRun run;
    const int raw = std::system(command.c_str());
    run.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.Stdout = ReadFileText(Dir / "stdout.txt");
    run.Stderr = ReadFileText(Dir / "stderr.txt");
    return run;
  }

  // Runs sorvane-render in Dir as a child of this process and measures its
  // peak memory (resident set, KiB). A run over timeoutSeconds is killed
  // (status -1).
  struct MeasuredRun {
    int Status = -1;
    long PeakKiB = 0;
  };
  MeasuredRun RenderMeasured(const std::vector<std::string>& arguments, unsigned timeoutSeconds = 300) const {
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(Dir.c_str()) != 0) ::_exit(127);
      std::freopen("stdout.txt", "w", stdout);
      std::freopen("stderr.txt", "w", stderr);
      std::vector<char*> argv{const_cast<char*>(SORVANE_RENDER_BINARY)};
      for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      // In the sanitizer build freed memory is held in quarantine, so the
      // peak would count every allocation ever made, not what is in use.
      if (const char* asan = std::getenv("ASAN_OPTIONS")) {
        const std::string options = std::string(asan) + ":quarantine_size_mb=0";
        ::setenv("ASAN_OPTIONS", options.c_str(), 1);
      }
      ::alarm(timeoutSeconds);  // survives the exec: a run that hangs is killed
      ::execv(SORVANE_RENDER_BINARY, argv.data());
      ::_exit(127);
    }
    MeasuredRun run;
    int status = 0;
    struct rusage usage {};
    if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid) {
      run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      run.PeakKiB = usage.ru_maxrss;
    }
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

// The 16-bit samples of a rendered WAV, after its 44-byte header.
inline std::vector<int16_t> SongSamples(const std::vector<uint8_t>& wav) {
  std::vector<int16_t> samples(wav.size() > 44 ? (wav.size() - 44) / 2 : 0);
  if (!samples.empty()) std::memcpy(samples.data(), wav.data() + 44, 2 * samples.size());
  return samples;
}

}  // namespace sorvane::test

// Runs the renderer binary in a scratch folder and reads what it wrote.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace sorvane::test {

inline std::vector<char> ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct RenderRun {
  int Status = -1;
  std::string Stderr;
};

class Scratch {
 public:
  Scratch() {
    static int counter = 0;
    Dir = std::filesystem::temp_directory_path() /
          ("sorvane-render-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(Dir);
  }
  ~Scratch() { std::filesystem::remove_all(Dir); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  std::filesystem::path Dir;

  std::filesystem::path Put(const std::string& name, const std::string& text) const {
    std::ofstream(Dir / name, std::ios::binary) << text;
    return Dir / name;
  }
  void CopyIn(const std::filesystem::path& from, const std::string& name) const {
    std::filesystem::copy_file(from, Dir / name, std::filesystem::copy_options::overwrite_existing);
  }

  // Runs sorvane-render with these arguments (already quoted as needed) in Dir.
  RenderRun Render(const std::string& arguments) const {
    const std::string command = "cd '" + Dir.string() + "' && '" SORVANE_RENDER_BINARY "' " + arguments +
                                " 2> stderr.txt";
    RenderRun run;
    const int raw = std::system(command.c_str());
    run.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    const auto err = ReadAll(Dir / "stderr.txt");
    run.Stderr.assign(err.begin(), err.end());
    return run;
  }
};

}  // namespace sorvane::test

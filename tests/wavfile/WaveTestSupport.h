// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the WAV tests: the WAV error box recorder, RIFF files put together byte by byte, a second opinion from Python's
// WAV reader, and child processes with a file size limit, a full file
// system or a time limit.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/Files.h"
#include "tests/support/RecordedBoxes.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestRandom.h"
#include "wavfile/WaveFile.h"

namespace sorvane::test {

using Bytes = std::vector<uint8_t>;

// Records every WAV error box while alive; each must be captioned "エラー".
struct ErrorLog : RecordedBoxes {
  ErrorLog() : RecordedBoxes("エラー") {}
};

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void PutLe(Bytes& b, uint32_t v, int width) {
  for (int i = 0; i < width; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A chunk holding body (padded when odd), its size field body.size() unless given.
inline Bytes Chunk(std::string_view id, const Bytes& body, std::optional<uint32_t> size = {}) {
  Bytes out = Text(id);
  PutLe(out, size.value_or(static_cast<uint32_t>(body.size())), 4);
  out.insert(out.end(), body.begin(), body.end());
  if (!size && body.size() % 2 == 1) out.push_back(0);
  return out;
}

inline Bytes Riff(std::initializer_list<Bytes> parts, std::optional<uint32_t> size = {},
                  std::string_view form = "WAVE") {
  const Bytes body = Cat({Text(form), Cat(parts)});
  return Chunk("RIFF", body, size);
}

inline Bytes FmtBody(uint16_t tag, uint16_t channels = 1, uint32_t rate = 22050, uint16_t bits = 16) {
  Bytes b;
  PutLe(b, tag, 2);
  PutLe(b, channels, 2);
  PutLe(b, rate, 4);
  PutLe(b, rate * channels * bits / 8, 4);
  PutLe(b, channels * bits / 8, 2);
  PutLe(b, bits, 2);
  return b;
}

// A 40-byte extensible format chunk body; the sub-format GUID's first field
// is 1 for PCM, 3 for IEEE float.
inline Bytes ExtensibleBody(uint16_t channels, uint32_t rate, uint16_t bits, uint32_t subFormat = 1) {
  Bytes b = FmtBody(0xFFFE, channels, rate, bits);
  PutLe(b, 22, 2);    // extra bytes
  PutLe(b, bits, 2);  // valid bits
  PutLe(b, 0, 4);     // speaker positions
  PutLe(b, subFormat, 4);
  for (uint8_t x : {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}) b.push_back(x);
  return b;
}

// A file and the bytes a reader is to take from it.
struct FileCase {
  const char* Name;
  Bytes File;
  Bytes Expected;
};

// Deterministic, non-repeating-looking sample bytes.
inline Bytes Pattern(std::size_t n, uint32_t seed) {
  TestRandom random(seed);
  Bytes b(n);
  for (uint8_t& byte : b) byte = random.Byte();
  return b;
}

// What a reader (ReadWaveFile, or ReadWaveSamples with convert) made of a
// file into a destination of seconds * 44100 bytes plus a guard, every byte
// kUntouched beforehand, with the error boxes it showed.
struct Loaded {
  static constexpr uint8_t kUntouched = 0xA5;
  bool Ok = false;
  uint32_t Copied = 0xDEADBEEF;
  Bytes Destination;
  std::vector<std::string> Messages;
  std::vector<int16_t> AsSamples() const {
    std::vector<int16_t> s(Copied / 2);
    std::memcpy(s.data(), Destination.data(), 2 * s.size());
    return s;
  }
  bool UntouchedFrom(std::size_t at) const {
    return std::all_of(Destination.begin() + static_cast<std::ptrdiff_t>(at), Destination.end(),
                       [](uint8_t b) { return b == kUntouched; });
  }
};
inline Loaded Load(const Bytes& file, int seconds, bool convert) {
  TempDir dir;
  ErrorLog log;
  const std::string path = dir / "in.wav";
  WriteBytes(path, file);
  Loaded l;
  l.Destination.assign(static_cast<std::size_t>(seconds) * 44100 + 16, Loaded::kUntouched);
  l.Ok = convert ? ReadWaveSamples(reinterpret_cast<int16_t*>(l.Destination.data()), path.c_str(), seconds, &l.Copied)
                 : ReadWaveFile(l.Destination.data(), path.c_str(), seconds, &l.Copied);
  l.Messages = log.Texts;
  return l;
}

// The reader copied exactly expected, showed nothing and left the rest alone.
inline void ExpectCopied(const Bytes& file, int seconds, const Bytes& expected, bool convert = false) {
  const Loaded l = Load(file, seconds, convert);
  ASSERT_TRUE(l.Ok);
  EXPECT_TRUE(l.Messages.empty());
  ASSERT_EQ(l.Copied, expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), l.Destination.begin()));
  EXPECT_TRUE(l.UntouchedFrom(l.Copied));
}

// What Python's standard wave module makes of a file.
struct PythonWave {
  int Channels = 0, Width = 0, Rate = 0, Frames = 0;
  Bytes Data;
};

inline std::optional<PythonWave> ReadWithPython(const TempDir& dir, const std::string& path) {
  const std::string script = dir / "read.py", out = dir / "frames.raw";
  std::ofstream(script) << "import sys, wave\n"
                           "with wave.open(sys.argv[1], 'rb') as w:\n"
                           "    p = w.getparams()\n"
                           "    open(sys.argv[2], 'wb').write(w.readframes(p.nframes))\n"
                           "print(p.nchannels, p.sampwidth, p.framerate, p.nframes)\n";
  const std::string command =
      std::string("'") + SORVANE_PYTHON3 + "' '" + script + "' '" + path + "' '" + out + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  char text[4096] = {};
  const std::size_t n = std::fread(text, 1, sizeof text - 1, pipe);
  text[n] = '\0';
  const int status = ::pclose(pipe);
  PythonWave w;
  if (status != 0 || std::sscanf(text, "%d %d %d %d", &w.Channels, &w.Width, &w.Rate, &w.Frames) != 4) {
    ADD_FAILURE() << "Python's wave module refused " << path << ":\n" << text;
    return std::nullopt;
  }
  w.Data = ReadFileBytes(out);
  return w;
}

// Python's wave module reads the file at path as 22050 Hz mono 16-bit
// samples, exactly data.
inline void ExpectPythonReads(const TempDir& dir, const std::string& path, const Bytes& data) {
  const auto python = ReadWithPython(dir, path);
  ASSERT_TRUE(python);
  EXPECT_EQ(python->Channels, 1);
  EXPECT_EQ(python->Width, 2);
  EXPECT_EQ(python->Rate, 22050);
  EXPECT_EQ(python->Frames * 2, static_cast<int>(data.size()));
  EXPECT_EQ(python->Data, data);
}

// Runs body in a child process after prepare; returns body's result, or
// 100 + the signal that ended the child.
template <class Prepare, class Body>
int RunInChild(Prepare prepare, Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    prepare();
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Runs body in a child process whose files may not grow beyond limit bytes
// (writes past it fail with EFBIG instead of a signal).
template <class Body>
int RunWithFileSizeLimit(rlim_t limit, Body body) {
  return RunInChild(
      [limit] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit r{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &r);
      },
      body);
}

// Runs body in a child process that is killed (SIGALRM) when it takes more
// than seconds, so that a call that waits for ever fails instead of hanging
// the suite.
template <class Body>
int RunWithTimeout(unsigned seconds, Body body) {
  return RunInChild([seconds] { ::alarm(seconds); }, body);
}

// How RunOnFullFileSystem made the room small.
enum class SmallRoom { SmallFileSystem, FileSizeLimit };

// Runs body in a child process in which folder holds at most about bytes:
// a tmpfs of that size mounted over folder in a mount namespace of the
// child's own (nothing outside sees it, and it goes with the child), so
// writes fail with ENOSPC as on a full disk. Where no tmpfs can be mounted
// (no privilege, no user namespaces), the child's files may instead not
// grow beyond bytes (RLIMIT_FSIZE, EFBIG). One of the two always runs;
// *room says which. Returns body's result, or 100 + the signal.
template <class Body>
int RunOnFullFileSystem(const std::string& folder, std::size_t bytes, SmallRoom* room, Body body) {
  int report[2];
  if (::pipe(report) != 0) return 99;
  bool told = false;  // in the child: the parent knows how
  const int result = RunInChild(
      [&] {
        ::close(report[0]);
        const auto writeMap = [](const char* file, const std::string& text) {
          const int fd = ::open(file, O_WRONLY);
          const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
          if (fd >= 0) ::close(fd);
          return ok;
        };
        bool separate = ::unshare(CLONE_NEWNS) == 0;
        if (!separate) {
          const uid_t uid = ::getuid();
          const gid_t gid = ::getgid();
          separate = ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && writeMap("/proc/self/setgroups", "deny") &&
                     writeMap("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
                     writeMap("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
        }
        const std::string options = "size=" + std::to_string(bytes);
        // Private first, so that the mount does not reach the parent's namespace.
        const bool mounted = separate && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                             ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
        if (!mounted) {
          ::signal(SIGXFSZ, SIG_IGN);
          const rlimit r{bytes, bytes};
          ::setrlimit(RLIMIT_FSIZE, &r);
        }
        const char how = mounted ? 'm' : 'l';
        told = ::write(report[1], &how, 1) == 1;
        ::close(report[1]);
      },
      [&] { return told ? body() : 98; });
  ::close(report[1]);
  char how = 0;
  if (room != nullptr && ::read(report[0], &how, 1) == 1) {
    *room = how == 'm' ? SmallRoom::SmallFileSystem : SmallRoom::FileSizeLimit;
  }
  ::close(report[0]);
  return result;
}

// The names in folder, hidden ones included, sorted.
inline std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline std::size_t OpenDescriptors() {
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator{}));
}

}  // namespace sorvane::test

// SPDX-License-Identifier: GPL-3.0-or-later
// What the fuzz targets share: the input as a file, for the readers that
// take a file name, and a count of the error boxes shown.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/Reporter.h"

namespace sorvane::fuzz {

// One in-memory file for the whole run, rewritten with each input; the
// reader opens it by name through /proc/self/fd like any regular file.
class FuzzFile {
 public:
  FuzzFile() : Fd(::memfd_create("sorvane-fuzz", MFD_CLOEXEC)) {
    if (Fd < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    Name = "/proc/self/fd/" + std::to_string(Fd);
  }
  FuzzFile(const FuzzFile&) = delete;
  FuzzFile& operator=(const FuzzFile&) = delete;

  // Makes the file hold exactly these bytes; returns its name.
  const std::string& Hold(const uint8_t* data, size_t size) {
    if (::ftruncate(Fd, 0) != 0) std::abort();
    for (size_t done = 0; done < size;) {
      const ssize_t n = ::pwrite(Fd, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
    return Name;
  }

 private:
  int Fd;
  std::string Name;
};

// Error boxes come by the thousand: they are counted instead of printed,
// so the fuzzer's own lines stay readable.
inline int& ErrorBoxes() {
  static int count = 0;
  return count;
}
inline void CountErrorBoxes() {
  SetErrorBoxHandler([](void*, const char*, const char*) { ++ErrorBoxes(); }, nullptr);
}

}  // namespace sorvane::fuzz

// SPDX-License-Identifier: GPL-3.0-or-later
// The renderer's files. Inputs are read only when they are regular files;
// outputs are written to a temporary file beside their final name and
// renamed into place once complete, so that a failed or interrupted run
// leaves no partial file; error boxes name the file they are about.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sorvane {

// Opens a file for reading only when it is a regular file, without ever
// waiting (a named pipe or a device is refused at once). Returns the
// descriptor, or -1 with the reason, e.g. "is a folder, not a file" or
// "cannot open the file: No such file or directory".
int OpenRegularFile(const std::string& fileName, std::string& reason);

// Reads a regular file as long as it was when opened (bytes appended
// meanwhile are not read). A file longer than maxBytes is refused with
// tooLarge as the reason.
bool ReadRegularFile(const std::string& fileName, std::vector<unsigned char>& bytes, std::string& reason,
                     uint64_t maxBytes = UINT64_MAX, const std::string& tooLarge = "");

// Error boxes are printed as "caption: text", or as
// "sorvane-render: FILE: caption: text" while a FileBoxScope names the file
// being handled.
void InstallRenderErrorBox();

class FileBoxScope {
 public:
  explicit FileBoxScope(const std::string& fileName);
  ~FileBoxScope();
  FileBoxScope(const FileBoxScope&) = delete;
  FileBoxScope& operator=(const FileBoxScope&) = delete;

 private:
  const std::string* Previous;
};

// Removes the temporary files of unfinished outputs when the run is ended
// by SIGINT, SIGTERM or SIGHUP, then ends it as the signal would.
void RemovePendingOutputsOnSignal();

// An output file on its way: written under TempName() through Fd(), renamed
// to its final name by Rename(). Destroyed before that, it removes the
// temporary file.
class PendingOutput {
 public:
  PendingOutput() = default;
  ~PendingOutput();
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  // Creates the temporary file in the folder of fileName and keeps it open
  // for writing. False, with the reason, when fileName is a folder or not a
  // regular file, or when nothing can be created in its folder (openFailed
  // is then true).
  bool Create(const std::string& fileName, std::string& reason, bool& openFailed);
  const std::string& TempName() const { return TempPath; }
  int Fd() const { return FileFd; }
  // Gives the finished temporary file its mode and flushes it to the disk.
  bool Sync(std::string& reason);
  // Whether the final name can still take the file: a regular file or
  // nothing.
  bool TargetFits(std::string& reason) const;
  // Renames the synced temporary file to the final name. False with the
  // reason.
  bool Rename(std::string& reason);

 private:
  std::string FinalPath;
  std::string TempPath;
  int FileFd = -1;
  unsigned FileMode = 0;
  int SignalSlot = -1;
};

}  // namespace sorvane

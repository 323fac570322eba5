// SPDX-License-Identifier: GPL-3.0-or-later
// Whether the files of one run are distinct files.
#include "tools/render/DistinctFiles.h"

#include <filesystem>
#include <system_error>

#include <sys/stat.h>

namespace sorvane {
namespace {

// What a path names: an existing file's device and inode, or, for a file
// not there yet, the absolute path with its existing folders resolved.
struct FileIdentity {
  bool Exists = false;
  dev_t Device = 0;
  ino_t Inode = 0;
  std::string Path;
};

FileIdentity Identify(const std::string& path) {
  FileIdentity id;
  struct stat info {};
  // stat follows links: a link and the file it names are one file.
  if (::stat(path.c_str(), &info) == 0) {
    id.Exists = true;
    id.Device = info.st_dev;
    id.Inode = info.st_ino;
    return id;
  }
  std::error_code ignored;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
  // The folders that exist resolved (links, "..", "."), the rest as written.
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, ignored);
  id.Path = (resolved.empty() ? absolute.lexically_normal() : resolved).string();
  return id;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  if (a.Exists != b.Exists) return false;
  if (a.Exists) return a.Device == b.Device && a.Inode == b.Inode;
  return a.Path == b.Path;
}

struct RunFile {
  std::string Label;  // how the message names it
  FileIdentity Id;
  bool Written;  // the output or the report
};

}  // namespace

bool CheckDistinctFiles(const RenderOptions& options, const std::vector<ScriptCommand>& commands, std::string& error) {
  // The files named on the command line: no two may be one file.
  std::vector<RunFile> named;
  const auto add = [&](const char* option, const std::string& path, bool written) {
    if (!path.empty()) named.push_back({std::string(option) + " " + path, Identify(path), written});
  };
  add("--input", options.Input, false);
  add("--script", options.Script, false);
  add("--midi", options.Midi, false);
  add("--output", options.Output, true);
  add("--report", options.Report, true);
  const auto refuse = [&](const std::string& label, const RunFile& other) {
    error = label + " is the same file as " + other.Label + "; each needs a file of its own";
    return false;
  };
  for (size_t i = 0; i < named.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (SameFile(named[i].Id, named[j].Id)) return refuse(named[i].Label, named[j]);
    }
  }
  // The script's phrase files against those; a phrase file against another
  // is never refused, so this stays linear in the script's length.
  for (const ScriptCommand& c : commands) {
    const bool save = c.Kind == CommandKind::PhraseSave;
    if (!save && c.Kind != CommandKind::PhraseLoad) continue;
    const FileIdentity id = Identify(c.Path);
    for (const RunFile& other : named) {
      // A load only reads: it clashes only with what the run writes.
      if ((save || other.Written) && SameFile(id, other.Id)) {
        return refuse(
            options.Script + ":" + std::to_string(c.Line) + ": " + (save ? "phrasesave " : "phraseload ") + c.Path,
            other);
      }
    }
  }
  return true;
}

}  // namespace sorvane

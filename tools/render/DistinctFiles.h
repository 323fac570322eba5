// SPDX-License-Identifier: GPL-3.0-or-later
// The check that the files one run reads and writes are distinct files, so
// that no output lands on an input or on another output: naming one file
// twice, under the same name, a link or another spelling of its path, is
// refused before anything is written.
#pragma once

#include <string>
#include <vector>

#include "tools/render/RenderOptions.h"
#include "tools/render/Script.h"

namespace sorvane {

// False, with a one-line message naming both, when two of the run's files
// are one file: any two of the input, the script, the MIDI file, the output,
// the report and a file that a phrasesave writes; or a phraseload of the
// output or the report. Several phrasesaves may write one file, and a
// phraseload may read what a phrasesave wrote or what the run reads.
// A file that exists is the same as another when both are one inode
// (links, "./x" and "x" alike); one that does not exist yet, when both
// paths lead to the same name in the same folder.
bool CheckDistinctFiles(const RenderOptions& options, const std::vector<ScriptCommand>& commands, std::string& error);

}  // namespace sorvane

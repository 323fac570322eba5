// SPDX-License-Identifier: GPL-3.0-or-later
// The phrase kept with a saved session, as one file in the session's
// folder: the analysed phrase exactly as the plugin replays it (a captured
// phrase keeps its live analysis, which a sound file could not give back).
// A header names the format and this machine's byte order and size; a
// checksum over the phrase finds a file that was cut short or changed.
#pragma once

#include <string>

#include "phrase/PhraseTables.h"

namespace sorvane {

// The name the plugin gives the file in the session's folder.
inline constexpr const char* kPhraseFileName = "phrase.sorvane";

// Writes store to path; false with the reason in why.
bool WritePhraseFile(const char* path, const PhraseStore& store, std::string& why);
// Reads a file WritePhraseFile wrote into store; false with the reason in
// why, and store unchanged, when it cannot be read or is not such a file.
bool ReadPhraseFile(const char* path, PhraseStore& store, std::string& why);

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// What the desktop program does with its command line before anything
// else starts: --help and --version are answered at once, --latency is
// read, and a session
// without a display ends with one line instead of an abort inside the
// toolkit. Everything else on the command line goes on to Qt.
#pragma once

#include <optional>
#include <string>

#include "devices/Device.h"

namespace sorvane {

// Exit status when no window can be opened.
inline constexpr int kExitNoDisplay = 1;
// Exit status for an option with a value it does not take.
inline constexpr int kExitBadOption = 2;

// Answers --help (usage on stdout) and --version (name and version on
// stdout), reads --latency into latency (a bad value: a message and the
// usage on stderr), and checks that a display can be opened (one line on
// stderr when none can). Returns the exit status when the program should
// end now, nothing when it should go on to open its window.
std::optional<int> HandleCommandLine(int argc, char** argv, LatencyMode& latency);

// Why no window can be opened, or nothing when one of the platforms that Qt
// would try looks usable. platformOption and displayOption are the values of
// Qt's -platform and -display options (empty when not given).
std::optional<std::string> DisplayProblem(const std::string& platformOption, const std::string& displayOption);

}  // namespace sorvane

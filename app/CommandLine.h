// SPDX-License-Identifier: GPL-3.0-or-later
// What the desktop program does with its command line before anything
// else starts: --help and --version are answered at once, the program's
// options are read and checked (a bad one ends the program with the usage
// and status 2), and a session without a display ends with one line
// instead of an abort inside the toolkit. Qt's own options (-platform,
// -display, -style...) go on to Qt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "audio/Device.h"
#include "devices/SoundSystem.h"

namespace sorvane {

// Exit status when no window can be opened.
inline constexpr int kExitNoDisplay = 1;
// Exit status for an option with a value it does not take.
inline constexpr int kExitBadOption = 2;

// The program's options; each one not given is empty.
struct CommandLineOptions {
  std::optional<SoundChoice> System;        // --sound-system auto|pulse|jack
  std::optional<std::string> InputDevice;   // --input-device NAME
  std::optional<std::string> OutputDevice;  // --output-device NAME
  std::optional<LatencyMode> Latency;       // --latency normal|low
  std::optional<int32_t> MidiChannel;       // --midi-channel all|1-16, as 0-15 or kMidiAllChannels
  std::optional<int32_t> OutputLevelDb;     // --output-level DB
  std::optional<int32_t> BendRange;         // --bend-range N (semitones)
  std::optional<int32_t> GlideMs;           // --glide MS
  bool Velocity = false;                    // --velocity
  bool ListDevices = false;                 // --list-devices
  bool NoRestore = false;                   // --no-restore
  // Whether any of the program's own options was given.
  bool Any() const {
    return System || InputDevice || OutputDevice || Latency || MidiChannel || OutputLevelDb || BendRange || GlideMs ||
           Velocity || ListDevices || NoRestore;
  }
};

// Answers --help (usage on stdout) and --version (name and version on
// stdout), reads the options (an unknown one or a bad value: a message and
// the usage on stderr, status 2), and unless --list-devices was given checks
// that a display can be opened (one line on stderr when none can). Returns
// the exit status when the program should end now, nothing when it should
// go on (to list the devices, or to open its window).
std::optional<int> HandleCommandLine(int argc, char** argv, CommandLineOptions& options);

// Why no window can be opened, or nothing when one of the platforms that Qt
// would try looks usable: a platform Qt has no plugin for is never usable.
// platformOption, displayOption and pluginPathOption are the values of Qt's
// -platform, -display and -platformpluginpath options (empty when not given).
std::optional<std::string> DisplayProblem(const std::string& platformOption, const std::string& displayOption,
                                          const std::string& pluginPathOption);

}  // namespace sorvane

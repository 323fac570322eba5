// SPDX-License-Identifier: GPL-3.0-or-later
// What the program keeps between runs: the control panel as the user left
// it, the phrase dialogs' folders, and the preferences. One plain INI file,
// $XDG_CONFIG_HOME/sorvane/sorvane.conf (~/.config when the variable is not
// set or not an absolute path), read once at start and written only when a setting changes.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "audio/Device.h"
#include "devices/SoundSystem.h"
#include "keyboard/MidiNotes.h"
#include "synth/Synth.h"

class QSettings;

namespace sorvane {

// The control panel, with the start-up values of a first run.
struct PanelSettings {
  int32_t Waveform = 0;       // 0 impulse, 1 sawtooth, 2 square
  int32_t Octave = 2;         // 0 "Ultra Low" .. 3 "High"
  int32_t ModDepth = 30;      // 0..100
  int32_t ModRate = 10;       // 1..20 Hz
  bool TriangleShape = true;  // false: square vibrato
  bool ModAlwaysOn = false;
  int32_t EchoLevel = 0;      // 0..100
  int32_t EchoDelayMs = 100;  // 50..200
  bool Emphasis = false;
  QString LoadDirectory;  // the phrase dialogs' folders; empty: not chosen yet
  QString SaveDirectory;
  bool operator==(const PanelSettings&) const = default;
};

// What the preferences dialog and the command line choose.
struct Preferences {
  SoundChoice System = SoundChoice::Automatic;
  QString InputDevice;   // empty: the server's default
  QString OutputDevice;  // empty: the server's default
  LatencyMode Latency = LatencyMode::Normal;
  int32_t MidiChannel = kMidiAllChannels;  // 0-15, or every channel
  int32_t OutputLevelDb = 0;               // -24..6
  int32_t BendRange = kDefaultBendRange;   // semitones, kMinBendRange..kMaxBendRange
  int32_t GlideMs = 0;                     // 0 (no glide)..kMaxGlideMs
  bool VelocityOn = false;                 // MIDI velocities play; off: every note at full level
  // The controller of each MidiControl, or kNoController: the modulation
  // wheel on the vibrato depth at first.
  std::array<int32_t, kMidiControlCount> Controllers = DefaultControllers();
  bool operator==(const Preferences&) const = default;

  static std::array<int32_t, kMidiControlCount> DefaultControllers();
};

// Preferences the command line sets for one run, over the kept ones; each
// one not given is empty.
struct RunPreferences {
  std::optional<int32_t> OutputLevelDb;
  std::optional<int32_t> MidiChannel;
  std::optional<int32_t> BendRange;
  std::optional<int32_t> GlideMs;
  std::optional<bool> VelocityOn;
};

// The settings file. Load reads what is there: a file that is missing gives
// the start-up values silently; a value that cannot be read or is out of
// range gives the start-up value of that setting and one line on stderr
// naming the file and the setting, and the file is left as it is. A UTF-8
// byte-order mark is allowed. Save writes the whole file (atomically: a new
// file takes the old one's name; through a symbolic link, its target) and is
// called only when a setting has changed.
class AppSettings {
 public:
  explicit AppSettings(const QString& path);
  ~AppSettings();
  AppSettings(const AppSettings&) = delete;
  AppSettings& operator=(const AppSettings&) = delete;

  // $XDG_CONFIG_HOME/sorvane/sorvane.conf; ~/.config for a relative one.
  static QString DefaultPath();

  const QString& Path() const { return FilePath; }
  // False when the file exists but cannot be read at all, or is not UTF-8
  // text Qt reads as a settings file (then everything is at its start-up
  // value and a line went to stderr). Such a file is set aside (renamed
  // with ".bad") before the first Save writes anew. A symbolic link that
  // loops is reported and kept: nothing is saved over it.
  bool Load(PanelSettings& panel, Preferences& prefs);
  // False when the file cannot be written (read-only, or its folder), or an
  // unreadable file cannot be set aside: then nothing is written, and one
  // line on stderr says so the first time, not at every change.
  bool Save(const PanelSettings& panel, const Preferences& prefs);

 private:
  bool CannotWrite(const char* why);

  QString FilePath;
  bool SetAsideFirst = false;
  bool SetAsideFailed = false;
  bool SaveRefused = false;
  bool ReportedUnwritable = false;
};

}  // namespace sorvane

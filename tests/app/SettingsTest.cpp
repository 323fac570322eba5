// SPDX-License-Identifier: GPL-3.0-or-later
// Settings kept between runs: what a damaged file gives and keeps, and a
// window that restores a kept panel through its own controls and writes a
// change.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

#include "app/Settings.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/TestRandom.h"

namespace sorvane::test {
namespace {

TEST(Settings, ADamagedFileGivesTheStartUpValueOfWhatIsWrongAndIsLeftAsItWas) {
  TempDir dir;
  const auto path = dir.Path / "sorvane.conf";
  const std::string damaged =
      "[panel]\noctave=0\nwaveform=7\nvibrato_depth=abc\nvibrato_shape=square\nemphasis=maybe\necho_level=55\n"
      "[sound]\nlatency=low\noutput_level_db=-30\nsystem=jack\n"
      "[midi]\nchannel=10\ncontroller_echo_level=1\ncontroller_vibrato_rate=64\nbend_range=13\nglide_ms=300\n"
      "velocity=true\n";
  std::ofstream(path) << damaged;
  AppSettings settings(QString::fromStdString(path.string()));
  PanelSettings panel;
  Preferences prefs;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(settings.Load(panel, prefs));
  const std::string err = testing::internal::GetCapturedStderr();
  // Kept: what is in range.
  EXPECT_EQ(panel.Octave, 0);
  EXPECT_FALSE(panel.TriangleShape);
  EXPECT_EQ(panel.EchoLevel, 55);
  EXPECT_EQ(prefs.Latency, LatencyMode::Low);
  EXPECT_EQ(prefs.System, SoundChoice::Jack);
  EXPECT_EQ(prefs.MidiChannel, 9);
  EXPECT_EQ(prefs.GlideMs, 300);
  EXPECT_TRUE(prefs.VelocityOn);
  // The wheel learnt for the echo level leaves the vibrato depth; the
  // sustain pedal is never a controller.
  EXPECT_EQ(prefs.Controllers[static_cast<size_t>(MidiControl::EchoLevel)], 1);
  EXPECT_EQ(prefs.Controllers[static_cast<size_t>(MidiControl::ModDepth)], kNoController);
  EXPECT_EQ(prefs.Controllers[static_cast<size_t>(MidiControl::ModRate)], kNoController);
  // Start-up values for the rest, one line each.
  EXPECT_EQ(panel.Waveform, 0);
  EXPECT_EQ(panel.ModDepth, 30);
  EXPECT_FALSE(panel.Emphasis);
  EXPECT_EQ(prefs.OutputLevelDb, 0);
  EXPECT_EQ(prefs.BendRange, 2);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 5) << err;
  EXPECT_NE(err.find("midi/bend_range is \"13\", not a whole number from 1 to 12"), std::string::npos) << err;
  EXPECT_NE(err.find("panel/waveform is \"7\", not a whole number from 0 to 2"), std::string::npos) << err;
  EXPECT_EQ(ReadFileText(path), damaged);

  // A file that is not a file: everything at its start-up value.
  TempDir other;
  AppSettings folder(QString::fromStdString(other.Path.string()));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(folder.Load(panel, prefs));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot be read"), std::string::npos);
  EXPECT_EQ(panel, PanelSettings{});
  EXPECT_EQ(prefs, Preferences{});
}

TEST(Settings, AKeptPanelIsRestoredThroughTheControlsAndAChangeIsWritten) {
  TempDir dir;
  const QString path = QString::fromStdString((dir.Path / "sorvane" / "sorvane.conf").string());
  AppSettings settings(path);
  PanelSettings panel;
  panel.Waveform = 2;
  panel.Octave = 1;
  panel.TriangleShape = false;
  panel.ModAlwaysOn = true;
  panel.EchoLevel = 5;
  panel.EchoDelayMs = 150;
  panel.Emphasis = true;
  panel.LoadDirectory = QStringLiteral("/phrases/in");
  panel.SaveDirectory = QStringLiteral("/phrases/out");
  Preferences prefs;
  prefs.OutputLevelDb = -6;
  prefs.Latency = LatencyMode::Low;
  prefs.System = SoundChoice::Jack;
  prefs.MidiChannel = 15;
  prefs.InputDevice = QStringLiteral("alsa_input.usb-Müller,_Inc.-00.mono");
  prefs.OutputDevice = QStringLiteral("system:playback_1");
  prefs.BendRange = 12;
  prefs.GlideMs = 250;
  prefs.VelocityOn = true;
  prefs.Controllers = {kNoController, 1, 7, 74, 11, 20, 21};
  ASSERT_TRUE(settings.Save(panel, prefs));

  PanelSettings loadedPanel;
  Preferences loadedPrefs;
  ASSERT_TRUE(settings.Load(loadedPanel, loadedPrefs));
  EXPECT_EQ(loadedPanel, panel);
  EXPECT_EQ(loadedPrefs, prefs);

  Window w;
  w->UseSettings(&settings, loadedPanel, loadedPrefs);
  EngineState& engine = w.Engine();
  EXPECT_EQ(engine.Params.Waveform, 2);
  EXPECT_EQ(engine.Params.Octave, 1);
  EXPECT_FALSE(engine.Switches.TriangleShape);
  EXPECT_TRUE(engine.Params.ModAlwaysOn);
  EXPECT_EQ(engine.Params.EchoLevel, 5);
  EXPECT_EQ(engine.Params.EchoDelayMs, 150);
  EXPECT_TRUE(engine.Switches.Emphasis);
  EXPECT_EQ(engine.Params.OutputLevelDb, -6);
  EXPECT_EQ(engine.Params.BendRange, 12);
  EXPECT_EQ(engine.Params.GlideMs, 250);
  EXPECT_TRUE(engine.Params.VelocityOn);
  EXPECT_EQ(w->MidiIn()->Controllers().Controller, prefs.Controllers);
  EXPECT_TRUE(Find<QRadioButton>(*w, "octaveLow")->isChecked());  // "Low"
  EXPECT_EQ(w->CurrentPanel(), panel);
  // Restoring wrote nothing; a change is written once it rests.
  const std::string before = ReadFileText(path.toStdString());
  Find<QScrollBar>(*w, "echoLevel")->setValue(40);
  EXPECT_EQ(ReadFileText(path.toStdString()), before);
  panel.EchoLevel = 40;
  QTRY_VERIFY_WITH_TIMEOUT(settings.Load(loadedPanel, loadedPrefs) && loadedPanel == panel, 3000);
  // A change not yet written is written at the close.
  Find<QScrollBar>(*w, "echoDelay")->setValue(120);
  w->FinishClose();
  panel.EchoDelayMs = 120;
  ASSERT_TRUE(settings.Load(loadedPanel, loadedPrefs));
  EXPECT_EQ(loadedPanel, panel);
}

TEST(Settings, AFileThatCannotBeReadIsSetAsideBeforeTheFirstWrite) {
  TempDir dir;
  const auto path = dir.Path / "sorvane.conf";
  const std::string unreadable = "[panel\nwaveform=2\n";  // a section never closed
  std::ofstream(path) << unreadable;
  std::ofstream(dir.Path / "sorvane.conf.bad") << "an older one";
  AppSettings settings(QString::fromStdString(path.string()));
  PanelSettings panel;
  Preferences prefs;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(settings.Load(panel, prefs));
  EXPECT_EQ(panel, PanelSettings{});
  panel.Octave = 0;
  ASSERT_TRUE(settings.Save(panel, prefs));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("kept as " + path.string() + ".bad.1"), std::string::npos) << err;
  EXPECT_EQ(ReadFileText((dir.Path / "sorvane.conf.bad.1").string()), unreadable);
  EXPECT_EQ(ReadFileText((dir.Path / "sorvane.conf.bad").string()), "an older one");
  PanelSettings loaded;
  ASSERT_TRUE(settings.Load(loaded, prefs));
  EXPECT_EQ(loaded.Octave, 0);
}

// Loads the file at path and saves a change; what went to stderr.
std::string LoadAndSaveAChange(AppSettings& settings, bool expectLoaded, PanelSettings& panel) {
  Preferences prefs;
  testing::internal::CaptureStderr();
  EXPECT_EQ(settings.Load(panel, prefs), expectLoaded);
  panel.EchoLevel = 77;
  EXPECT_TRUE(settings.Save(panel, prefs));
  return testing::internal::GetCapturedStderr();
}

TEST(Settings, BytesQtWouldTakeForSettingsAreKeptAsideAndTheLineSaysWhatHappened) {
  TestRandom random(33);
  std::string noise(4096, '\0');
  for (char& c : noise) c = static_cast<char>(random.Byte());
  // UTF-16, with its byte-order mark: Qt reads it as a file of one odd key.
  const std::string utf16("\xFF\xFE[\0p\0a\0n\0e\0l\0]\0\n\0o\0c\0t\0a\0v\0e\0=\0\x30\0\n\0", 34);
  for (const std::string& bytes : {noise, utf16}) {
    TempDir dir;
    const auto path = dir.Path / "sorvane.conf";
    std::ofstream(path, std::ios::binary) << bytes;
    AppSettings settings(QString::fromStdString(path.string()));
    PanelSettings panel;
    const std::string err = LoadAndSaveAChange(settings, false, panel);
    EXPECT_EQ(panel.Octave, PanelSettings{}.Octave);
    EXPECT_NE(err.find("not a settings file"), std::string::npos) << err;
    EXPECT_NE(err.find("kept as " + path.string() + ".bad"), std::string::npos) << err;
    EXPECT_EQ(err.find("cannot be written"), std::string::npos) << err;
    EXPECT_EQ(ReadFileText(path.string() + ".bad"), bytes);
    PanelSettings loaded;
    Preferences prefs;
    ASSERT_TRUE(settings.Load(loaded, prefs));
    EXPECT_EQ(loaded.EchoLevel, 77);
  }
}

TEST(Settings, AByteOrderMarkIsReadAndWrittenOverWithoutAWord) {
  TempDir dir;
  const auto path = dir.Path / "sorvane.conf";
  std::ofstream(path, std::ios::binary) << "\xEF\xBB\xBF[panel]\noctave=0\nwaveform=1\n";
  AppSettings settings(QString::fromStdString(path.string()));
  PanelSettings panel;
  EXPECT_EQ(LoadAndSaveAChange(settings, true, panel), "");
  EXPECT_EQ(panel.Octave, 0);
  EXPECT_EQ(panel.Waveform, 1);
  EXPECT_FALSE(std::filesystem::exists(path.string() + ".bad"));
  PanelSettings loaded;
  Preferences prefs;
  ASSERT_TRUE(settings.Load(loaded, prefs));
  EXPECT_EQ(loaded, panel);
}

TEST(Settings, AReadOnlyFileIsLeftAsItIsAndSaidOnce) {
  TempDir dir;
  const auto path = dir.Path / "sorvane.conf";
  const std::string kept = "[panel]\noctave=1\n";
  std::ofstream(path) << kept;
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  AppSettings settings(QString::fromStdString(path.string()));
  PanelSettings panel;
  Preferences prefs;
  ASSERT_TRUE(settings.Load(panel, prefs));
  testing::internal::CaptureStderr();
  for (int change = 0; change < 4; ++change) {
    panel.EchoLevel = change;
    EXPECT_FALSE(settings.Save(panel, prefs));
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find("read-only"), std::string::npos) << err;
  EXPECT_EQ(ReadFileText(path), kept);
}

TEST(Settings, ALinkThatLoopsIsKeptAndALinkToAFileIsWrittenThrough) {
  TempDir dir;
  const auto loop = dir.Path / "sorvane.conf";
  std::filesystem::create_symlink("sorvane.conf", loop);
  AppSettings looping(QString::fromStdString(loop.string()));
  PanelSettings panel;
  Preferences prefs;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(looping.Load(panel, prefs));
  EXPECT_FALSE(looping.Save(panel, prefs));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("loops"), std::string::npos) << err;
  EXPECT_TRUE(std::filesystem::is_symlink(loop));

  // A link kept with the user's other files stays a link to them.
  const auto link = dir.Path / "linked.conf";
  std::filesystem::create_directory(dir.Path / "dotfiles");
  std::filesystem::create_symlink("dotfiles/sorvane.conf", link);
  AppSettings linked(QString::fromStdString(link.string()));
  ASSERT_TRUE(linked.Load(panel, prefs));
  panel.Octave = 0;
  ASSERT_TRUE(linked.Save(panel, prefs));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  PanelSettings loaded;
  ASSERT_TRUE(
      AppSettings(QString::fromStdString((dir.Path / "dotfiles" / "sorvane.conf").string())).Load(loaded, prefs));
  EXPECT_EQ(loaded.Octave, 0);
}

TEST(Settings, ARelativeConfigHomeIsIgnored) {
  const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
  qputenv("XDG_CONFIG_HOME", "rel/cfg");
  const QString path = AppSettings::DefaultPath();
  qputenv("XDG_CONFIG_HOME", "/abs/cfg");
  const QString absolute = AppSettings::DefaultPath();
  qputenv("XDG_CONFIG_HOME", saved);
  EXPECT_EQ(path, QDir::homePath() + QStringLiteral("/.config/sorvane/sorvane.conf"));
  EXPECT_EQ(absolute, QStringLiteral("/abs/cfg/sorvane/sorvane.conf"));
}

}  // namespace
}  // namespace sorvane::test

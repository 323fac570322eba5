// SPDX-License-Identifier: GPL-3.0-or-later
// Settings kept between runs: what a damaged file gives and keeps, and a
// window that restores a kept panel through its own controls and writes a
// change.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/Settings.h"
#include "tests/app/AppTestSupport.h"

namespace sorvane::test {
namespace {

TEST(Settings, ADamagedFileGivesTheStartUpValueOfWhatIsWrongAndIsLeftAsItWas) {
  TempDir dir;
  const auto path = dir.Path / "sorvane.conf";
  const std::string damaged =
      "[panel]\noctave=0\nwaveform=7\nvibrato_depth=abc\nvibrato_shape=square\nemphasis=maybe\necho_level=55\n"
      "[sound]\nlatency=low\noutput_level_db=-30\nsystem=jack\n"
      "[midi]\nchannel=10\ncontroller_echo_level=1\ncontroller_vibrato_rate=64\n";
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
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 4) << err;
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
  prefs.Controllers = {kNoController, 1, 7, 74, 11};
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

}  // namespace
}  // namespace sorvane::test

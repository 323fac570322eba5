// SPDX-License-Identifier: GPL-3.0-or-later
// The preferences dialog: sound system, devices, latency, MIDI channel,
// output level, the level meters, the expression from a MIDI keyboard and
// the learnt MIDI controllers.
#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/ExpressionControls.h"
#include "app/MidiLearnMenu.h"
#include "app/Settings.h"
#include "devices/SoundSystem.h"
#include "keyboard/MidiNotes.h"

class QAction;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QPushButton;
class QSlider;
class QTableWidget;

namespace sorvane {

class LevelMonitor;
class MainWindow;

class TPreferencesDialog final : public QDialog {
 public:
  // What the sound servers offer; blocks for up to a few seconds.
  using DeviceLister = std::function<std::vector<SoundServerDevices>()>;

  // Shows the preferences in force; OK puts the choice into effect through
  // form.AcceptPreferences, and a learn started here ends with the dialog.
  // The devices are listed on a thread of their own when the dialog is
  // made, so that a server that does not answer holds up only the device
  // lists.
  explicit TPreferencesDialog(MainWindow& form, DeviceLister lister = DefaultLister());
  ~TPreferencesDialog() override;

  static DeviceLister DefaultLister();

  // The widgets set to prefs (the devices' lists keep what was listed).
  void ShowPreferences(const Preferences& prefs);
  // The preferences as the widgets show them now.
  Preferences Chosen() const;
  // Waits, handling events, until the devices are listed; false on time-out.
  bool WaitForDevices(int timeoutMs);
  bool DevicesListed() const { return Listed; }
  // A controller was learnt while the dialog is open: its table follows,
  // the controller taken from any other control that had it.
  void ControllerLearnt(MidiControl control, int32_t controller);
  // A MIDI controller moved the output level, the bend range or the glide
  // time: its control follows.
  void ShowFromMidi(MidiControl control, int32_t value);

  void accept() override;
  void done(int result) override;

  QComboBox* SystemBox = nullptr;
  QComboBox* InputBox = nullptr;
  QComboBox* OutputBox = nullptr;
  QLabel* DeviceNote = nullptr;  // servers that did not answer, or "listing"
  QComboBox* LatencyBox = nullptr;
  QComboBox* ChannelBox = nullptr;
  QSlider* LevelSlider = nullptr;
  QLabel* LevelLabel = nullptr;
  MidiLearnMenu* LevelMenu = nullptr;
  LevelMonitor* Levels = nullptr;  // the meters and the clip light
  ExpressionControls* Expression = nullptr;
  QTableWidget* ControllerTable = nullptr;
  std::array<QPushButton*, kMidiControlCount> ForgetButtons{};
  QLabel* WhenNote = nullptr;
  QDialogButtonBox* Buttons = nullptr;
  QPushButton* RestoreButton = nullptr;

 private:
  void DevicesArrived(std::vector<SoundServerDevices> servers);
  // Fills the two device lists for the system chosen, keeping the selection.
  void FillDevices(const QString& input, const QString& output);
  void ShowLevel(int32_t db);
  void ShowControllers();

  MainWindow& Form;
  std::vector<SoundServerDevices> Servers;
  bool Listed = false;
  std::array<int32_t, kMidiControlCount> Controllers{};
  // The listing thread's way to this dialog, cleared when it goes.
  struct ListingHandOff {
    std::mutex Mutex;
    TPreferencesDialog* Dialog = nullptr;
  };
  std::shared_ptr<ListingHandOff> HandOff;
  std::thread Lister;
};

}  // namespace sorvane

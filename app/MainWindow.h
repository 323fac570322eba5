// SPDX-License-Identifier: GPL-3.0-or-later
// MainWindow: the control panel over the keyboard. It owns the engine
// state, builds its parts in a fixed order at start-up, turns what the
// panel, the keys and the PC keyboard say into engine calls, shows the
// engine's notifications, and closes only when the engine lets it.
#pragma once

#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "app/AudioBackend.h"
#include "app/ControlPanel.h"
#include "app/EngineNotices.h"
#include "app/MidiInput.h"
#include "app/Platform.h"
#include "app/Settings.h"
#include "engine/Engine.h"
#include "engine/EngineThread.h"
#include "keyboard/KeyInput.h"
#include "keyboard/KeyTable.h"
#include "keyboard/widgets/KeyEvents.h"

class QAction;
class QFileDialog;

namespace sorvane {

class ControlPanel;
class KeyboardView;
class MidiLearnMenu;
class TAboutBox;
class TPreferencesDialog;

inline constexpr int kClientWidth = 375;
inline constexpr int kClientHeight = 369;
inline constexpr int kWindowLeft = 193;
inline constexpr int kWindowTop = 109;
// The watchdog's tick, slower until the sound has started.
inline constexpr int kWatchdogDesignedMs = 500;
inline constexpr int kWatchdogRunningMs = 250;
// How often the window looks for a lost sound server, and while it is
// lost, how often it tries to reconnect.
inline constexpr int kServerWatchMs = 1000;
// How long a changed setting waits before the settings file is written.
inline constexpr int kSaveDelayMs = 500;

class MainWindow : public QWidget, public NoticeTarget {
  Q_OBJECT

 public:
  explicit MainWindow(std::unique_ptr<AudioBackend> audio, QWidget* parent = nullptr);
  ~MainWindow() override;

  EngineState& Engine() { return *EngineData; }
  void SetAboutBox(TAboutBox* about) { AboutBox = about; }
  // The source the watchdog asks whether a key is physically down.
  void SetKeyStateSource(std::unique_ptr<KeyStateSource> source);
  // How key events are turned into virtual-key codes.
  void SetKeyCodeSource(KeyCodeSource source) { KeySource = source; }
  const QImage& RecordGlyph() const;
  const QImage& StopGlyph() const;
  // Shows a prepared file dialog and returns the chosen path, empty when
  // cancelled. Tests replace it to answer for the user.
  using FileChooser = std::function<QString(QFileDialog& dialog)>;
  void SetFileChooser(FileChooser chooser) { ChooseFile = std::move(chooser); }
  MidiInput* MidiIn() { return Midi.get(); }
  KeyboardView& Keyboard() { return *keyboard; }
  // The key watchdog's timer, and the sound server watch's.
  QTimer* Watchdog() const { return watchdog; }
  QTimer* ServerWatch() const { return serverWatch; }

  // The preferences in force. ApplyPreferences puts a changed set into
  // effect (the MIDI channel, the output level and the learnt controllers
  // at once; the sound system, the devices and the latency at the next
  // start) and saves it when settings are kept.
  const Preferences& CurrentPreferences() const { return Prefs; }
  void ApplyPreferences(const Preferences& prefs);
  // The dialog's OK: as ApplyPreferences, but a value the command line set
  // for this run is replaced only when the dialog changed it.
  void AcceptPreferences(Preferences chosen);
  // The preferences with this run's command-line values over the kept ones:
  // what is in effect, and what the dialog shows.
  Preferences PreferencesInForce() const;
  // Restores the kept panel through the controls' own handlers (after the
  // start-up order has run) and puts prefs into effect; from then on every
  // change is saved to settings. Null settings: nothing is saved.
  void UseSettings(AppSettings* settings, const PanelSettings& kept, const Preferences& prefs);
  // Options of the command line: in force for this run over the kept
  // preferences (a learnt controller or a changed preference does not undo
  // them), never saved.
  void OverrideForThisRun(const RunPreferences& run);
  // The panel as the controls show it, with the phrase dialogs' folders.
  PanelSettings CurrentPanel() const;

  // Opens the preferences dialog (modal, not waiting for it), or raises it
  // when it is open; also the right button's menu on the control panel and
  // Ctrl+Comma.
  void ShowPreferences();
  TPreferencesDialog* PreferencesDialog() const;
  QAction* PreferencesItem() const { return preferencesItem; }
  // The right-button menu of a scroll bar (not the output level).
  MidiLearnMenu* LearnMenu(MidiControl control) const { return learnMenus[static_cast<size_t>(control)]; }

  // A PC key down or up, seen before the focused control. Key is a
  // virtual-key code; set to 0 when the key was used here.
  void PcKeyDown(uint16_t& Key, Qt::KeyboardModifiers Shift);
  void PcKeyUp(uint16_t& Key, Qt::KeyboardModifiers Shift);

  // Whether the engine lets the window close now, and the close itself.
  bool MayClose();
  void FinishClose();

  // EngineHost
  void KeyColourChanged(int32_t key, bool sounding) override;
  void PhraseButtonsChanged(const PhraseButtons& buttons) override;
  void TakeChanged(bool recording) override;
  void AudioStarted() override;
  void RequestClose() override;
  // NoticeTarget: a MIDI controller moves its control.
  void ControlFromMidi(MidiControl control, int32_t value) override;
  // A controller was learnt: the preferences take it and are saved.
  void MidiControllerLearnt(MidiControl control, int32_t controller) override;

 signals:
  // The first close request: from here on the window only closes. A
  // request refused while buffers are out is followed by the engine's own.
  void CloseBegun();
  // The close has run: the take is complete and the devices are closed.
  void Closed();

 public slots:
  // The control panel: each tells the engine what its control now shows.
  void onOctaveChanged();
  void onWaveformChanged();
  // The four scroll bars, through their row of kPanelBars.
  void onBarChanged(MidiControl control);
  void onVibratoShapeChanged();
  void onVibratoAlwaysOnChanged();
  void onEmphasisChanged();
  void onInputVolumeClicked();
  void onOutputVolumeClicked();
  void onTakeClicked();
  void onAboutClicked();
  void onExitClicked();
  void onPhraseModeToggled();
  void onPhraseRecordClicked();
  void onPhraseLoadClicked();
  void onPhraseSaveClicked();
  void onKeyPressed(int32_t key);
  void onKeyReleased(int32_t key);
  // Releases keys whose release was missed.
  void onWatchdogTick();
  // Once a second: notices a lost sound server, and while it is lost tries
  // to reconnect and resume the sound.
  void onServerWatchTick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // The start-up order, in steps.
  void BuildWindow();
  void ChooseLanguage();
  void ConnectPanel();
  void TellEngineStartValues();
  void ListenToKeys();
  void StartSound();
  // The preferences item and the scroll bars' MIDI learn menus.
  void BuildMenus();
  // The control's controller forgotten, in the MIDI input and the preferences.
  void ForgetController(MidiControl control);
  // The sound server went away: the engine suspends, stderr and the window
  // say so once.
  void SoundServerLost();
  // Shows that the sound is gone (non-empty tip) or back (empty). Changes
  // no geometry and no caption.
  void ShowSoundGone(const QString& tip);
  QString SoundGoneTip(const std::string& detail) const;
  bool HandleKeyEvent(QKeyEvent* event);
  // Whether a key-up that Qt did not flag as a repeat is one all the same.
  bool ReleaseIsRepeat(int32_t code);
  bool MainWindowHasFocus() const;
  // Asks before an existing file is replaced; true when the user agrees.
  bool ConfirmReplace(const QString& path);
  // Says on stderr, and once per folder in a box that does not hold up the
  // window, that a take went somewhere other than the music folder.
  void ReportTakeFolder(const TakeFolder& folder, const QString& musicDir);

  std::unique_ptr<AudioBackend> Audio;
  std::unique_ptr<EngineState> EngineData;
  // The engine's lock, held by a handler while it changes the engine: the
  // engine's thread may be running a block meanwhile.
  std::unique_lock<EngineMutex> LockEngine() { return std::unique_lock<EngineMutex>(EngineData->EngineLock); }
  // What the engine tells the window, from whichever thread it runs on.
  std::unique_ptr<EngineNotices> Notices;
  // Runs the sound devices' events (the blocks) and MIDI when the devices
  // have an event queue; stopped before the engine and the devices go.
  EngineThread Thread;
  TAboutBox* AboutBox = nullptr;
  ControlPanel* panel = nullptr;
  KeyboardView* keyboard = nullptr;  // built after the panel's start values
  QTimer* watchdog = nullptr;
  QTimer* serverWatch = nullptr;
  QFileDialog* loadDialog = nullptr;
  QFileDialog* saveDialog = nullptr;
  QAction* preferencesItem = nullptr;
  std::array<MidiLearnMenu*, kPanelBarCount> learnMenus{};
  KeyCodeSource KeySource = KeyCodeSource::QtKey;
  EventKeyState EventKeys;
  std::unique_ptr<KeyStateSource> OwnKeyState;
  KeyStateSource* KeyState = &EventKeys;
  int32_t WatchdogTicks = 0;
  FileChooser ChooseFile;
  // Where each phrase dialog opens: the folder of the last file chosen in
  // it, not wherever the user browsed before cancelling.
  QString LoadDirectory;
  QString SaveDirectory;
  QString AnnouncedTakeFolder;      // the fallback take folder the window has named
  std::unique_ptr<MidiInput> Midi;  // goes first, before the engine it plays
  Preferences Prefs;
  // The command line's values for this run, over Prefs.
  RunPreferences Run;
  AppSettings* Settings = nullptr;  // null: nothing is saved
  // A setting changed: written shortly (a dragged scroll bar once it
  // rests, and at the latest at the close) when settings are kept.
  void SaveSettings();
  void WriteSettings();
  // The output level, the MIDI channel, the expression settings and the
  // controllers, as
  // PreferencesInForce gives them, to the engine and the MIDI input.
  void PutPreferencesInForce();
  QTimer* SaveTimer = nullptr;
  bool SettingsUnsaved = false;  // the last write failed
  QPointer<TPreferencesDialog> PrefsDialog;
  bool CloseRequested = false;
};

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's life: the start-up order, the engine's notifications,
// and the close handshake. The control panel is ControlPanel.cpp, the keys
// KeyboardView.cpp; the window's handlers of the panel are in
// PanelHandlers.cpp, of the PC keys in WindowKeys.cpp, the sound server
// watch in ServerWatch.cpp, the settings and preferences in
// WindowSettings.cpp.
#include "app/MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QLocale>

#include "app/KeyboardView.h"
#include "app/PhraseControls.h"
#include "app/Platform.h"
#include "app/PreferencesDialog.h"
#include "app/WindowColours.h"

namespace sorvane {

MainWindow::MainWindow(std::unique_ptr<AudioBackend> audio, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      Audio(std::move(audio)),
      EngineData(std::make_unique<EngineState>()),
      Notices(std::make_unique<EngineNotices>(*this, EngineData->EngineLock)) {
  BuildWindow();
  CreateEngine(*EngineData, Notices.get());
  LoadDirectory = DialogStartDirectory();
  SaveDirectory = LoadDirectory;
  ChooseLanguage();
  // The designed start values, set before the controls are listened to:
  // each handler then runs exactly once, in TellEngineStartValues.
  panel->SetStartValues();
  ConnectPanel();
  TellEngineStartValues();
  setWindowTitle(QStringLiteral("Sorvane"));
  keyboard = new KeyboardView(this, kPanelHeight);
  connect(keyboard, &KeyboardView::KeyPressed, this, &MainWindow::onKeyPressed);
  connect(keyboard, &KeyboardView::KeyReleased, this, &MainWindow::onKeyReleased);
  panel->raise();
  panel->resize(keyboard->width(), panel->height());
  setFixedSize(keyboard->width(), panel->height() + keyboard->height());
  ListenToKeys();
  StartSound();
  BuildMenus();
}

MainWindow::~MainWindow() {
  qApp->removeEventFilter(this);
  // No block runs from here on; events still queued are never handled.
  Thread.Stop();
  // Normally the close has done this; when the window goes without one,
  // the devices stop here, before the buffers they fill go with the engine.
  CloseAudio(*EngineData);
  // The engine must not call back into a window that is going.
  CreateEngine(*EngineData, nullptr);
}

void MainWindow::SetKeyStateSource(std::unique_ptr<KeyStateSource> source) {
  OwnKeyState = std::move(source);
  KeyState = OwnKeyState ? OwnKeyState.get() : &EventKeys;
}

const QImage& MainWindow::RecordGlyph() const { return panel->RecordGlyph(); }
const QImage& MainWindow::StopGlyph() const { return panel->StopGlyph(); }

// The window and its panel as designed: designed places, the designed panel
// width, the Japanese font; the captions come with the language.
void MainWindow::BuildWindow() {
  InstallFontSubstitutes();
  QPalette pal = palette();
  pal.setColor(QPalette::Window, kWindowColour);
  setPalette(pal);
  setAutoFillBackground(true);
  setFont(JapaneseWindowFont());
  resize(kPanelDesignedWidth, kPanelHeight + 160);
  move(kWindowLeft, kWindowTop);
  panel = new ControlPanel(this);

  watchdog = new QTimer(this);
  watchdog->setInterval(kWatchdogDesignedMs);
  serverWatch = new QTimer(this);
  serverWatch->setInterval(kServerWatchMs);
  // A scroll bar dragged writes the settings once it rests.
  SaveTimer = new QTimer(this);
  SaveTimer->setSingleShot(true);
  SaveTimer->setInterval(kSaveDelayMs);
  connect(SaveTimer, &QTimer::timeout, this, &MainWindow::WriteSettings);

  loadDialog = new QFileDialog(this);
  saveDialog = new QFileDialog(this);
  ChooseFile = [](QFileDialog& dialog) {
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().constFirst();
  };
}

// The caption language, decided once from the locale; the English window
// has its own font.
void MainWindow::ChooseLanguage() {
  SetLanguageJapanese(IsJapaneseLocale(QLocale()));
  if (!LanguageJapanese()) setFont(EnglishWindowFont());
  panel->SetCaptions(LanguageJapanese());
}

void MainWindow::ConnectPanel() {
  connect(panel, &ControlPanel::BarChanged, this, &MainWindow::onBarChanged);
  connect(panel, &ControlPanel::OctaveChanged, this, &MainWindow::onOctaveChanged);
  connect(panel, &ControlPanel::WaveformChanged, this, &MainWindow::onWaveformChanged);
  connect(panel, &ControlPanel::VibratoAlwaysOnChanged, this, &MainWindow::onVibratoAlwaysOnChanged);
  connect(panel, &ControlPanel::VibratoShapeChanged, this, &MainWindow::onVibratoShapeChanged);
  connect(panel, &ControlPanel::EmphasisChanged, this, &MainWindow::onEmphasisChanged);
  connect(panel, &ControlPanel::InputVolumeClicked, this, &MainWindow::onInputVolumeClicked);
  connect(panel, &ControlPanel::OutputVolumeClicked, this, &MainWindow::onOutputVolumeClicked);
  connect(panel, &ControlPanel::TakeClicked, this, &MainWindow::onTakeClicked);
  connect(panel, &ControlPanel::AboutClicked, this, &MainWindow::onAboutClicked);
  connect(panel, &ControlPanel::ExitClicked, this, &MainWindow::onExitClicked);
  PhraseControls& phrase = panel->Phrase();
  connect(&phrase, &PhraseControls::ModeToggled, this, &MainWindow::onPhraseModeToggled);
  connect(&phrase, &PhraseControls::RecordClicked, this, &MainWindow::onPhraseRecordClicked);
  connect(&phrase, &PhraseControls::LoadClicked, this, &MainWindow::onPhraseLoadClicked);
  connect(&phrase, &PhraseControls::SaveClicked, this, &MainWindow::onPhraseSaveClicked);
  connect(watchdog, &QTimer::timeout, this, &MainWindow::onWatchdogTick);
}

// Each handler once, in the designed order (the echo level stays at its
// minimum, 0, and is told all the same).
void MainWindow::TellEngineStartValues() {
  EngineState& engine = *EngineData;
  onBarChanged(MidiControl::ModDepth);
  onBarChanged(MidiControl::ModRate);
  SetCtrlHeld(engine, false);
  SetModAlwaysOn(engine, false);
  onWaveformChanged();
  onOctaveChanged();
  onVibratoShapeChanged();
  onBarChanged(MidiControl::EchoLevel);
  onBarChanged(MidiControl::EchoDelay);
}

// PC keys: seen by the main window before the focused control. The display
// server's own key state serves the watchdog where there is one.
void MainWindow::ListenToKeys() {
  KeySource = KeyCodeSourceFor(QGuiApplication::platformName());
  if (auto x11 = MakeX11KeyState()) SetKeyStateSource(std::move(x11));
  qApp->installEventFilter(this);
}

void MainWindow::StartSound() {
  EngineState& engine = *EngineData;
  engine.CaptureDevice = &Audio->Capture();
  engine.PlaybackDevice = &Audio->Playback();
  Midi = std::make_unique<MidiInput>(engine, *Notices, Audio->EventQueue(), Audio->MidiOnSoundClient());
  SetLatencyMode(engine, Audio->Latency());
  // The blocks run on the engine's own thread from the first capture on;
  // the boxes of that thread are shown here, in order.
  if (AudioEventQueue* events = Audio->EventQueue()) {
    Notices->RouteErrorBoxes();
    Thread.Start(engine, *events);
  }
  OpenAudio(engine);
  connect(serverWatch, &QTimer::timeout, this, &MainWindow::onServerWatchTick);
  serverWatch->start();
}

// ---- engine notifications ----

void MainWindow::KeyColourChanged(int32_t key, bool sounding) {
  // The keys are built after the engine has started to speak.
  if (keyboard != nullptr) keyboard->ShowKey(key, sounding);
}

void MainWindow::PhraseButtonsChanged(const PhraseButtons& buttons) {
  panel->Phrase().ShowButtons(buttons, LanguageJapanese());
}

void MainWindow::TakeChanged(bool recording) { panel->ShowTake(recording, LanguageJapanese()); }

void MainWindow::AudioStarted() {
  watchdog->setInterval(kWatchdogRunningMs);
  watchdog->start();
}

void MainWindow::RequestClose() { close(); }

// As if the user moved the scroll bar: its change handler sets the depth
// and the label.
void MainWindow::ControlFromMidi(MidiControl control, int32_t value) {
  switch (control) {
    case MidiControl::ModDepth:
    case MidiControl::ModRate:
    case MidiControl::EchoLevel:
    case MidiControl::EchoDelay: panel->SetBarValue(control, value); break;
    case MidiControl::OutputLevel:
    case MidiControl::BendRange:
    case MidiControl::GlideTime: {
      // No control of the window shows these: the preferences take the
      // value (and the dialog, when open, follows), over one the command
      // line set.
      Preferences prefs = Prefs;
      if (control == MidiControl::OutputLevel) {
        Run.OutputLevelDb.reset();
        prefs.OutputLevelDb = value;
      } else if (control == MidiControl::BendRange) {
        Run.BendRange.reset();
        prefs.BendRange = value;
      } else {
        Run.GlideMs.reset();
        prefs.GlideMs = value;
      }
      ApplyPreferences(prefs);
      if (PrefsDialog) PrefsDialog->ShowFromMidi(control, value);
      break;
    }
  }
}

// ---- closing ----

bool MainWindow::MayClose() { return CloseQuery(*EngineData); }

void MainWindow::FinishClose() {
  watchdog->stop();
  serverWatch->stop();
  if (SaveTimer->isActive() || SettingsUnsaved) {
    SaveTimer->stop();
    WriteSettings();
  }
  CloseAudio(*EngineData);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!CloseRequested) {
    CloseRequested = true;
    emit CloseBegun();
  }
  if (!MayClose()) {
    event->ignore();
    return;
  }
  FinishClose();
  event->accept();
  emit Closed();
}

}  // namespace sorvane

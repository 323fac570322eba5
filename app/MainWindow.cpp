// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's life: creation and the start-up order, the engine's
// notifications, and the close handshake. The controls are built in
// WindowControls.cpp, their handlers are in PanelHandlers.cpp, the keys in
// WindowKeys.cpp, the sound server watch in ServerWatch.cpp, the settings
// and preferences in WindowSettings.cpp.
#include "app/MainWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QToolButton>

#include "app/Glyphs.h"
#include "app/Platform.h"
#include "app/PreferencesDialog.h"
#include "app/WindowParts.h"
#include "keyboard/widgets/ColorButton.h"

namespace sorvane {

TForm1::TForm1(std::unique_ptr<AudioBackend> audio, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      Audio(std::move(audio)),
      EngineData(std::make_unique<EngineState>()),
      Notices(std::make_unique<EngineNotices>(*this, EngineData->EngineLock)) {
  BuildControls();
  FormCreate();
}

TForm1::~TForm1() {
  qApp->removeEventFilter(this);
  // No block runs from here on; events still queued are never handled.
  Thread.Stop();
  // Normally the close has done this; when the window goes without one,
  // the devices stop here, before the buffers they fill go with the engine.
  CloseAudio(*EngineData);
  // The engine must not call back into a window that is going.
  CreateEngine(*EngineData, nullptr);
}

void TForm1::SetKeyStateSource(std::unique_ptr<KeyStateSource> source) {
  OwnKeyState = std::move(source);
  KeyState = OwnKeyState ? OwnKeyState.get() : &EventKeys;
}

void TForm1::FormCreate() {
  CreateEngine(*EngineData, Notices.get());
  EngineState& engine = *EngineData;

  LoadDirectory = DialogStartDirectory();
  SaveDirectory = LoadDirectory;

  Label8->setText(QString());
  btnPhraseRec->setEnabled(false);
  btnPhraseLoad->setEnabled(false);
  btnPhraseSave->setEnabled(false);

  SetLanguageJapanese(IsJapaneseLocale(QLocale()));
  if (!LanguageJapanese()) setFont(EnglishWindowFont());
  SetCaptions(LanguageJapanese());
  // Radio items take their places for the font the window now has.
  ArrangeRadioGroup(RadioGroup2, RadioGroup2Items.data(), 4);
  ArrangeRadioGroup(RadioGroup1, RadioGroup1Items.data(), 3);

  RecordGlyphImage = MakeGlyph(kRecordGlyph);
  StopGlyphImage = MakeGlyph(kStopGlyph);
  RecordPixmap = QPixmap::fromImage(RecordGlyphImage);
  StopPixmap = QPixmap::fromImage(StopGlyphImage);
  btnRecord->setIcon(RecordPixmap);

  // The designed start-up values, set before the controls' signals are
  // connected: each handler then runs exactly once, below, and tells the
  // engine (the echo level stays at its minimum, 0).
  ScrollBar1->setValue(30);
  ScrollBar2->setValue(10);
  RadioGroup1Items[0]->setChecked(true);
  RadioGroup2Items[1]->setChecked(true);
  RadioButton1->setChecked(true);
  ScrollBar4->setValue(100);

  using Handler = void (TForm1::*)();
  const std::pair<QScrollBar*, Handler> bars[] = {{ScrollBar1, &TForm1::ScrollBar1Change},
                                                   {ScrollBar2, &TForm1::ScrollBar2Change},
                                                   {ScrollBar3, &TForm1::ScrollBar3Change},
                                                   {ScrollBar4, &TForm1::ScrollBar4Change}};
  for (const auto& [bar, handler] : bars) connect(bar, &QScrollBar::valueChanged, this, handler);
  // A radio group's click is a change of selection: clicking the item that
  // is already selected, or pressing Space on it, runs nothing.
  connect(RadioGroup2Buttons, &QButtonGroup::idToggled, this, [this](int, bool checked) {
    if (checked) RadioGroup2Click();
  });
  connect(RadioGroup1Buttons, &QButtonGroup::idToggled, this, [this](int, bool checked) {
    if (checked) RadioGroup1Click();
  });
  const std::pair<QAbstractButton*, Handler> toggles[] = {{chkModForceOn, &TForm1::chkModForceOnClick},
                                                          {RadioButton1, &TForm1::RadioButton1Click},
                                                          {CheckBox1, &TForm1::CheckBox1Click},
                                                          {chkPhraseOn, &TForm1::chkPhraseOnClick}};
  for (const auto& [button, handler] : toggles) connect(button, &QAbstractButton::toggled, this, handler);
  const std::pair<QAbstractButton*, Handler> clicks[] = {
      {btnInput, &TForm1::btnInputClick},         {btnOutput, &TForm1::btnOutputClick},
      {btnRecord, &TForm1::btnRecordClick},       {btnAbout, &TForm1::btnAboutClick},
      {btnExit, &TForm1::btnExitClick},           {btnPhraseRec, &TForm1::btnPhraseRecClick},
      {btnPhraseLoad, &TForm1::btnPhraseLoadClick}, {btnPhraseSave, &TForm1::btnPhraseSaveClick}};
  for (const auto& [button, handler] : clicks) connect(button, &QAbstractButton::clicked, this, handler);
  connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);

  ScrollBar1Change();
  ScrollBar2Change();
  SetCtrlHeld(engine, false);
  SetModAlwaysOn(engine, false);
  RadioGroup1Click();
  RadioGroup2Click();
  RadioButton1Click();

  for (QWidget* unused : std::initializer_list<QWidget*>{Label1, Label2, Label3, Bevel1, Image1, Image2}) unused->hide();

  ScrollBar3Change();
  ScrollBar4Change();

  setWindowTitle(QStringLiteral("Sorvane"));

  BuildKeyboard();

  // PC keys: seen by the main window before the focused control. The
  // display server's own key state serves the watchdog where there is one.
  KeySource = KeyCodeSourceFor(QGuiApplication::platformName());
  if (auto x11 = MakeX11KeyState()) SetKeyStateSource(std::move(x11));
  qApp->installEventFilter(this);

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
  connect(ServerWatch, &QTimer::timeout, this, &TForm1::ServerWatchTimer);
  ServerWatch->start();
  BuildMenus();
}

// ---- engine notifications ----

void TForm1::KeyColourChanged(int32_t key, bool sounding) {
  if (key < 0 || key >= kKeyCount || KeyButtons[key] == nullptr) return;
  const QColor own = KeyTable[key].IsBlack != 0 ? kBlack : kWhite;
  KeyButtons[key]->SetColor(sounding ? kSounding : own);
}

void TForm1::PhraseButtonsChanged(const PhraseButtons& buttons) {
  btnPhraseRec->setEnabled(buttons.RecEnabled);
  btnPhraseLoad->setEnabled(buttons.LoadEnabled);
  btnPhraseSave->setEnabled(buttons.SaveEnabled);
  const bool japanese = LanguageJapanese();
  switch (buttons.RecCaption) {
    case PhraseRecCaption::Rec: btnPhraseRec->setText(CaptionText(Caption::PhraseRecord, japanese)); break;
    case PhraseRecCaption::Say: btnPhraseRec->setText(CaptionText(Caption::PhraseSay, japanese)); break;
    case PhraseRecCaption::Recording: btnPhraseRec->setText(CaptionText(Caption::PhraseRecording, japanese)); break;
  }
}

void TForm1::TakeChanged(bool recording) {
  btnRecord->setIcon(recording ? StopPixmap : RecordPixmap);
  btnRecord->setText(CaptionText(recording ? Caption::RecordStop : Caption::Record, LanguageJapanese()));
}

void TForm1::AudioStarted() {
  Timer1->setInterval(kTimer1RunningMs);
  Timer1->start();
}

void TForm1::RequestClose() { close(); }

// As if the user moved the scroll bar: its change handler sets the depth
// and the label.
void TForm1::ControlFromMidi(MidiControl control, int32_t value) {
  switch (control) {
    case MidiControl::ModDepth: ScrollBar1->setValue(value); break;
    case MidiControl::ModRate: ScrollBar2->setValue(value); break;
    case MidiControl::EchoLevel: ScrollBar3->setValue(value); break;
    case MidiControl::EchoDelay: ScrollBar4->setValue(value); break;
    case MidiControl::OutputLevel: {
      // No control of the window shows it: the preferences take it (and
      // the dialog, when open, follows), over a level the command line set.
      RunOutputLevelDb.reset();
      Preferences prefs = Prefs;
      prefs.OutputLevelDb = value;
      ApplyPreferences(prefs);
      if (PrefsDialog) PrefsDialog->ShowLevelFromMidi(value);
      break;
    }
  }
}

// ---- closing ----

bool TForm1::FormCloseQuery() { return CloseQuery(*EngineData); }

void TForm1::FormClose() {
  Timer1->stop();
  ServerWatch->stop();
  if (SaveTimer->isActive() || SettingsUnsaved) {
    SaveTimer->stop();
    WriteSettings();
  }
  CloseAudio(*EngineData);
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (!CloseRequested) {
    CloseRequested = true;
    emit CloseBegun();
  }
  if (!FormCloseQuery()) {
    event->ignore();
    return;
  }
  FormClose();
  event->accept();
  emit Closed();
}

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: control panel, keyboard, key input, watchdog, engine
// notifications and the close handshake.
#include "app/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QToolButton>
#include <QWindow>

#include <cstdio>
#include <mutex>

#include "app/AboutBox.h"
#include "app/Glyphs.h"
#include "app/PhraseDialogs.h"
#include "app/PreferencesDialog.h"
#include "app/Platform.h"
#include "keyboard/KeyboardLayout.h"
#include "keyboard/widgets/ColorButton.h"

namespace sorvane {

static_assert(kWatchdogSlots == kVoiceCount);

namespace {

const QColor kWindowColour(160, 160, 164);
const QColor kWhite(255, 255, 255);
const QColor kBlack(0, 0, 0);
const QColor kSounding(255, 0, 0);
constexpr int kPanelDesignedWidth = 625;
// The comma key: a note key, except with Ctrl alone, which opens the
// preferences.
constexpr int32_t kVkComma = 0xBC;

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// Places the items of a radio group in one column under its caption, each
// item an equal share of the height that the caption leaves.
void ArrangeRadioGroup(QGroupBox* group, QRadioButton* const* items, int count) {
  const int textHeight = QFontMetrics(group->font()).height();
  const int room = group->height() - textHeight - 5;
  const int itemHeight = room / count;
  const int topMargin = textHeight + 1 + (room % count) / 2;
  for (int i = 0; i < count; ++i) {
    items[i]->setGeometry(8, topMargin + i * itemHeight, group->width() - 10, itemHeight);
  }
}

QLabel* MakeLabel(QWidget* parent, int left, int top, const QString& text) {
  auto* label = new QLabel(text, parent);
  label->move(left, top);
  label->adjustSize();
  return label;
}

QScrollBar* MakeScrollBar(QWidget* parent, int left, int top, int minimum, int maximum) {
  auto* bar = new QScrollBar(Qt::Horizontal, parent);
  bar->setGeometry(left, top, 97, 9);
  bar->setRange(minimum, maximum);
  bar->setSingleStep(1);
  bar->setPageStep(1);
  return bar;
}

QToolButton* MakeSpeedButton(QWidget* parent, const QRect& geometry, const QString& caption, bool flat) {
  auto* button = new QToolButton(parent);
  button->setGeometry(geometry);
  button->setText(caption);
  button->setAutoRaise(flat);
  button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  button->setIconSize(QSize(kGlyphSize, kGlyphSize));
  return button;
}

}  // namespace

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

// The controls as designed: Japanese captions, designed places, the
// designed panel width.
void TForm1::BuildControls() {
  InstallFontSubstitutes();
  QPalette pal = palette();
  pal.setColor(QPalette::Window, kWindowColour);
  setPalette(pal);
  setAutoFillBackground(true);
  setFont(JapaneseWindowFont());
  resize(kPanelDesignedWidth, kPanelHeight + 160);
  move(kWindowLeft, kWindowTop);

  Panel1 = new QFrame(this);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel1->setLineWidth(1);
  Panel1->setGeometry(0, 0, kPanelDesignedWidth, kPanelHeight);

  RadioGroup2 = new QGroupBox(U("オクターブ"), Panel1);
  RadioGroup2->setGeometry(8, 8, 97, 81);
  RadioGroup2Buttons = new QButtonGroup(this);
  const char* const octaves[] = {"High", "Mid", "Low", "Ultra Low"};
  for (int i = 0; i < 4; ++i) {
    RadioGroup2Items[i] = new QRadioButton(U(octaves[i]), RadioGroup2);
    RadioGroup2Buttons->addButton(RadioGroup2Items[i], i);
  }
  ArrangeRadioGroup(RadioGroup2, RadioGroup2Items.data(), 4);

  RadioGroup1 = new QGroupBox(U("波形"), Panel1);
  RadioGroup1->setGeometry(8, 96, 97, 81);
  RadioGroup1Buttons = new QButtonGroup(this);
  const char* const waves[] = {"インパルス", "ノコギリ波", "矩形波"};
  for (int i = 0; i < 3; ++i) {
    RadioGroup1Items[i] = new QRadioButton(U(waves[i]), RadioGroup1);
    RadioGroup1Buttons->addButton(RadioGroup1Items[i], i);
  }
  ArrangeRadioGroup(RadioGroup1, RadioGroup1Items.data(), 3);

  GroupBox1 = new QGroupBox(U("モジュレーション"), Panel1);
  GroupBox1->setGeometry(112, 8, 113, 137);
  Label4 = MakeLabel(GroupBox1, 8, 16, QString());
  ScrollBar1 = MakeScrollBar(GroupBox1, 8, 32, 0, 100);
  Label5 = MakeLabel(GroupBox1, 8, 48, QString());
  ScrollBar2 = MakeScrollBar(GroupBox1, 8, 64, 1, 20);
  RadioButton1 = new QRadioButton(U("三角波"), GroupBox1);
  RadioButton1->setGeometry(8, 80, 81, 17);
  RadioButton2 = new QRadioButton(U("矩形波"), GroupBox1);
  RadioButton2->setGeometry(8, 96, 89, 17);
  chkModForceOn = new QCheckBox(U("常にON"), GroupBox1);
  chkModForceOn->setGeometry(8, 112, 81, 17);

  GroupBox2 = new QGroupBox(U("エコー"), Panel1);
  GroupBox2->setGeometry(232, 8, 113, 81);
  Label6 = MakeLabel(GroupBox2, 8, 16, QString());
  ScrollBar3 = MakeScrollBar(GroupBox2, 8, 32, 0, 100);
  Label7 = MakeLabel(GroupBox2, 8, 48, QString());
  ScrollBar4 = MakeScrollBar(GroupBox2, 8, 64, 50, 200);

  btnInput = MakeSpeedButton(Panel1, QRect(240, 96, 73, 25), U("入力音量"), true);
  btnInput->setIcon(QPixmap::fromImage(MakeGlyph(kMicrophoneGlyph)));
  btnOutput = MakeSpeedButton(Panel1, QRect(240, 120, 73, 25), U("出力音量"), true);
  btnOutput->setIcon(QPixmap::fromImage(MakeGlyph(kSpeakerGlyph)));
  btnRecord = MakeSpeedButton(Panel1, QRect(312, 96, 57, 25), U("録音"), true);
  btnAbout = MakeSpeedButton(Panel1, QRect(312, 120, 57, 25), U("About"), true);
  btnExit = MakeSpeedButton(Panel1, QRect(312, 144, 57, 25), U("終了"), true);

  GroupBox3 = new QGroupBox(U("フレーズモード"), Panel1);
  GroupBox3->setGeometry(112, 152, 185, 49);
  chkPhraseOn = new QCheckBox(U("ON"), GroupBox3);
  chkPhraseOn->setGeometry(8, 16, 41, 17);
  btnPhraseRec = MakeSpeedButton(GroupBox3, QRect(56, 16, 41, 25), U("録音"), false);
  btnPhraseLoad = new QPushButton(U("読込"), GroupBox3);
  btnPhraseLoad->setGeometry(96, 16, 41, 25);
  btnPhraseSave = new QPushButton(U("保存"), GroupBox3);
  btnPhraseSave->setGeometry(136, 16, 41, 25);

  Label8 = MakeLabel(Panel1, 320, 184, U("Label8"));
  CheckBox1 = new QCheckBox(U("高域強調"), Panel1);
  CheckBox1->setGeometry(376, 112, 89, 17);
  chkNoise = new QCheckBox(U("ノイズ"), Panel1);
  chkNoise->setGeometry(376, 128, 57, 17);
  Image1 = new QLabel(Panel1);
  Image1->setGeometry(376, 8, 81, 50);
  Image2 = new QLabel(Panel1);
  Image2->setGeometry(376, 64, 129, 41);
  Bevel1 = new QFrame(Panel1);
  Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
  Bevel1->setGeometry(528, 112, 81, 50);
  Label1 = MakeLabel(Panel1, 544, 16, U("Label1"));
  Label2 = MakeLabel(Panel1, 544, 32, U("Label2"));
  Label3 = MakeLabel(Panel1, 544, 40, U("Label3"));

  Timer1 = new QTimer(this);
  Timer1->setInterval(kTimer1DesignedMs);
  ServerWatch = new QTimer(this);
  ServerWatch->setInterval(kServerWatchMs);
  // A scroll bar dragged writes the settings once it rests.
  SaveTimer = new QTimer(this);
  SaveTimer->setSingleShot(true);
  SaveTimer->setInterval(kSaveDelayMs);
  connect(SaveTimer, &QTimer::timeout, this, &TForm1::WriteSettings);

  OpenDialog1 = new QFileDialog(this);
  SaveDialog1 = new QFileDialog(this);
  ChooseFile = [](QFileDialog& dialog) {
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().constFirst();
  };
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
  if (!LanguageJapanese()) {
    setFont(EnglishWindowFont());
    SetEnglishCaptions();
  }
  // Radio items take their places for the font the window now has.
  ArrangeRadioGroup(RadioGroup2, RadioGroup2Items.data(), 4);
  ArrangeRadioGroup(RadioGroup1, RadioGroup1Items.data(), 3);

  RecordGlyphImage = MakeGlyph(kRecordGlyph);
  StopGlyphImage = MakeGlyph(kStopGlyph);
  RecordPixmap = QPixmap::fromImage(RecordGlyphImage);
  StopPixmap = QPixmap::fromImage(StopGlyphImage);
  btnRecord->setIcon(RecordPixmap);

  connect(ScrollBar1, &QScrollBar::valueChanged, this, &TForm1::ScrollBar1Change);
  connect(ScrollBar2, &QScrollBar::valueChanged, this, &TForm1::ScrollBar2Change);
  connect(ScrollBar3, &QScrollBar::valueChanged, this, &TForm1::ScrollBar3Change);
  connect(ScrollBar4, &QScrollBar::valueChanged, this, &TForm1::ScrollBar4Change);
  // A radio group's click is a change of selection: clicking the item that
  // is already selected, or pressing Space on it, runs nothing.
  connect(RadioGroup2Buttons, &QButtonGroup::idToggled, this, [this](int, bool checked) {
    if (checked) RadioGroup2Click();
  });
  connect(RadioGroup1Buttons, &QButtonGroup::idToggled, this, [this](int, bool checked) {
    if (checked) RadioGroup1Click();
  });
  connect(chkModForceOn, &QCheckBox::toggled, this, &TForm1::chkModForceOnClick);
  connect(RadioButton1, &QRadioButton::toggled, this, &TForm1::RadioButton1Click);
  connect(CheckBox1, &QCheckBox::toggled, this, &TForm1::CheckBox1Click);
  connect(btnInput, &QToolButton::clicked, this, &TForm1::btnInputClick);
  connect(btnOutput, &QToolButton::clicked, this, &TForm1::btnOutputClick);
  connect(btnRecord, &QToolButton::clicked, this, &TForm1::btnRecordClick);
  connect(btnAbout, &QToolButton::clicked, this, &TForm1::btnAboutClick);
  connect(btnExit, &QToolButton::clicked, this, &TForm1::btnExitClick);
  connect(chkPhraseOn, &QCheckBox::toggled, this, &TForm1::chkPhraseOnClick);
  connect(btnPhraseRec, &QToolButton::clicked, this, &TForm1::btnPhraseRecClick);
  connect(btnPhraseLoad, &QPushButton::clicked, this, &TForm1::btnPhraseLoadClick);
  connect(btnPhraseSave, &QPushButton::clicked, this, &TForm1::btnPhraseSaveClick);
  connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);

  ScrollBar1->setValue(30);
  ScrollBar1Change();
  ScrollBar2->setValue(10);
  ScrollBar2Change();

  SetCtrlHeld(engine, false);
  SetModAlwaysOn(engine, false);

  RadioGroup1Items[0]->setChecked(true);
  RadioGroup1Click();
  RadioGroup2Items[1]->setChecked(true);
  RadioGroup2Click();
  RadioButton1->setChecked(true);
  RadioButton1Click();

  Label1->hide();
  Label2->hide();
  Label3->hide();
  Bevel1->hide();
  Image1->hide();
  Image2->hide();

  ScrollBar3->setValue(100);
  ScrollBar3Change();
  ScrollBar3->setValue(0);
  ScrollBar3Change();
  ScrollBar4->setValue(200);
  ScrollBar4Change();
  ScrollBar4->setValue(100);
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

void TForm1::SetEnglishCaptions() {
  RadioGroup2->setTitle(U("Octabe"));
  RadioGroup1->setTitle(U("Wave Format"));
  RadioGroup1Items[0]->setText(U("Impulse"));
  RadioGroup1Items[1]->setText(U("Saw"));
  RadioGroup1Items[2]->setText(U("Square"));
  GroupBox1->setTitle(U("Modulation"));
  RadioButton1->setText(U("Triangle"));
  RadioButton2->setText(U("Square"));
  chkModForceOn->setText(U("Always ON"));
  GroupBox2->setTitle(U("Echo"));
  btnInput->setText(U("Input Vol"));
  btnOutput->setText(U("Output Vol"));
  btnRecord->setText(U("Rec"));
  btnExit->setText(U("Exit"));
  GroupBox3->setTitle(U("Phrase Mode"));
  btnPhraseRec->setText(U("Rec"));
  btnPhraseLoad->setText(U("Load"));
  btnPhraseSave->setText(U("Save"));
}

void TForm1::BuildKeyboard() {
  const KeyboardLayout layout = LayoutKeyboard(KeyTable, Panel1->height());
  for (int i = 0; i < kKeyCount; ++i) {
    const TKeyTable& e = KeyTable[i];
    auto* button = new TColorButton(this);
    KeyButtons[i] = button;
    button->setText(QString::fromUtf8(KeyCaption(e).c_str()));
    if (e.IsBlack != 0) {
      button->SetColor(kBlack);
      button->SetFontColor(kWhite);
    } else {
      button->SetColor(kWhite);
      button->SetFontColor(kBlack);
    }
    const KeyPlacement& p = layout.Keys[i];
    button->setGeometry(p.Left, p.Top, p.Width, p.Height);
    button->SetKeyNum(i);
    connect(button, &TColorButton::MouseDown, this, &TForm1::KeyMouseDown);
    connect(button, &TColorButton::MouseUp, this, &TForm1::KeyMouseUp);
  }
  for (int32_t index : layout.StackOrder) KeyButtons[index]->raise();
  Panel1->raise();
  Panel1->resize(layout.Width, Panel1->height());
  setFixedSize(layout.Width, Panel1->height() + kKeyboardHeight);
}

// ---- the sound server going away and coming back ----

void TForm1::ServerWatchTimer() {
  if (CloseRequested) return;
  EngineState& engine = *EngineData;
  // The buffers come back on the engine's thread; while the sound is gone
  // it has no blocks to run, so holding its lock here costs nothing.
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  if (!engine.Suspended) {
    if (Audio->ServerLost()) SoundServerLost();
    return;
  }
  // The old devices first give back every buffer and close.
  if (!SuspendSettled(engine)) return;
  std::string reason;
  if (!Audio->Reconnect(reason)) {
    ShowSoundGone(SoundGoneTip(reason));
    return;
  }
  if (const char* failed = ResumeAudio(engine)) {
    ShowSoundGone(SoundGoneTip(failed));
    return;
  }
  std::fprintf(stderr, "sorvane: the sound server is back; the sound goes on\n");
  ShowSoundGone(QString());
}

void TForm1::SoundServerLost() {
  SuspendAudio(*EngineData);
  std::fprintf(stderr, "sorvane: the sound server went away; trying again every second\n");
  ShowSoundGone(SoundGoneTip(std::string()));
}

QString TForm1::SoundGoneTip(const std::string& detail) const {
  QString tip = LanguageJapanese() ? U("サウンドサーバーとの接続が切れました。1秒ごとに再接続を試みています。")
                                   : U("The sound server has gone away; trying again every second.");
  if (!detail.empty()) tip += QStringLiteral("\n(%1)").arg(QString::fromStdString(detail));
  return tip;
}

void TForm1::ShowSoundGone(const QString& tip) {
  for (QToolButton* button : {btnInput, btnOutput}) {
    button->setEnabled(tip.isEmpty());
    button->setToolTip(tip);
  }
}

// ---- control panel ----

void TForm1::RadioGroup2Click() {
  SetOctave(*EngineData, 3 - RadioGroup2Buttons->checkedId());
  SaveSettings();
}

void TForm1::RadioGroup1Click() {
  SelectWaveform(*EngineData, RadioGroup1Buttons->checkedId());
  SaveSettings();
}

void TForm1::ScrollBar1Change() {
  SetModDepth(*EngineData, ScrollBar1->value());
  Label4->setText(QString::asprintf("%d%%", EngineData->Params.ModDepth));
  Label4->adjustSize();
  SaveSettings();
}

void TForm1::ScrollBar2Change() {
  SetModRate(*EngineData, ScrollBar2->value());
  Label5->setText(QString::asprintf("%dHz", EngineData->Params.ModRate));
  Label5->adjustSize();
  SaveSettings();
}

void TForm1::ScrollBar3Change() {
  SetEchoLevel(*EngineData, ScrollBar3->value());
  Label6->setText(QString::asprintf("%d%%", EngineData->Params.EchoLevel));
  Label6->adjustSize();
  SaveSettings();
}

void TForm1::ScrollBar4Change() {
  SetEchoDelayMs(*EngineData, ScrollBar4->value());
  Label7->setText(QString::asprintf("%dms", EngineData->Params.EchoDelayMs));
  Label7->adjustSize();
  SaveSettings();
}

void TForm1::chkModForceOnClick() {
  SetModAlwaysOn(*EngineData, chkModForceOn->isChecked());
  SaveSettings();
}

// The engine reads the vibrato shape and the emphasis switch from these.
void TForm1::RadioButton1Click() {
  SetModShape(*EngineData, RadioButton1->isChecked());
  SaveSettings();
}

void TForm1::CheckBox1Click() {
  SetEmphasis(*EngineData, CheckBox1->isChecked());
  SaveSettings();
}

void TForm1::btnInputClick() { StartVolumeControl(true); }

void TForm1::btnOutputClick() { StartVolumeControl(false); }

void TForm1::btnRecordClick() {
  if (EngineData->Take.Recording) {
    ToggleTake(*EngineData, "");  // ends the take; the folder is not used
    return;
  }
  const QString musicDir = MusicDirectory();
  const TakeFolder folder = ChooseTakeFolder(musicDir, HomeDirectory(), QDir::currentPath());
  const QByteArray directory = QFile::encodeName(folder.Path);
  ToggleTake(*EngineData, directory.constData());
  if (EngineData->Take.Recording && !folder.InMusicFolder) ReportTakeFolder(folder, musicDir);
}

void TForm1::ReportTakeFolder(const TakeFolder& folder, const QString& musicDir) {
  // Every such take gets its line on stderr; the window says it once per
  // folder, in a box that does not stop the take or the window.
  std::fprintf(stderr, "sorvane: %s\n", TakeFolderNotice(folder, musicDir, false).toLocal8Bit().constData());
  if (folder.Path == AnnouncedTakeFolder) return;
  AnnouncedTakeFolder = folder.Path;
  auto* box = new QMessageBox(QMessageBox::Information, windowTitle(),
                              TakeFolderNotice(folder, musicDir, LanguageJapanese()), QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
}

void TForm1::btnAboutClick() {
  if (!AboutBox) return;
  AboutBox->show();
  AboutBox->raise();
  AboutBox->activateWindow();
}

void TForm1::btnExitClick() { close(); }

// ---- phrase group ----

void TForm1::chkPhraseOnClick() { SetPhraseOn(*EngineData, chkPhraseOn->isChecked()); }

void TForm1::btnPhraseRecClick() { EngineStartPhraseCapture(*EngineData); }

void TForm1::btnPhraseLoadClick() {
  PhraseLoadBegin(*EngineData);
  PrepareLoadDialog(*OpenDialog1, LanguageJapanese());
  OpenDialog1->setDirectory(LoadDirectory);
  const QString path = ChooseFile(*OpenDialog1);
  if (path.isEmpty()) return;
  LoadDirectory = QFileInfo(path).absolutePath();
  SaveSettings();
  // The area the dialog covered is drawn again before the analysis runs.
  repaint();
  PhraseLoadFile(*EngineData, QFile::encodeName(path).constData());
}

void TForm1::btnPhraseSaveClick() {
  PrepareSaveDialog(*SaveDialog1, LanguageJapanese());
  SaveDialog1->setDirectory(SaveDirectory);
  QString path = ChooseFile(*SaveDialog1);
  if (path.isEmpty()) return;
  SaveDirectory = QFileInfo(path).absolutePath();
  SaveSettings();
  // A name that comes back without an extension gets the default one. The
  // dialog's overwrite prompt saw the name without it, so an existing file
  // of the completed name is only replaced once the user has said so.
  if (QFileInfo(path).suffix().isEmpty()) {
    path += QLatin1Char('.') + SaveDialog1->defaultSuffix();
    if (QFileInfo::exists(path) && !ConfirmReplace(path)) return;
  }
  PhraseSaveFile(*EngineData, QFile::encodeName(path).constData());
}

bool TForm1::ConfirmReplace(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  const QString text = LanguageJapanese() ? U("%1 は既に存在します。\n置き換えますか?").arg(name)
                                          : U("%1 already exists.\nDo you want to replace it?").arg(name);
  QMessageBox box(QMessageBox::Warning, SaveDialog1->windowTitle(), text, QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

// ---- keyboard ----

void TForm1::KeyMouseDown(TColorButton* Sender, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
  KeyNoteOn(*EngineData, Sender->KeyNum());
}

void TForm1::KeyMouseUp(TColorButton* Sender, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
  KeyNoteOff(*EngineData, Sender->KeyNum());
}

void TForm1::FormKeyDown(QObject*, uint16_t& Key, Qt::KeyboardModifiers Shift) {
  SetCtrlHeld(*EngineData, Shift.testFlag(Qt::ControlModifier));
  int32_t passedOver = 0;
  const int32_t index = FindKeyIndex(Key, &passedOver);
  if (passedOver > 0) Label3->setText(QString::asprintf("%d", Key));
  if (index < 0) return;
  KeyNoteOn(*EngineData, index);
  Key = 0;
}

void TForm1::FormKeyUp(QObject*, uint16_t& Key, Qt::KeyboardModifiers Shift) {
  SetCtrlHeld(*EngineData, Shift.testFlag(Qt::ControlModifier));
  const int32_t index = FindKeyIndex(Key);
  if (index < 0) return;
  KeyNoteOff(*EngineData, index);
  Key = 0;
}

bool TForm1::HandleKeyEvent(QKeyEvent* event) {
  const bool down = event->type() == QEvent::KeyPress;
  const int32_t code = VirtualKeyFromEvent(*event, KeySource);
  // The Ctrl key's own events carry the state after the event.
  Qt::KeyboardModifiers shift = event->modifiers();
  if (code == kVkControl) shift.setFlag(Qt::ControlModifier, down);

  if (!down && event->isAutoRepeat()) {
    // Held keys repeat as key-downs only; the repeat's key-up is no release.
    return code != kVkNone && FindKeyIndex(code) >= 0;
  }
  uint16_t key = static_cast<uint16_t>(code);
  if (down && code == kVkComma &&
      (shift & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier | Qt::MetaModifier)) == Qt::ControlModifier) {
    // Ctrl+Comma plays no note. The dialog opens once the key event is
    // done; a held key's repeats open nothing more.
    if (!event->isAutoRepeat()) QMetaObject::invokeMethod(this, &TForm1::ShowPreferences, Qt::QueuedConnection);
    return true;
  }
  if (down) {
    EventKeys.KeyDown(code);
    FormKeyDown(this, key, shift);
  } else {
    EventKeys.KeyUp(code);
    FormKeyUp(this, key, shift);
  }
  return code != kVkNone && key == 0;
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && watched == windowHandle() &&
      windowHandle() != nullptr) {
    return HandleKeyEvent(static_cast<QKeyEvent*>(event));
  }
  return QWidget::eventFilter(watched, event);
}

void TForm1::changeEvent(QEvent* event) {
  // Key-ups after a focus change go to another window: count every key up.
  if (event->type() == QEvent::ActivationChange && !isActiveWindow()) EventKeys.FocusLost();
  QWidget::changeEvent(event);
}

bool TForm1::MainWindowHasFocus() const { return QApplication::focusWidget() == this; }

void TForm1::Timer1Timer() {
  if (!WatchdogTick(WatchdogTicks)) return;
  if (MainWindowHasFocus()) return;
  EngineState& engine = *EngineData;
  // The voices and the MIDI notes change on the engine's thread.
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  const WatchdogRelease release = WatchdogScan(KeyTable, engine.CtrlHeld, engine.Pool.VoiceKeys, *KeyState,
                                               [this](int32_t key) {
                                                 // A key MIDI holds counts as held down.
                                                 return KeyButtons[key]->IsPressed() || Midi->HoldsKey(key);
                                               });
  if (release.ClearCtrl) SetCtrlHeld(engine, false);
  for (int i = 0; i < release.KeyCount; ++i) KeyNoteOff(engine, release.Keys[i]);
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
    case PhraseRecCaption::Rec: btnPhraseRec->setText(japanese ? U("録音") : U("Rec")); break;
    case PhraseRecCaption::Say: btnPhraseRec->setText(U("SAY")); break;
    case PhraseRecCaption::Recording: btnPhraseRec->setText(japanese ? U("録音中") : U("Rec...")); break;
  }
}

void TForm1::TakeChanged(bool recording) {
  const bool japanese = LanguageJapanese();
  btnRecord->setIcon(recording ? StopPixmap : RecordPixmap);
  if (recording) {
    btnRecord->setText(japanese ? U("中止") : U("Stop"));
  } else {
    btnRecord->setText(japanese ? U("録音") : U("Rec"));
  }
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
      // the dialog, when open, follows).
      Preferences prefs = Prefs;
      prefs.OutputLevelDb = value;
      ApplyPreferences(prefs);
      if (PrefsDialog) PrefsDialog->ShowLevelFromMidi(value);
      break;
    }
  }
}

// ---- preferences and MIDI learn ----

void TForm1::BuildMenus() {
  const bool japanese = LanguageJapanese();
  PreferencesAction = new QAction(japanese ? U("環境設定...\tCtrl+,") : U("Preferences...\tCtrl+,"), this);
  connect(PreferencesAction, &QAction::triggered, this, &TForm1::ShowPreferences);
  // The panel and what it holds; the keys are not in it and play on any
  // button.
  Panel1->setContextMenuPolicy(Qt::ActionsContextMenu);
  Panel1->addAction(PreferencesAction);
  const std::array<QScrollBar*, 4> bars{ScrollBar1, ScrollBar2, ScrollBar3, ScrollBar4};
  for (size_t i = 0; i < bars.size(); ++i) {
    const auto control = static_cast<MidiControl>(i);
    ScrollBarMenus[i] = new MidiLearnMenu(
        bars[i], [this, i] { return Prefs.Controllers[i]; },
        [this, control] {
          if (Midi) Midi->StartLearning(control);
        },
        [this, control] { ForgetController(control); });
  }
}

void TForm1::ShowPreferences() {
  if (PrefsDialog) {
    PrefsDialog->raise();
    PrefsDialog->activateWindow();
    return;
  }
  auto* dialog = new TPreferencesDialog(*this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowModality(Qt::ApplicationModal);
  PrefsDialog = dialog;
  dialog->show();
}

TPreferencesDialog* TForm1::PreferencesDialog() const { return PrefsDialog; }

void TForm1::ForgetController(MidiControl control) {
  if (Midi) Midi->SetController(control, kNoController);
  Preferences prefs = Prefs;
  prefs.Controllers[static_cast<size_t>(control)] = kNoController;
  ApplyPreferences(prefs);
}

void TForm1::MidiControllerLearnt(MidiControl control, int32_t controller) {
  if (!Midi) return;
  // The learnt controller may have been taken from another control.
  Preferences prefs = Prefs;
  prefs.Controllers = Midi->Controllers().Controller;
  ApplyPreferences(prefs);
  if (PrefsDialog) PrefsDialog->ControllerLearnt(control, controller);
}

// ---- closing ----

bool TForm1::FormCloseQuery() { return CloseQuery(*EngineData); }

void TForm1::FormClose() {
  Timer1->stop();
  ServerWatch->stop();
  if (SaveTimer->isActive()) {
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

namespace sorvane {

// ---- settings and preferences ----

PanelSettings TForm1::CurrentPanel() const {
  PanelSettings panel;
  panel.Waveform = RadioGroup1Buttons->checkedId();
  panel.Octave = 3 - RadioGroup2Buttons->checkedId();
  panel.ModDepth = ScrollBar1->value();
  panel.ModRate = ScrollBar2->value();
  panel.TriangleShape = RadioButton1->isChecked();
  panel.ModAlwaysOn = chkModForceOn->isChecked();
  panel.EchoLevel = ScrollBar3->value();
  panel.EchoDelayMs = ScrollBar4->value();
  panel.Emphasis = CheckBox1->isChecked();
  panel.LoadDirectory = LoadDirectory;
  panel.SaveDirectory = SaveDirectory;
  return panel;
}

void TForm1::UseSettings(AppSettings* settings, const PanelSettings& panel, const Preferences& prefs) {
  // Each control set as the user would set it, so that its own handler
  // tells the engine; nothing is written meanwhile.
  Settings = nullptr;
  RadioGroup1Items[static_cast<size_t>(panel.Waveform)]->setChecked(true);
  RadioGroup2Items[static_cast<size_t>(3 - panel.Octave)]->setChecked(true);
  ScrollBar1->setValue(panel.ModDepth);
  ScrollBar2->setValue(panel.ModRate);
  (panel.TriangleShape ? RadioButton1 : RadioButton2)->setChecked(true);
  chkModForceOn->setChecked(panel.ModAlwaysOn);
  ScrollBar3->setValue(panel.EchoLevel);
  ScrollBar4->setValue(panel.EchoDelayMs);
  CheckBox1->setChecked(panel.Emphasis);
  if (!panel.LoadDirectory.isEmpty()) LoadDirectory = panel.LoadDirectory;
  if (!panel.SaveDirectory.isEmpty()) SaveDirectory = panel.SaveDirectory;
  ApplyPreferences(prefs);
  SaveTimer->stop();
  Settings = settings;
}

void TForm1::ApplyPreferences(const Preferences& prefs) {
  Prefs = prefs;
  {
    std::lock_guard<EngineMutex> lock(EngineData->EngineLock);
    SetOutputLevel(*EngineData, prefs.OutputLevelDb);
  }
  if (Midi) {
    Midi->SetChannel(prefs.MidiChannel);
    Midi->SetControllers(prefs.Controllers);
  }
  SaveSettings();
}

void TForm1::OverrideForThisRun(std::optional<int32_t> outputLevelDb, std::optional<int32_t> midiChannel) {
  if (outputLevelDb) {
    std::lock_guard<EngineMutex> lock(EngineData->EngineLock);
    SetOutputLevel(*EngineData, *outputLevelDb);
  }
  if (midiChannel && Midi) Midi->SetChannel(*midiChannel);
}

void TForm1::SaveSettings() {
  if (Settings != nullptr) SaveTimer->start();
}

void TForm1::WriteSettings() {
  if (Settings != nullptr) Settings->Save(CurrentPanel(), Prefs);
}

}  // namespace sorvane

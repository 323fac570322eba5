// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's controls: built in their designed places, captioned in
// the window's language, the keyboard laid out, the menus added.
#include "app/MainWindow.h"

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFileDialog>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QToolButton>

#include "app/Glyphs.h"
#include "app/Platform.h"
#include "app/PreferencesDialog.h"
#include "app/WindowParts.h"
#include "keyboard/KeyboardLayout.h"
#include "keyboard/widgets/ColorButton.h"

namespace sorvane {

void ArrangeRadioGroup(QGroupBox* group, QRadioButton* const* items, int count) {
  const int textHeight = QFontMetrics(group->font()).height();
  const int room = group->height() - textHeight - 5;
  const int itemHeight = room / count;
  const int topMargin = textHeight + 1 + (room % count) / 2;
  for (int i = 0; i < count; ++i) {
    items[i]->setGeometry(8, topMargin + i * itemHeight, group->width() - 10, itemHeight);
  }
}

namespace {

constexpr int kPanelDesignedWidth = 625;

// A new control of the parent in its designed place.
template <typename Control>
Control* Place(QWidget* parent, const QRect& geometry) {
  auto* control = new Control(parent);
  control->setGeometry(geometry);
  return control;
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

// The controls as designed: designed places, the designed panel width, the
// Japanese font; the captions come with the language (SetCaptions).
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

  RadioGroup2 = Place<QGroupBox>(Panel1, QRect(8, 8, 97, 81));
  RadioGroup2Buttons = new QButtonGroup(this);
  const char* const octaves[] = {"High", "Mid", "Low", "Ultra Low"};
  for (int i = 0; i < 4; ++i) {
    RadioGroup2Items[i] = new QRadioButton(U(octaves[i]), RadioGroup2);
    RadioGroup2Buttons->addButton(RadioGroup2Items[i], i);
  }
  ArrangeRadioGroup(RadioGroup2, RadioGroup2Items.data(), 4);

  RadioGroup1 = Place<QGroupBox>(Panel1, QRect(8, 96, 97, 81));
  RadioGroup1Buttons = new QButtonGroup(this);
  for (int i = 0; i < 3; ++i) {
    RadioGroup1Items[i] = new QRadioButton(RadioGroup1);
    RadioGroup1Buttons->addButton(RadioGroup1Items[i], i);
  }
  ArrangeRadioGroup(RadioGroup1, RadioGroup1Items.data(), 3);

  GroupBox1 = Place<QGroupBox>(Panel1, QRect(112, 8, 113, 137));
  Label4 = MakeLabel(GroupBox1, 8, 16, QString());
  ScrollBar1 = MakeScrollBar(GroupBox1, 8, 32, 0, 100);
  Label5 = MakeLabel(GroupBox1, 8, 48, QString());
  ScrollBar2 = MakeScrollBar(GroupBox1, 8, 64, 1, 20);
  RadioButton1 = Place<QRadioButton>(GroupBox1, QRect(8, 80, 81, 17));
  RadioButton2 = Place<QRadioButton>(GroupBox1, QRect(8, 96, 89, 17));
  chkModForceOn = Place<QCheckBox>(GroupBox1, QRect(8, 112, 81, 17));

  GroupBox2 = Place<QGroupBox>(Panel1, QRect(232, 8, 113, 81));
  Label6 = MakeLabel(GroupBox2, 8, 16, QString());
  ScrollBar3 = MakeScrollBar(GroupBox2, 8, 32, 0, 100);
  Label7 = MakeLabel(GroupBox2, 8, 48, QString());
  ScrollBar4 = MakeScrollBar(GroupBox2, 8, 64, 50, 200);

  btnInput = MakeSpeedButton(Panel1, QRect(240, 96, 73, 25), QString(), true);
  btnInput->setIcon(QPixmap::fromImage(MakeGlyph(kMicrophoneGlyph)));
  btnOutput = MakeSpeedButton(Panel1, QRect(240, 120, 73, 25), QString(), true);
  btnOutput->setIcon(QPixmap::fromImage(MakeGlyph(kSpeakerGlyph)));
  btnRecord = MakeSpeedButton(Panel1, QRect(312, 96, 57, 25), QString(), true);
  btnAbout = MakeSpeedButton(Panel1, QRect(312, 120, 57, 25), QString(), true);
  btnExit = MakeSpeedButton(Panel1, QRect(312, 144, 57, 25), QString(), true);

  GroupBox3 = Place<QGroupBox>(Panel1, QRect(112, 152, 185, 49));
  chkPhraseOn = Place<QCheckBox>(GroupBox3, QRect(8, 16, 41, 17));
  btnPhraseRec = MakeSpeedButton(GroupBox3, QRect(56, 16, 41, 25), QString(), false);
  btnPhraseLoad = Place<QPushButton>(GroupBox3, QRect(96, 16, 41, 25));
  btnPhraseSave = Place<QPushButton>(GroupBox3, QRect(136, 16, 41, 25));

  Label8 = MakeLabel(Panel1, 320, 184, U("Label8"));
  CheckBox1 = Place<QCheckBox>(Panel1, QRect(376, 112, 89, 17));
  chkNoise = Place<QCheckBox>(Panel1, QRect(376, 128, 57, 17));
  Image1 = Place<QLabel>(Panel1, QRect(376, 8, 81, 50));
  Image2 = Place<QLabel>(Panel1, QRect(376, 64, 129, 41));
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

void TForm1::SetCaptions(bool japanese) {
  const auto text = [japanese](Caption caption) { return CaptionText(caption, japanese); };
  RadioGroup2->setTitle(text(Caption::OctaveGroup));
  RadioGroup1->setTitle(text(Caption::WaveGroup));
  RadioGroup1Items[0]->setText(text(Caption::WaveImpulse));
  RadioGroup1Items[1]->setText(text(Caption::WaveSaw));
  RadioGroup1Items[2]->setText(text(Caption::WaveSquare));
  GroupBox1->setTitle(text(Caption::ModGroup));
  RadioButton1->setText(text(Caption::ModTriangle));
  RadioButton2->setText(text(Caption::ModSquare));
  chkModForceOn->setText(text(Caption::ModAlwaysOn));
  GroupBox2->setTitle(text(Caption::EchoGroup));
  btnInput->setText(text(Caption::InputVolume));
  btnOutput->setText(text(Caption::OutputVolume));
  btnRecord->setText(text(Caption::Record));
  btnAbout->setText(text(Caption::About));
  btnExit->setText(text(Caption::Exit));
  GroupBox3->setTitle(text(Caption::PhraseGroup));
  chkPhraseOn->setText(text(Caption::PhraseOn));
  btnPhraseRec->setText(text(Caption::PhraseRecord));
  btnPhraseLoad->setText(text(Caption::PhraseLoad));
  btnPhraseSave->setText(text(Caption::PhraseSave));
  CheckBox1->setText(text(Caption::Emphasis));
  chkNoise->setText(text(Caption::Noise));
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

void TForm1::BuildMenus() {
  PreferencesAction = new QAction(CaptionText(Caption::PreferencesItem), this);
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

}  // namespace sorvane

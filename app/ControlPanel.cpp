// SPDX-License-Identifier: GPL-3.0-or-later
// The control panel: its controls built at their designed places and in
// their designed order (which is also the focus order), captioned from the
// caption table, and read and set for the window.
#include "app/ControlPanel.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QScrollBar>
#include <QToolButton>

#include "app/Captions.h"
#include "app/Glyphs.h"
#include "app/PhraseControls.h"
#include "app/Place.h"

namespace sorvane {

namespace {

QLabel* MakeLabel(QWidget* parent, int left, int top, const QString& name) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->move(left, top);
  label->adjustSize();
  return label;
}

// Places the items of a radio group in one column under its caption, each
// item an equal share of the height that the caption leaves.
template <size_t N>
void ArrangeRadioGroup(QGroupBox* group, const std::array<QRadioButton*, N>& items) {
  constexpr int count = static_cast<int>(N);
  const int textHeight = QFontMetrics(group->font()).height();
  const int room = group->height() - textHeight - 5;
  const int itemHeight = room / count;
  const int topMargin = textHeight + 1 + (room % count) / 2;
  for (int i = 0; i < count; ++i) {
    items[i]->setGeometry(8, topMargin + i * itemHeight, group->width() - 10, itemHeight);
  }
}

size_t BarIndex(MidiControl control) { return static_cast<size_t>(control); }

}  // namespace

ControlPanel::ControlPanel(QWidget* parent) : QFrame(parent) {
  setObjectName(QStringLiteral("controlPanel"));
  setFrameStyle(QFrame::Panel | QFrame::Raised);
  setLineWidth(1);
  setGeometry(0, 0, kPanelDesignedWidth, kPanelHeight);
  BuildChoices();
  BuildVibratoAndEcho();
  BuildButtons();
}

void ControlPanel::BuildChoices() {
  octave = Place<QGroupBox>(this, QRect(8, 8, 97, 81), "octave");
  octaveButtons = new QButtonGroup(this);
  // The octave names are English in both languages.
  const char* const octaves[] = {"High", "Mid", "Low", "Ultra Low"};
  const char* const octaveNames[] = {"octaveHigh", "octaveMid", "octaveLow", "octaveUltraLow"};
  for (int i = 0; i < 4; ++i) {
    octaveItems[i] = new QRadioButton(U(octaves[i]), octave);
    octaveItems[i]->setObjectName(QString::fromLatin1(octaveNames[i]));
    octaveButtons->addButton(octaveItems[i], i);
  }
  ArrangeRadioGroup(octave, octaveItems);

  waveform = Place<QGroupBox>(this, QRect(8, 96, 97, 81), "waveform");
  waveformButtons = new QButtonGroup(this);
  const char* const waveNames[] = {"waveImpulse", "waveSaw", "waveSquare"};
  for (int i = 0; i < 3; ++i) {
    waveformItems[i] = new QRadioButton(waveform);
    waveformItems[i]->setObjectName(QString::fromLatin1(waveNames[i]));
    waveformButtons->addButton(waveformItems[i], i);
  }
  ArrangeRadioGroup(waveform, waveformItems);

  // A radio group's click is a change of selection: clicking the item that
  // is already selected, or pressing Space on it, runs nothing.
  connect(octaveButtons, &QButtonGroup::idToggled, this, [this](int, bool checked) {
    if (checked) emit OctaveChanged();
  });
  connect(waveformButtons, &QButtonGroup::idToggled, this, [this](int, bool checked) {
    if (checked) emit WaveformChanged();
  });
}

void ControlPanel::BuildVibratoAndEcho() {
  vibrato = Place<QGroupBox>(this, QRect(112, 8, 113, 137), "vibrato");
  const auto makeBar = [this](const PanelBar& layout) {
    QGroupBox* group = layout.InEchoGroup ? echo : vibrato;
    const size_t i = BarIndex(layout.Control);
    barValues[i] = MakeLabel(group, 8, layout.Top - 16, QString::fromLatin1(layout.Name) + QStringLiteral("Value"));
    auto* bar = new QScrollBar(Qt::Horizontal, group);
    bar->setObjectName(QString::fromLatin1(layout.Name));
    bar->setGeometry(8, layout.Top, 97, 9);
    const MidiControlRange range = kMidiControlRanges[i];
    bar->setRange(range.Min, range.Max);
    bar->setSingleStep(1);
    bar->setPageStep(1);
    bars[i] = bar;
    connect(bar, &QScrollBar::valueChanged, this, [this, control = layout.Control] { emit BarChanged(control); });
  };
  // The vibrato group's two bars, its shape and its switch, then the echo's.
  makeBar(kPanelBars[0]);
  makeBar(kPanelBars[1]);
  vibratoTriangle = Place<QRadioButton>(vibrato, QRect(8, 80, 81, 17), "vibratoTriangle");
  vibratoSquare = Place<QRadioButton>(vibrato, QRect(8, 96, 89, 17), "vibratoSquare");
  vibratoAlwaysOn = Place<QCheckBox>(vibrato, QRect(8, 112, 81, 17), "vibratoAlwaysOn");
  echo = Place<QGroupBox>(this, QRect(232, 8, 113, 81), "echo");
  makeBar(kPanelBars[2]);
  makeBar(kPanelBars[3]);
  // The shape is one switch: the triangle's state, which changes with
  // either item.
  connect(vibratoTriangle, &QAbstractButton::toggled, this, &ControlPanel::VibratoShapeChanged);
  connect(vibratoAlwaysOn, &QAbstractButton::toggled, this, &ControlPanel::VibratoAlwaysOnChanged);
}

void ControlPanel::BuildButtons() {
  const auto makeButton = [this](const QRect& geometry, const char* name) {
    auto* button = Place<QToolButton>(this, geometry, name);
    button->setAutoRaise(true);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setIconSize(QSize(kGlyphSize, kGlyphSize));
    return button;
  };
  inputVolume = makeButton(QRect(240, 96, 73, 25), "inputVolume");
  inputVolume->setIcon(QPixmap::fromImage(MakeGlyph(kMicrophoneGlyph)));
  outputVolume = makeButton(QRect(240, 120, 73, 25), "outputVolume");
  outputVolume->setIcon(QPixmap::fromImage(MakeGlyph(kSpeakerGlyph)));
  take = makeButton(QRect(312, 96, 57, 25), "take");
  about = makeButton(QRect(312, 120, 57, 25), "about");
  exit = makeButton(QRect(312, 144, 57, 25), "exit");
  recordGlyph = MakeGlyph(kRecordGlyph);
  stopGlyph = MakeGlyph(kStopGlyph);
  recordPixmap = QPixmap::fromImage(recordGlyph);
  stopPixmap = QPixmap::fromImage(stopGlyph);
  take->setIcon(recordPixmap);

  phrase = new PhraseControls(this);

  emphasis = Place<QCheckBox>(this, QRect(376, 112, 89, 17), "emphasis");
  noise = Place<QCheckBox>(this, QRect(376, 128, 57, 17), "noise");
  unmatchedKey = MakeLabel(this, 544, 40, QStringLiteral("unmatchedKey"));
  unmatchedKey->hide();

  connect(emphasis, &QAbstractButton::toggled, this, &ControlPanel::EmphasisChanged);
  connect(inputVolume, &QAbstractButton::clicked, this, &ControlPanel::InputVolumeClicked);
  connect(outputVolume, &QAbstractButton::clicked, this, &ControlPanel::OutputVolumeClicked);
  connect(take, &QAbstractButton::clicked, this, &ControlPanel::TakeClicked);
  connect(about, &QAbstractButton::clicked, this, &ControlPanel::AboutClicked);
  connect(exit, &QAbstractButton::clicked, this, &ControlPanel::ExitClicked);
}

void ControlPanel::SetCaptions(bool japanese) {
  const auto text = [japanese](Caption caption) { return CaptionText(caption, japanese); };
  octave->setTitle(text(Caption::OctaveGroup));
  waveform->setTitle(text(Caption::WaveGroup));
  waveformItems[0]->setText(text(Caption::WaveImpulse));
  waveformItems[1]->setText(text(Caption::WaveSaw));
  waveformItems[2]->setText(text(Caption::WaveSquare));
  vibrato->setTitle(text(Caption::ModGroup));
  vibratoTriangle->setText(text(Caption::ModTriangle));
  vibratoSquare->setText(text(Caption::ModSquare));
  vibratoAlwaysOn->setText(text(Caption::ModAlwaysOn));
  echo->setTitle(text(Caption::EchoGroup));
  inputVolume->setText(text(Caption::InputVolume));
  outputVolume->setText(text(Caption::OutputVolume));
  take->setText(text(Caption::Record));
  about->setText(text(Caption::About));
  exit->setText(text(Caption::Exit));
  phrase->SetCaptions(japanese);
  emphasis->setText(text(Caption::Emphasis));
  noise->setText(text(Caption::Noise));
  // Radio items take their places for the font the window now has.
  ArrangeRadioGroup(octave, octaveItems);
  ArrangeRadioGroup(waveform, waveformItems);
}

void ControlPanel::SetStartValues() {
  for (const PanelBar& layout : kPanelBars) bars[BarIndex(layout.Control)]->setValue(layout.Start);
  waveformItems[0]->setChecked(true);
  octaveItems[1]->setChecked(true);
  vibratoTriangle->setChecked(true);
}

// The octave items run from High (3) down to Ultra Low (0).
int32_t ControlPanel::Octave() const { return 3 - octaveButtons->checkedId(); }
int32_t ControlPanel::Waveform() const { return waveformButtons->checkedId(); }
int32_t ControlPanel::BarValue(MidiControl control) const { return bars[BarIndex(control)]->value(); }
bool ControlPanel::TriangleShape() const { return vibratoTriangle->isChecked(); }
bool ControlPanel::VibratoAlwaysOn() const { return vibratoAlwaysOn->isChecked(); }
bool ControlPanel::Emphasis() const { return emphasis->isChecked(); }
QWidget* ControlPanel::Bar(MidiControl control) const { return bars[BarIndex(control)]; }

void ControlPanel::ReadSettings(PanelSettings& panel) const {
  panel.Waveform = Waveform();
  panel.Octave = Octave();
  panel.ModDepth = BarValue(MidiControl::ModDepth);
  panel.ModRate = BarValue(MidiControl::ModRate);
  panel.TriangleShape = TriangleShape();
  panel.ModAlwaysOn = VibratoAlwaysOn();
  panel.EchoLevel = BarValue(MidiControl::EchoLevel);
  panel.EchoDelayMs = BarValue(MidiControl::EchoDelay);
  panel.Emphasis = Emphasis();
}

void ControlPanel::ShowSettings(const PanelSettings& panel) {
  waveformItems[static_cast<size_t>(panel.Waveform)]->setChecked(true);
  octaveItems[static_cast<size_t>(3 - panel.Octave)]->setChecked(true);
  SetBarValue(MidiControl::ModDepth, panel.ModDepth);
  SetBarValue(MidiControl::ModRate, panel.ModRate);
  (panel.TriangleShape ? vibratoTriangle : vibratoSquare)->setChecked(true);
  vibratoAlwaysOn->setChecked(panel.ModAlwaysOn);
  SetBarValue(MidiControl::EchoLevel, panel.EchoLevel);
  SetBarValue(MidiControl::EchoDelay, panel.EchoDelayMs);
  emphasis->setChecked(panel.Emphasis);
}

void ControlPanel::SetBarValue(MidiControl control, int32_t value) { bars[BarIndex(control)]->setValue(value); }

void ControlPanel::ShowBarTaken(MidiControl control, int32_t taken) {
  QLabel* label = barValues[BarIndex(control)];
  label->setText(QString::asprintf(kPanelBars[BarIndex(control)].Format, taken));
  label->adjustSize();
}

void ControlPanel::ShowTake(bool recording, bool japanese) {
  take->setIcon(recording ? stopPixmap : recordPixmap);
  take->setText(CaptionText(recording ? Caption::RecordStop : Caption::Record, japanese));
}

void ControlPanel::ShowSoundGone(const QString& tip) {
  for (QToolButton* button : {inputVolume, outputVolume}) {
    button->setEnabled(tip.isEmpty());
    button->setToolTip(tip);
  }
}

void ControlPanel::ShowUnmatchedKey(int32_t code) { unmatchedKey->setText(QString::asprintf("%d", code)); }

}  // namespace sorvane

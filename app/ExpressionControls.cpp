// SPDX-License-Identifier: GPL-3.0-or-later
// The preferences' expression group.
#include "app/ExpressionControls.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QSpinBox>

#include "app/Captions.h"
#include "app/MainWindow.h"
#include "app/MidiInput.h"
#include "synth/Synth.h"

namespace sorvane {

namespace {

constexpr int kGlideStepMs = 10;  // the arrows' step; any whole ms can be typed

MidiLearnMenu* LearnMenuFor(QWidget* box, MidiControl control, MainWindow& form,
                            std::array<int32_t, kMidiControlCount>& controllers, std::function<void()> forgotten) {
  const auto index = static_cast<size_t>(control);
  return new MidiLearnMenu(
      box, [&controllers, index] { return controllers[index]; },
      [&form, control] {
        if (MidiInput* midi = form.MidiIn()) midi->StartLearning(control);
      },
      [&controllers, index, forgotten = std::move(forgotten)] {
        controllers[index] = kNoController;
        forgotten();
      });
}

}  // namespace

ExpressionControls::ExpressionControls(QWidget* parent, MainWindow& form,
                                       std::array<int32_t, kMidiControlCount>& controllers,
                                       std::function<void()> forgotten)
    : QGroupBox(CaptionText(Caption::PrefsExpressionGroup), parent) {
  auto* rows = new QFormLayout(this);
  BendRangeBox = new QSpinBox(this);
  BendRangeBox->setRange(kMinBendRange, kMaxBendRange);
  BendRangeBox->setSuffix(CaptionText(Caption::PrefsSemitones));
  rows->addRow(CaptionText(Caption::PrefsBendRange), BendRangeBox);
  GlideBox = new QSpinBox(this);
  GlideBox->setRange(0, kMaxGlideMs);
  GlideBox->setSingleStep(kGlideStepMs);
  GlideBox->setSuffix(QStringLiteral(" ms"));
  GlideBox->setSpecialValueText(CaptionText(Caption::PrefsGlideOff));
  rows->addRow(CaptionText(Caption::PrefsGlideTime), GlideBox);
  VelocityBox = new QCheckBox(CaptionText(Caption::PrefsVelocity), this);
  rows->addRow(QString(), VelocityBox);
  BendRangeMenu = LearnMenuFor(BendRangeBox, MidiControl::BendRange, form, controllers, forgotten);
  GlideMenu = LearnMenuFor(GlideBox, MidiControl::GlideTime, form, controllers, forgotten);
}

void ExpressionControls::ShowPreferences(const Preferences& prefs) {
  BendRangeBox->setValue(prefs.BendRange);
  GlideBox->setValue(prefs.GlideMs);
  VelocityBox->setChecked(prefs.VelocityOn);
}

void ExpressionControls::ReadPreferences(Preferences& prefs) const {
  prefs.BendRange = BendRangeBox->value();
  prefs.GlideMs = GlideBox->value();
  prefs.VelocityOn = VelocityBox->isChecked();
}

void ExpressionControls::ShowFromMidi(MidiControl control, int32_t value) {
  if (control == MidiControl::BendRange) BendRangeBox->setValue(value);
  if (control == MidiControl::GlideTime) GlideBox->setValue(value);
}

void ExpressionControls::RefreshMenus() {
  BendRangeMenu->Refresh();
  GlideMenu->Refresh();
}

}  // namespace sorvane

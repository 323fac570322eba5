// SPDX-License-Identifier: GPL-3.0-or-later
// The phrase group: built at its designed place, captioned from the caption
// table.
#include "app/PhraseControls.h"

#include <QCheckBox>
#include <QPushButton>
#include <QToolButton>

#include "app/Captions.h"
#include "app/Glyphs.h"
#include "app/Place.h"

namespace sorvane {

PhraseControls::PhraseControls(QWidget* panel) : QGroupBox(panel) {
  setObjectName(QStringLiteral("phrase"));
  setGeometry(112, 152, 185, 49);
  phraseOn = Place<QCheckBox>(this, QRect(8, 16, 41, 17), "phraseOn");
  phraseRecord = Place<QToolButton>(this, QRect(56, 16, 41, 25), "phraseRecord");
  phraseRecord->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  phraseRecord->setIconSize(QSize(kGlyphSize, kGlyphSize));
  phraseLoad = Place<QPushButton>(this, QRect(96, 16, 41, 25), "phraseLoad");
  phraseSave = Place<QPushButton>(this, QRect(136, 16, 41, 25), "phraseSave");
  for (QWidget* button : std::initializer_list<QWidget*>{phraseRecord, phraseLoad, phraseSave}) {
    button->setEnabled(false);
  }
  connect(phraseOn, &QAbstractButton::toggled, this, &PhraseControls::ModeToggled);
  connect(phraseRecord, &QAbstractButton::clicked, this, &PhraseControls::RecordClicked);
  connect(phraseLoad, &QAbstractButton::clicked, this, &PhraseControls::LoadClicked);
  connect(phraseSave, &QAbstractButton::clicked, this, &PhraseControls::SaveClicked);
}

void PhraseControls::SetCaptions(bool japanese) {
  setTitle(CaptionText(Caption::PhraseGroup, japanese));
  phraseOn->setText(CaptionText(Caption::PhraseOn, japanese));
  phraseRecord->setText(CaptionText(Caption::PhraseRecord, japanese));
  phraseLoad->setText(CaptionText(Caption::PhraseLoad, japanese));
  phraseSave->setText(CaptionText(Caption::PhraseSave, japanese));
}

void PhraseControls::ShowButtons(const PhraseButtons& buttons, bool japanese) {
  phraseRecord->setEnabled(buttons.RecEnabled);
  phraseLoad->setEnabled(buttons.LoadEnabled);
  phraseSave->setEnabled(buttons.SaveEnabled);
  switch (buttons.RecCaption) {
    case PhraseRecCaption::Rec: phraseRecord->setText(CaptionText(Caption::PhraseRecord, japanese)); break;
    case PhraseRecCaption::Say: phraseRecord->setText(CaptionText(Caption::PhraseSay, japanese)); break;
    case PhraseRecCaption::Recording: phraseRecord->setText(CaptionText(Caption::PhraseRecording, japanese)); break;
  }
}

bool PhraseControls::IsOn() const { return phraseOn->isChecked(); }

}  // namespace sorvane

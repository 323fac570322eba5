// SPDX-License-Identifier: GPL-3.0-or-later
// The phrase group of the control panel: the phrase-mode switch and the
// record, load and save buttons, enabled and captioned as the engine's
// phrase store says.
#pragma once

#include <QGroupBox>

#include "phrase/PhraseStore.h"

class QCheckBox;
class QPushButton;
class QToolButton;

namespace sorvane {

class PhraseControls final : public QGroupBox {
  Q_OBJECT

 public:
  // At its designed place in the panel; the buttons wait for phrase mode.
  explicit PhraseControls(QWidget* panel);
  PhraseControls(const PhraseControls&) = delete;
  PhraseControls& operator=(const PhraseControls&) = delete;

  void SetCaptions(bool japanese);
  // The buttons as the phrase store has them now.
  void ShowButtons(const PhraseButtons& buttons, bool japanese);
  bool IsOn() const;

 signals:
  void ModeToggled();
  void RecordClicked();
  void LoadClicked();
  void SaveClicked();

 private:
  QCheckBox* phraseOn = nullptr;
  QToolButton* phraseRecord = nullptr;
  QPushButton* phraseLoad = nullptr;
  QPushButton* phraseSave = nullptr;
};

}  // namespace sorvane

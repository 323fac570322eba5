// SPDX-License-Identifier: GPL-3.0-or-later
// The MIDI learn menu of a control.
#include "app/MidiLearnMenu.h"

#include <QAction>
#include <QMenu>
#include <QWidget>

#include "app/Captions.h"
#include "keyboard/MidiNotes.h"

namespace sorvane {

MidiLearnMenu::MidiLearnMenu(QWidget* control, std::function<int32_t()> assigned, std::function<void()> learn,
                             std::function<void()> forget)
    : QObject(control), Control(control), Assigned(std::move(assigned)) {
  LearnAction = new QAction(CaptionText(Caption::LearnController), this);
  ForgetAction = new QAction(this);
  connect(LearnAction, &QAction::triggered, this, std::move(learn));
  connect(ForgetAction, &QAction::triggered, this, std::move(forget));
  Refresh();
  // The control's own menu (a scroll bar's scrolling menu) gives way.
  control->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(control, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    Refresh();
    QMenu menu(Control);
    menu.addAction(LearnAction);
    menu.addAction(ForgetAction);
    menu.exec(Control->mapToGlobal(pos));
  });
}

void MidiLearnMenu::Refresh() {
  const int32_t controller = Assigned();
  if (controller == kNoController) {
    ForgetAction->setText(CaptionText(Caption::ForgetNone));
  } else {
    ForgetAction->setText(CaptionText(Caption::ForgetController).arg(controller));
  }
  ForgetAction->setEnabled(controller != kNoController);
}

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The MIDI learn menu of a control.
#include "app/MidiLearnMenu.h"

#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
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

QString ControlName(MidiControl control) {
  switch (control) {
    case MidiControl::ModDepth: return CaptionText(Caption::ControlModDepth);
    case MidiControl::ModRate: return CaptionText(Caption::ControlModRate);
    case MidiControl::EchoLevel: return CaptionText(Caption::ControlEchoLevel);
    case MidiControl::EchoDelay: return CaptionText(Caption::ControlEchoDelay);
    case MidiControl::OutputLevel: return CaptionText(Caption::ControlOutputLevel);
    case MidiControl::BendRange: return CaptionText(Caption::ControlBendRange);
    case MidiControl::GlideTime: return CaptionText(Caption::ControlGlideTime);
  }
  return QString();
}

QTableWidget* MakeControllerTable(QWidget* parent, std::array<QPushButton*, kMidiControlCount>& forgetButtons) {
  auto* table = new QTableWidget(kMidiControlCount, 3, parent);
  table->setHorizontalHeaderLabels(
      {CaptionText(Caption::PrefsControlHeader), CaptionText(Caption::PrefsControllerHeader), QString()});
  table->verticalHeader()->hide();
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionMode(QAbstractItemView::NoSelection);
  table->setFocusPolicy(Qt::NoFocus);
  for (int row = 0; row < kMidiControlCount; ++row) {
    table->setItem(row, 0, new QTableWidgetItem(ControlName(static_cast<MidiControl>(row))));
    table->setItem(row, 1, new QTableWidgetItem);
    forgetButtons[row] = new QPushButton(CaptionText(Caption::PrefsForgetButton), table);
    table->setCellWidget(row, 2, forgetButtons[row]);
  }
  table->resizeColumnsToContents();
  table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
  int height = table->horizontalHeader()->sizeHint().height() + 2 * table->frameWidth();
  for (int row = 0; row < kMidiControlCount; ++row) height += table->rowHeight(row);
  table->setFixedHeight(height);
  table->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  return table;
}

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// TAboutBox: the About dialog with the program's icon, name and version
// and a warning note. Its texts follow the caption language decided at
// start-up; it is created once and shown modeless from the About button.
#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

namespace sorvane {

inline constexpr int kAboutWidth = 311;
inline constexpr int kAboutHeight = 280;

class TAboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit TAboutBox(QWidget* parent = nullptr);

  QFrame* Frame = nullptr;
  QLabel* ProgramIcon = nullptr;
  QLabel* ProductName = nullptr;
  QLabel* Warning1 = nullptr;
  QLabel* Warning2 = nullptr;
  QLabel* Warning3 = nullptr;
  QLabel* Warning4 = nullptr;
  QPushButton* OkButton = nullptr;

 public slots:
  void onOkClicked();
};

}  // namespace sorvane

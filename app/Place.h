// SPDX-License-Identifier: GPL-3.0-or-later
// Controls are built in code at their designed geometry, each named by what
// it controls, so that tests and settings find it by that name.
#pragma once

#include <QRect>
#include <QString>
#include <QWidget>

namespace sorvane {

// A new control of the parent in its designed place, with its object name.
template <typename Control>
Control* Place(QWidget* parent, const QRect& geometry, const char* name) {
  auto* control = new Control(parent);
  control->setGeometry(geometry);
  control->setObjectName(QString::fromLatin1(name));
  return control;
}

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// What the main window's source files share: its colours and the radio
// groups' arrangement.
#pragma once

#include <QColor>

#include "app/Captions.h"

class QGroupBox;
class QRadioButton;

namespace sorvane {

inline const QColor kWindowColour(160, 160, 164);
inline const QColor kWhite(255, 255, 255);
inline const QColor kBlack(0, 0, 0);
inline const QColor kSounding(255, 0, 0);

// Places the items of a radio group in one column under its caption, each
// item an equal share of the height that the caption leaves.
void ArrangeRadioGroup(QGroupBox* group, QRadioButton* const* items, int count);

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's colours: its background, and the keys' own and
// sounding colours.
#pragma once

#include <QColor>

namespace sorvane {

inline const QColor kWindowColour(160, 160, 164);
inline const QColor kWhite(255, 255, 255);
inline const QColor kBlack(0, 0, 0);
inline const QColor kSounding(255, 0, 0);

}  // namespace sorvane

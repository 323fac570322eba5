// SPDX-License-Identifier: GPL-3.0-or-later
// The four 12 x 12 button glyphs of the control panel, drawn from their
// pixel rows. Every pixel of the colour of a glyph's bottom-left pixel is
// transparent, as on a glyph button.
#pragma once

#include <QImage>
#include <array>

namespace sorvane {

inline constexpr int kGlyphSize = 12;
using GlyphRows = std::array<const char*, kGlyphSize>;

// Letters: K black, W white, R red, N navy, G green, Y gray, S silver,
// L yellow, O olive.
extern const GlyphRows kRecordGlyph;      // "BMP_REC": a red disc
extern const GlyphRows kStopGlyph;        // "BMP_STOP": two navy bars
extern const GlyphRows kMicrophoneGlyph;  // the input volume button
extern const GlyphRows kSpeakerGlyph;     // the output volume button

// An ARGB image of the glyph with its transparent colour cleared.
QImage MakeGlyph(const GlyphRows& rows);

}  // namespace sorvane

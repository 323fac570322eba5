// SPDX-License-Identifier: GPL-3.0-or-later
// Glyph pixel rows and their conversion to images.
#include "app/Glyphs.h"

#include <QColor>

namespace sorvane {

const GlyphRows kRecordGlyph = {
    "WWWWWWWWWWWW", "WWWRRRRRRWWW", "WWRRRRRRRRWW", "WRRRRRRRRRRW", "WRRRRRRRRRRK", "WRRRRRRRRRRK",
    "WRRRRRRRRRRK", "WRRRRRRRRRRK", "WRRRRRRRRRRK", "WWRRRRRRRRKK", "WWWRRRRRRKKW", "WWWWKKKKKKWW",
};

const GlyphRows kStopGlyph = {
    "WWWWWWWWWWWW", "WNNNWWNNNWWW", "WNNNKWNNNKWW", "WNNNKWNNNKWW", "WNNNKWNNNKWW", "WNNNKWNNNKWW",
    "WNNNKWNNNKWW", "WNNNKWNNNKWW", "WNNNKWNNNKWW", "WNNNKWNNNKWW", "WWKKKWWKKKWW", "WWWWWWWWWWWW",
};

const GlyphRows kMicrophoneGlyph = {
    "GGGGKKKKGGGG", "GGGKWSSYKGGG", "GGGKWSSYKGGG", "GGGKWSSYKGGG", "GGGGKKKKGGGG", "GGGGKYKKGGGG",
    "GGGGKYKKGGGG", "GGGGKYKKGGGG", "GGGGKYKKGGGG", "GGGGKYKKGGKG", "GGGGGKKGGKGG", "GGGGGGKKKGGG",
};

const GlyphRows kSpeakerGlyph = {
    "GGGGGGKKKGGG", "GGGGGKWKYKGG", "GGGGKWKYYKGG", "GKKKWLKYYSKG", "KWWKLLKKSSKG", "KLLKLLKWKSKG",
    "KLLKLLKWKSKG", "KOOKOLKKSSKG", "GKKKOOKSSSKG", "GGGGKOKWSKGG", "GGGGGKOKWKGG", "GGGGGGKKKGGG",
};

namespace {

QColor LetterColour(char letter) {
  switch (letter) {
    case 'K': return QColor(0, 0, 0);
    case 'W': return QColor(255, 255, 255);
    case 'R': return QColor(255, 0, 0);
    case 'N': return QColor(0, 0, 128);
    case 'G': return QColor(0, 128, 0);
    case 'Y': return QColor(128, 128, 128);
    case 'S': return QColor(192, 192, 192);
    case 'L': return QColor(255, 255, 0);
    case 'O': return QColor(128, 128, 0);
    default: return QColor(255, 0, 255);
  }
}

}  // namespace

QImage MakeGlyph(const GlyphRows& rows) {
  QImage image(kGlyphSize, kGlyphSize, QImage::Format_ARGB32);
  const char transparent = rows[kGlyphSize - 1][0];
  for (int y = 0; y < kGlyphSize; ++y) {
    for (int x = 0; x < kGlyphSize; ++x) {
      const char letter = rows[y][x];
      image.setPixelColor(x, y, letter == transparent ? QColor(0, 0, 0, 0) : LetterColour(letter));
    }
  }
  return image;
}

}  // namespace sorvane

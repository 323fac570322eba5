// SPDX-License-Identifier: GPL-3.0-or-later
// The caption table.
#include "app/Captions.h"

#include <cassert>
#include <cstddef>

namespace sorvane {
namespace {

struct CaptionRow {
  Caption Id;
  const char* Japanese;
  const char* English;
};

// In the order of the enumeration. The designed English captions leave a
// few controls as they are in Japanese (the emphasis and noise switches),
// and the octave names are English in both.
constexpr CaptionRow kCaptions[] = {
    {Caption::OctaveGroup, "オクターブ", "Octabe"},
    {Caption::WaveGroup, "波形", "Wave Format"},
    {Caption::WaveImpulse, "インパルス", "Impulse"},
    {Caption::WaveSaw, "ノコギリ波", "Saw"},
    {Caption::WaveSquare, "矩形波", "Square"},
    {Caption::ModGroup, "モジュレーション", "Modulation"},
    {Caption::ModTriangle, "三角波", "Triangle"},
    {Caption::ModSquare, "矩形波", "Square"},
    {Caption::ModAlwaysOn, "常にON", "Always ON"},
    {Caption::EchoGroup, "エコー", "Echo"},
    {Caption::InputVolume, "入力音量", "Input Vol"},
    {Caption::OutputVolume, "出力音量", "Output Vol"},
    {Caption::Record, "録音", "Rec"},
    {Caption::RecordStop, "中止", "Stop"},
    {Caption::About, "About", "About"},
    {Caption::Exit, "終了", "Exit"},
    {Caption::PhraseGroup, "フレーズモード", "Phrase Mode"},
    {Caption::PhraseOn, "ON", "ON"},
    {Caption::PhraseRecord, "録音", "Rec"},
    {Caption::PhraseSay, "SAY", "SAY"},
    {Caption::PhraseRecording, "録音中", "Rec..."},
    {Caption::PhraseLoad, "読込", "Load"},
    {Caption::PhraseSave, "保存", "Save"},
    {Caption::Emphasis, "高域強調", "高域強調"},
    {Caption::Noise, "ノイズ", "ノイズ"},
    {Caption::AboutTitle, "バージョン情報", "Version Information"},
    {Caption::AboutWarning1, "＜注意＞", "**** WARNING! ****"},
    // The warning: a microphone near the speakers howls.
    {Caption::AboutWarning2, "マイクとスピーカーを近づけると", "A microphone near the speakers"},
    {Caption::AboutWarning3, "ハウリングが起こります。", "makes the sound howl: use headphones."},
    {Caption::AboutWarning4, "ヘッドホンをお使いください。", ""},
};

constexpr bool InEnumerationOrder() {
  for (std::size_t i = 0; i < std::size(kCaptions); ++i) {
    if (static_cast<std::size_t>(kCaptions[i].Id) != i) return false;
  }
  return true;
}
static_assert(InEnumerationOrder());
static_assert(std::size(kCaptions) == static_cast<std::size_t>(Caption::AboutWarning4) + 1);

}  // namespace

QString CaptionText(Caption caption, bool japanese) {
  const CaptionRow& row = kCaptions[static_cast<std::size_t>(caption)];
  return U(japanese ? row.Japanese : row.English);
}

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The caption table.
#include "app/Captions.h"

#include <cassert>
#include <cstddef>

#include "core/Reporter.h"

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
    {Caption::PreferencesItem, "環境設定...\tCtrl+,", "Preferences...\tCtrl+,"},
    {Caption::ReplaceQuestion, "%1 は既に存在します。\n置き換えますか?",
     "%1 already exists.\nDo you want to replace it?"},
    {Caption::SoundServerGone, "サウンドサーバーとの接続が切れました。1秒ごとに再接続を試みています。",
     "The sound server has gone away; trying again every second."},
    {Caption::TakeFolderMissing, "ミュージックフォルダがないため、録音は %1 に保存されます。",
     "There is no music folder; takes are saved in %1."},
    {Caption::TakeFolderUnwritable, "ミュージックフォルダ %1 に書き込めないため、録音は %2 に保存されます。",
     "The music folder %1 cannot be written; takes are saved in %2."},
    {Caption::WaveFileFilter, "Waveﾌｧｲﾙ (*.wav)", "Wave File (*.wav)"},
    {Caption::LoadWaveTitle, "Waveファイルの読み込み", "Load Wave File"},
    {Caption::SaveWaveTitle, "Waveファイルの保存", "Save Wave File"},
    {Caption::PrefsTitle, "環境設定", "Preferences"},
    {Caption::PrefsAutomatic, "自動", "Automatic"},
    {Caption::PrefsPulse, "PulseAudio または PipeWire", "PulseAudio or PipeWire"},
    {Caption::PrefsSoundSystem, "サウンドシステム:", "Sound system:"},
    {Caption::PrefsInputDevice, "入力デバイス:", "Input device:"},
    {Caption::PrefsOutputDevice, "出力デバイス:", "Output device:"},
    {Caption::PrefsListingDevices, "デバイスを調べています...", "Listing the devices..."},
    {Caption::PrefsDefaultDevice, "既定", "Default"},
    {Caption::PrefsNotReachable, "%1: 応答がありません (%2)", "%1: not reachable (%2)"},
    {Caption::PrefsLatencyNormal, "標準", "Normal"},
    {Caption::PrefsLatencyLow, "低遅延", "Low"},
    {Caption::PrefsLatency, "レイテンシ:", "Latency:"},
    {Caption::PrefsAllChannels, "すべて", "All"},
    {Caption::PrefsMidiChannel, "MIDIチャンネル:", "MIDI channel:"},
    {Caption::PrefsOutputLevel, "出力レベル:", "Output level:"},
    {Caption::PrefsVoiceIn, "声の入力:", "Voice in:"},
    {Caption::PrefsSongOut, "歌の出力:", "Song out:"},
    {Caption::PrefsClipped, "クリップ:", "Clipped:"},
    {Caption::PrefsClippedSamples, "%1 サンプル", "%1 samples"},
    {Caption::PrefsClearClipped, "クリア", "Clear"},
    {Caption::PrefsClipLight, "歌がクリップすると点灯します", "Lights when the song clips"},
    {Caption::PrefsControlHeader, "操作", "Control"},
    {Caption::PrefsControllerHeader, "MIDIコントローラー", "MIDI controller"},
    {Caption::PrefsForgetButton, "解除", "Forget"},
    {Caption::PrefsNoController, "なし", "none"},
    {Caption::PrefsWhenNote,
     "MIDIチャンネル、出力レベル、演奏表現、コントローラーはすぐに変わります。サウンドシステム、"
     "デバイス、レイテンシは次の起動から変わります。",
     "The MIDI channel, the output level, the expression and the controllers change at once; "
     "the sound system, the devices and the latency at the next start."},
    {Caption::PrefsOk, "OK", "OK"},
    {Caption::PrefsCancel, "キャンセル", "Cancel"},
    {Caption::PrefsRestoreDefaults, "既定値に戻す", "Restore defaults"},
    {Caption::PrefsControllersLearnt, "割り当てたMIDIコントローラー:", "MIDI controllers learnt:"},
    {Caption::PrefsExpressionGroup, "演奏表現", "Expression"},
    {Caption::PrefsBendRange, "ピッチベンドの幅:", "Pitch bend range:"},
    {Caption::PrefsSemitones, " 半音", " semitones"},
    {Caption::PrefsGlideTime, "グライド時間:", "Glide time:"},
    {Caption::PrefsGlideOff, "オフ", "Off"},
    {Caption::PrefsVelocity, "ベロシティで音量を変える", "Velocity sensitivity"},
    {Caption::ControlModDepth, "モジュレーションの深さ", "Modulation depth"},
    {Caption::ControlModRate, "モジュレーションの速さ", "Modulation rate"},
    {Caption::ControlEchoLevel, "エコーの量", "Echo level"},
    {Caption::ControlEchoDelay, "エコーの遅延", "Echo delay"},
    {Caption::ControlOutputLevel, "出力レベル", "Output level"},
    {Caption::ControlBendRange, "ピッチベンドの幅", "Pitch bend range"},
    {Caption::ControlGlideTime, "グライド時間", "Glide time"},
    {Caption::LearnController, "MIDIコントローラーを割り当てる", "Learn MIDI controller"},
    {Caption::ForgetNone, "割り当てを解除", "Forget"},
    {Caption::ForgetController, "割り当てを解除 (コントローラー %1)", "Forget controller %1"},
};

constexpr bool InEnumerationOrder() {
  for (std::size_t i = 0; i < std::size(kCaptions); ++i) {
    if (static_cast<std::size_t>(kCaptions[i].Id) != i) return false;
  }
  return true;
}
static_assert(InEnumerationOrder());
static_assert(std::size(kCaptions) == static_cast<std::size_t>(Caption::ForgetController) + 1);

}  // namespace

QString CaptionText(Caption caption, bool japanese) {
  const CaptionRow& row = kCaptions[static_cast<std::size_t>(caption)];
  return U(japanese ? row.Japanese : row.English);
}

QString CaptionText(Caption caption) { return CaptionText(caption, LanguageJapanese()); }

}  // namespace sorvane

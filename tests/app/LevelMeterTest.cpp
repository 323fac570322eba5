// SPDX-License-Identifier: GPL-3.0-or-later
// The level meters of the preferences, fed by the window's engine: a song
// that clips lights the clip light, which holds, and counts its clipped
// samples until cleared; silence shows nothing; the output level is heard
// while it moves.

#include <QSlider>
#include <array>
#include <cstdlib>

#include "AppTestSupport.h"
#include "app/LevelMeter.h"
#include "app/PreferencesDialog.h"
#include "dsp/AudioFormat.h"

namespace sorvane::test {
namespace {

std::unique_ptr<TPreferencesDialog> OpenDialog(Window& w) {
  return std::make_unique<TPreferencesDialog>(*w, [] { return std::vector<SoundServerDevices>(); });
}

// The song samples at full scale in the playback buffers the engine queued
// (the fake device plays none of them back).
uint64_t ClippedInQueuedSong(Window& w) {
  uint64_t clipped = 0;
  for (const WaveHeader* header : w.Backend->PlaybackDevice.Queued()) {
    for (uint32_t i = 0; i < header->BufferLength / 2; ++i) clipped += std::abs(header->Data[i]) >= kFullScale;
  }
  return clipped;
}

TEST(LevelMeters, SilenceShowsNothingAndAClippingSongLightsTheLightAndCountsUntilCleared) {
  Window w;
  auto d = OpenDialog(w);
  LevelMonitor& levels = *d->Levels;
  for (int32_t key = 0; key < 8; ++key) KeyNoteOn(w.Engine(), key * 3);

  // Keys held, no voice: no song, nothing lit, nothing counted.
  for (int i = 0; i < 4; ++i) w.CaptureBlock();
  levels.Poll();
  EXPECT_FALSE(levels.Light->Lit());
  EXPECT_EQ(levels.ClippedCount->text(), QStringLiteral("0 samples"));
  EXPECT_EQ(levels.InputMeter->Fill(), 0.0);
  EXPECT_EQ(levels.OutputMeter->Fill(), 0.0);
  EXPECT_EQ(levels.OutputLabel->text(), U("-∞ dBFS"));

  // A loud voice with eight keys held and the level raised, heard at once.
  d->LevelSlider->setValue(6);
  EXPECT_EQ(w.Engine().Params.OutputLevelDb, 6);
  std::array<int16_t, kBlockSamples> voice{};
  uint32_t noise = 1;
  for (int16_t& sample : voice) {
    noise = noise * 1103515245u + 12345u;
    sample = static_cast<int16_t>(static_cast<int32_t>(noise >> 16) - 32768);
  }
  for (int i = 0; i < 8; ++i) w.CaptureBlock(voice.data());
  levels.Poll();
  const uint64_t clipped = ClippedInQueuedSong(w);
  ASSERT_GT(clipped, 0u);
  EXPECT_EQ(w.Engine().Levels.ClippedSamples.load(), clipped);
  EXPECT_EQ(levels.ClippedCount->text(), QStringLiteral("%1 samples").arg(clipped));
  EXPECT_TRUE(levels.Light->Lit());
  EXPECT_GT(levels.OutputMeter->ShownDb(), kMeterRedDb);
  int32_t voicePeak = 0;
  for (int16_t sample : voice) voicePeak = std::max(voicePeak, std::abs(static_cast<int32_t>(sample)));
  EXPECT_EQ(levels.InputMeter->ShownDb(), PeakDb(voicePeak));

  // Nothing more played: the peaks fall back slowly, the light holds for
  // 1.5 s of readings and goes out, the count stays.
  const double shown = levels.OutputMeter->ShownDb();
  for (int poll = 1; poll < kClipHoldPolls; ++poll) {
    levels.Poll();
    ASSERT_TRUE(levels.Light->Lit()) << "reading " << poll;
  }
  EXPECT_EQ(levels.OutputMeter->ShownDb(), shown - (kClipHoldPolls - 1) * kMeterFallDb);
  levels.Poll();
  EXPECT_FALSE(levels.Light->Lit());
  EXPECT_EQ(levels.ClippedCount->text(), QStringLiteral("%1 samples").arg(clipped));

  levels.ClearButton->click();
  EXPECT_EQ(levels.ClippedCount->text(), QStringLiteral("0 samples"));
  EXPECT_EQ(w.Engine().Levels.ClippedSamples.load(), 0u);

  // Shown, the dialog reads the meters by itself; closed without OK, the
  // level in force is back.
  d->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(d.get()));
  w.CaptureBlock(voice.data());
  QTRY_VERIFY(levels.Light->Lit());
  EXPECT_NE(levels.ClippedCount->text(), QStringLiteral("0 samples"));
  d->reject();
  EXPECT_EQ(w.Engine().Params.OutputLevelDb, 0);
}

}  // namespace
}  // namespace sorvane::test

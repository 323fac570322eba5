// SPDX-License-Identifier: GPL-3.0-or-later
// The levels where a player sets them, beside the devices and the output
// level of the preferences: a peak meter for the voice coming in and one
// for the song going out, a clip light that holds for a moment after the
// song clips, and the count of clipped song samples with a button that
// clears it. The engine meters every block it handles; the dialog reads
// those atomics on a timer while it is shown, without the engine's lock.
// The output level the dialog shows is heard at once, before OK.
#pragma once

#include <QObject>
#include <QWidget>
#include <cstdint>
#include <limits>

class QFormLayout;
class QLabel;
class QPushButton;
class QSlider;
class QTimer;

namespace sorvane {

struct EngineState;
struct LevelMeters;

// The meters' scale: -60 dBFS to full scale, full scale being a sample of
// 32768 in magnitude (a -32768 input sample reads 0 dBFS).
inline constexpr double kMeterFloorDb = -60.0;
inline constexpr double kMeterFullScale = 32768.0;
// Colours turn at these levels: green below -12 dBFS, amber to -3 dBFS,
// red from there to full scale.
inline constexpr double kMeterAmberDb = -12.0;
inline constexpr double kMeterRedDb = -3.0;
// The meters are read every 50 ms; a shown peak falls back 1 dB a reading
// (20 dB a second), and the clip light holds 30 readings (1.5 s).
inline constexpr int kMeterPollMs = 50;
inline constexpr double kMeterFallDb = 1.0;
inline constexpr int kClipHoldPolls = 30;
static_assert(kClipHoldPolls * kMeterPollMs == 1500);

// A sample magnitude (0..32768) in dBFS; minus infinity for 0.
double PeakDb(int32_t peak);

// A horizontal bar showing a level in dBFS on the meters' scale, empty at
// the floor and below.
class PeakMeter final : public QWidget {
 public:
  explicit PeakMeter(QWidget* parent);
  // The level shown (dBFS, minus infinity for none).
  void ShowDb(double db);
  double ShownDb() const { return Db; }
  // How much of the bar is lit, 0..1.
  double Fill() const;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  double Db = -std::numeric_limits<double>::infinity();
};

// A round lamp, red when lit.
class ClipLight final : public QWidget {
 public:
  explicit ClipLight(QWidget* parent);
  void SetLit(bool lit);
  bool Lit() const { return On; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool On = false;
};

// The level rows of the preferences and the timer that feeds them. The
// rows go at the end of rows; moving levelSlider sets the engine's output
// level at once. Made with the dialog and parented to it.
class LevelMonitor final : public QObject {
 public:
  LevelMonitor(EngineState& engine, QFormLayout* rows, QSlider* levelSlider, QWidget* dialog);

  // Reads the meters once, as each tick of the timer does: the peaks since
  // the last reading (a shown peak falls back slowly), the clip light lit
  // by clipped samples since then and held, and the count.
  void Poll();
  // The count and the light start again from nothing.
  void ClearClipped();
  // Sets the engine's output level (dB); the dialog puts the level in force
  // back when it closes without OK.
  void Hear(int32_t db);

  PeakMeter* InputMeter = nullptr;
  QLabel* InputLabel = nullptr;
  PeakMeter* OutputMeter = nullptr;
  QLabel* OutputLabel = nullptr;
  ClipLight* Light = nullptr;
  QLabel* ClippedCount = nullptr;
  QPushButton* ClearButton = nullptr;
  QTimer* PollTimer = nullptr;

 protected:
  // The timer runs while the dialog is shown.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ShowCount(uint64_t clipped);

  EngineState& Engine;
  LevelMeters& Meters;
  uint64_t LastClipped = 0;
  int HoldPolls = 0;
};

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The level meters, the clip light and their rows in the preferences.
#include "app/LevelMeter.h"

#include <QEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <mutex>

#include "app/Captions.h"
#include "engine/Engine.h"
#include "engine/Levels.h"

namespace sorvane {

namespace {

const QColor kMeterBack(32, 32, 32);
const QColor kMeterGreen(0, 200, 0);
const QColor kMeterAmber(240, 190, 0);
const QColor kMeterRed(255, 0, 0);
const QColor kMeterTick(96, 96, 96);
const QColor kLightOff(96, 32, 32);

// Where a level sits on the bar, 0 (floor) to 1 (full scale).
double Position(double db) { return std::clamp((db - kMeterFloorDb) / -kMeterFloorDb, 0.0, 1.0); }

QString LevelText(double db) {
  if (std::isinf(db)) return U("-∞ dBFS");
  return QStringLiteral("%1 dBFS").arg(std::lround(db));
}

}  // namespace

double PeakDb(int32_t peak) {
  if (peak <= 0) return -std::numeric_limits<double>::infinity();
  return 20.0 * std::log10(peak / kMeterFullScale);
}

PeakMeter::PeakMeter(QWidget* parent) : QWidget(parent) { setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed); }

void PeakMeter::ShowDb(double db) {
  if (db == Db) return;
  Db = db;
  update();
}

double PeakMeter::Fill() const { return std::isinf(Db) ? 0.0 : Position(Db); }

QSize PeakMeter::sizeHint() const { return {160, 12}; }

void PeakMeter::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect area = rect();
  painter.fillRect(area, kMeterBack);
  // The lit part in the colours of the zones it reaches.
  const int lit = static_cast<int>(std::lround(Fill() * area.width()));
  const int amberAt = static_cast<int>(std::lround(Position(kMeterAmberDb) * area.width()));
  const int redAt = static_cast<int>(std::lround(Position(kMeterRedDb) * area.width()));
  painter.fillRect(0, 0, std::min(lit, amberAt), area.height(), kMeterGreen);
  if (lit > amberAt) painter.fillRect(amberAt, 0, std::min(lit, redAt) - amberAt, area.height(), kMeterAmber);
  if (lit > redAt) painter.fillRect(redAt, 0, lit - redAt, area.height(), kMeterRed);
  // A tick every 12 dB, so that the scale can be read without the number.
  painter.setPen(kMeterTick);
  for (double db = kMeterFloorDb + 12.0; db < 0.0; db += 12.0) {
    const int x = static_cast<int>(std::lround(Position(db) * area.width()));
    painter.drawLine(x, area.height() - 3, x, area.height() - 1);
  }
}

ClipLight::ClipLight(QWidget* parent) : QWidget(parent) { setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed); }

void ClipLight::SetLit(bool lit) {
  if (lit == On) return;
  On = lit;
  update();
}

QSize ClipLight::sizeHint() const { return {14, 14}; }

void ClipLight::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QColor(0, 0, 0));
  painter.setBrush(On ? kMeterRed : kLightOff);
  const int side = std::min(width(), height()) - 2;
  painter.drawEllipse(QRect((width() - side) / 2, (height() - side) / 2, side, side));
}

LevelMonitor::LevelMonitor(EngineState& engine, QFormLayout* rows, QSlider* levelSlider, QWidget* dialog)
    : QObject(dialog), Engine(engine), Meters(engine.Levels) {
  // Room for the widest number, so that the bar does not move.
  auto meterRow = [&](Caption caption, PeakMeter*& meter, QLabel*& label) {
    auto* row = new QHBoxLayout;
    meter = new PeakMeter(dialog);
    label = new QLabel(LevelText(meter->ShownDb()), dialog);
    label->setMinimumWidth(label->fontMetrics().horizontalAdvance(QStringLiteral("-100 dBFS")) + 4);
    row->addWidget(meter, 1);
    row->addWidget(label);
    rows->addRow(CaptionText(caption), row);
  };
  meterRow(Caption::PrefsVoiceIn, InputMeter, InputLabel);
  meterRow(Caption::PrefsSongOut, OutputMeter, OutputLabel);

  auto* clip = new QHBoxLayout;
  Light = new ClipLight(dialog);
  Light->setToolTip(CaptionText(Caption::PrefsClipLight));
  ClippedCount = new QLabel(dialog);
  ClearButton = new QPushButton(CaptionText(Caption::PrefsClearClipped), dialog);
  clip->addWidget(Light);
  clip->addWidget(ClippedCount, 1);
  clip->addWidget(ClearButton);
  rows->addRow(CaptionText(Caption::PrefsClipped), clip);
  connect(ClearButton, &QPushButton::clicked, this, &LevelMonitor::ClearClipped);
  LastClipped = Meters.ClippedSamples.load(std::memory_order_relaxed);
  ShowCount(LastClipped);

  connect(levelSlider, &QSlider::valueChanged, this, [this](int db) { Hear(db); });

  PollTimer = new QTimer(this);
  PollTimer->setInterval(kMeterPollMs);
  connect(PollTimer, &QTimer::timeout, this, &LevelMonitor::Poll);
  dialog->installEventFilter(this);
}

void LevelMonitor::Poll() {
  const LevelReading reading = TakeLevels(Meters);
  // A peak shows at once and falls back slowly; below the scale the meter
  // shows the reading itself.
  auto follow = [](PeakMeter* meter, QLabel* label, int32_t peak) {
    const double shown = meter->ShownDb();
    const double db = shown < kMeterFloorDb ? PeakDb(peak) : std::max(PeakDb(peak), shown - kMeterFallDb);
    meter->ShowDb(db);
    label->setText(LevelText(db));
  };
  follow(InputMeter, InputLabel, reading.InputPeak);
  follow(OutputMeter, OutputLabel, reading.OutputPeak);

  // A count that went down was cleared elsewhere: nothing new clipped.
  if (reading.ClippedSamples > LastClipped) {
    HoldPolls = kClipHoldPolls;
  } else if (HoldPolls > 0) {
    --HoldPolls;
  }
  LastClipped = reading.ClippedSamples;
  Light->SetLit(HoldPolls > 0);
  ShowCount(reading.ClippedSamples);
}

void LevelMonitor::ClearClipped() {
  sorvane::ClearClipped(Meters);
  LastClipped = 0;
  HoldPolls = 0;
  Light->SetLit(false);
  ShowCount(0);
}

void LevelMonitor::Hear(int32_t db) {
  const std::lock_guard<EngineMutex> lock(Engine.EngineLock);
  SetOutputLevel(Engine, db);
}

bool LevelMonitor::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Show) {
    // The meters start from what plays now, not from what played before.
    TakeLevels(Meters);
    PollTimer->start();
  } else if (event->type() == QEvent::Hide) {
    PollTimer->stop();
  }
  return QObject::eventFilter(watched, event);
}

void LevelMonitor::ShowCount(uint64_t clipped) {
  ClippedCount->setText(CaptionText(Caption::PrefsClippedSamples).arg(static_cast<qulonglong>(clipped)));
}

}  // namespace sorvane

// SPDX-License-Identifier: GPL-3.0-or-later
// The preferences dialog and MIDI learn in the window: captions in both
// languages, the device lists, OK, Cancel and the defaults, the ways the
// window opens the dialog, learning and forgetting a controller through the
// engine's MIDI path, and the dialog's screenshots.

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QMenu>
#include <QSlider>
#include <QSpinBox>
#include <QTableWidget>

#include "AppTestSupport.h"
#include "app/LevelMeter.h"
#include "app/PreferencesDialog.h"

namespace sorvane::test {
namespace {

constexpr size_t kDepth = static_cast<size_t>(MidiControl::ModDepth);
constexpr size_t kRate = static_cast<size_t>(MidiControl::ModRate);
constexpr size_t kEcho = static_cast<size_t>(MidiControl::EchoLevel);
constexpr size_t kLevel = static_cast<size_t>(MidiControl::OutputLevel);
constexpr size_t kBendRange = static_cast<size_t>(MidiControl::BendRange);
constexpr int32_t kCommaKey = 13;

// PipeWire's PulseAudio server with a microphone and speakers; no JACK.
std::vector<SoundServerDevices> FakeServers() {
  return {{"PulseAudio (PipeWire)",
           true,
           "",
           {{"alsa_input.mic", "USB Microphone", true}},
           {{"alsa_output.speakers", "Speakers", true}}},
          {"JACK", false, "no JACK server is running", {}, {}}};
}

std::unique_ptr<TPreferencesDialog> OpenDialog(Window& w) {
  auto dialog = std::make_unique<TPreferencesDialog>(*w, &FakeServers);
  EXPECT_TRUE(dialog->WaitForDevices(5000));
  return dialog;
}

QStringList Items(const QComboBox* box) {
  QStringList items;
  for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
  return items;
}

// The actions of the menu a right-button click on target opens; empty when
// none opens.
QList<QAction*> ContextMenuOf(QWidget* target) {
  QList<QAction*> actions;
  QTimer::singleShot(0, [&actions] {
    if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
      actions = menu->actions();
      menu->close();
    }
  });
  const QPoint pos(2, 2);
  QContextMenuEvent event(QContextMenuEvent::Mouse, pos, target->mapToGlobal(pos));
  QApplication::sendEvent(target, &event);
  QCoreApplication::processEvents();
  return actions;
}

// Also saves the dialog's pictures beside the window's.
TEST(Preferences, DialogInBothLanguagesListsDevicesAndAppliesOnOk) {
  struct Captions {
    QLocale::Language Language;
    const char *Title, *Default, *All, *Learn, *None, *NextStart, *GlideOff, *Picture;
  };
  const Captions cases[] = {
      {QLocale::English, "Preferences", "Default", "All", "Learn MIDI controller", "none", "next start", "Off",
       "preferences-en.png"},
      {QLocale::Japanese, "環境設定", "既定", "すべて", "MIDIコントローラーを割り当てる", "なし", "次の起動", "オフ",
       "preferences-ja.png"},
  };
  const QDir screenshots(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("screenshots")));
  QDir().mkpath(screenshots.path());
  for (const Captions& c : cases) {
    Window w(c.Language);
    // A device the servers no longer offer stays chosen.
    Preferences kept = w->CurrentPreferences();
    kept.InputDevice = QStringLiteral("gone-mic");
    w->ApplyPreferences(kept);
    auto d = OpenDialog(w);
    EXPECT_EQ(d->windowTitle(), U(c.Title));
    EXPECT_EQ(d->ChannelBox->itemText(0), U(c.All));
    EXPECT_EQ(d->LevelMenu->Learn()->text(), U(c.Learn));
    EXPECT_EQ(d->Expression->GlideMenu->Learn()->text(), U(c.Learn));
    EXPECT_EQ(d->Expression->GlideBox->text(), U(c.GlideOff));
    EXPECT_TRUE(d->WhenNote->text().contains(U(c.NextStart))) << d->WhenNote->text().toStdString();
    // The modulation wheel on the depth, nothing else.
    EXPECT_EQ(d->ControllerTable->item(kDepth, 1)->text(), QStringLiteral("1"));
    EXPECT_EQ(d->ControllerTable->item(kEcho, 1)->text(), U(c.None));
    d->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(d.get()));
    // Levels for the picture: a voice at -18 dBFS and a song that clips.
    const int16_t voice[2] = {4096, -4100};
    const int16_t song[3] = {20000, -32767, 32767};
    MeterBlock(w.Engine().Levels, voice, 2, song, 3);
    d->Levels->Poll();
    EXPECT_TRUE(d->Levels->Light->Lit());
    EXPECT_TRUE(d->grab().save(screenshots.filePath(U(c.Picture))));

    // Automatic: the server that answers.
    EXPECT_EQ(Items(d->InputBox), QStringList({U(c.Default), QStringLiteral("USB Microphone (alsa_input.mic)"),
                                               QStringLiteral("gone-mic")}));
    EXPECT_EQ(d->InputBox->currentData().toString(), QStringLiteral("gone-mic"));
    EXPECT_TRUE(d->DeviceNote->isHidden());
    // JACK offers nothing and says why; the chosen device is still kept.
    d->SystemBox->setCurrentIndex(2);
    EXPECT_EQ(Items(d->InputBox), QStringList({U(c.Default), QStringLiteral("gone-mic")}));
    EXPECT_TRUE(d->DeviceNote->text().contains(QStringLiteral("no JACK server is running")));
    d->SystemBox->setCurrentIndex(1);
    d->OutputBox->setCurrentIndex(1);

    d->LevelSlider->setValue(-6);
    EXPECT_EQ(d->LevelLabel->text(), QStringLiteral("-6 dB"));
    d->ChannelBox->setCurrentIndex(3);
    d->Buttons->button(QDialogButtonBox::Ok)->click();
    EXPECT_EQ(w.Engine().Params.OutputLevelDb, -6);
    EXPECT_EQ(w->MidiIn()->Channel(), 2);
    EXPECT_EQ(w->CurrentPreferences().System, SoundChoice::Pulse);
    EXPECT_EQ(w->CurrentPreferences().InputDevice, QStringLiteral("gone-mic"));
    EXPECT_EQ(w->CurrentPreferences().OutputDevice, QStringLiteral("alsa_output.speakers"));
  }
}

TEST(Preferences, ForgetAndDefaultsWaitForOkAndCancelKeepsEverything) {
  Window w;
  Preferences chosen;
  chosen.System = SoundChoice::Jack;
  chosen.Latency = LatencyMode::Low;
  chosen.MidiChannel = 4;
  chosen.OutputLevelDb = 3;
  chosen.Controllers[kEcho] = 7;
  w->ApplyPreferences(chosen);
  {
    auto d = OpenDialog(w);
    EXPECT_EQ(d->Chosen(), chosen);
    EXPECT_EQ(d->LevelLabel->text(), QStringLiteral("+3 dB"));
    d->ForgetButtons[kDepth]->click();
    EXPECT_EQ(d->ControllerTable->item(kDepth, 1)->text(), QStringLiteral("none"));
    d->LevelSlider->setValue(-24);
    d->reject();
    EXPECT_EQ(w->CurrentPreferences(), chosen);
    EXPECT_EQ(w.Engine().Params.OutputLevelDb, 3);
  }
  auto d = OpenDialog(w);
  d->RestoreButton->click();
  EXPECT_EQ(d->Chosen(), Preferences());
  d->accept();
  EXPECT_EQ(w->CurrentPreferences(), Preferences());
  EXPECT_EQ(w->MidiIn()->Controllers().Controller, Preferences::DefaultControllers());
  EXPECT_EQ(w.Engine().Params.OutputLevelDb, 0);
}

TEST(Preferences, ClosingTheDialogDoesNotWaitForASilentServer) {
  Window w;
  // A server that takes a second and a half to give up.
  auto dialog = std::make_unique<TPreferencesDialog>(*w, [] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return FakeServers();
  });
  QElapsedTimer closing;
  closing.start();
  dialog.reset();
  EXPECT_LT(closing.elapsed(), 500);
  // What the listing posts once it is done goes nowhere.
  QTest::qWait(1800);
  EXPECT_TRUE(w.Errors.Texts.empty());
}

TEST(Preferences, PanelMenuAndCtrlCommaOpenTheDialogWhileKeysStillPlay) {
  Window w;
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w.Form.get()));
  // A right-button click anywhere on the panel, a radio item included,
  // offers the preferences; on a key it plays and opens no menu.
  EXPECT_EQ(ContextMenuOf(Find<QRadioButton>(*w, "waveImpulse")), QList<QAction*>({w->PreferencesItem()}));
  EXPECT_TRUE(w->PreferencesItem()->text().startsWith(QStringLiteral("Preferences...")));
  EXPECT_TRUE(ContextMenuOf(w->Keyboard().Button(0)).isEmpty());
  // The scroll bars offer MIDI learn instead.
  const QList<QAction*> barMenu = ContextMenuOf(Find<QScrollBar>(*w, "echoLevel"));
  ASSERT_EQ(barMenu.size(), 2);
  EXPECT_FALSE(barMenu[1]->isEnabled());
  EXPECT_EQ(ContextMenuOf(Find<QScrollBar>(*w, "vibratoDepth"))[1]->text(), QStringLiteral("Forget controller 1"));

  // Ctrl+Comma: used, no note, the dialog opens (once) after the event.
  w.Key(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier);
  w.Key(QEvent::KeyPress, Qt::Key_Comma, Qt::ControlModifier);
  EXPECT_FALSE(Holds(w.Engine(), kCommaKey));
  QTRY_VERIFY(w->PreferencesDialog() != nullptr);
  QPointer<TPreferencesDialog> opened = w->PreferencesDialog();
  EXPECT_EQ(QApplication::activeModalWidget(), opened.data());
  opened->reject();
  QTRY_VERIFY(opened.isNull());
  w.Key(QEvent::KeyRelease, Qt::Key_Comma, Qt::ControlModifier);
  w.Key(QEvent::KeyRelease, Qt::Key_Control);

  // Ctrl+Shift+Comma is still a note.
  w.Key(QEvent::KeyPress, Qt::Key_Less, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_TRUE(Holds(w.Engine(), kCommaKey));
  QCoreApplication::processEvents();
  EXPECT_EQ(w->PreferencesDialog(), nullptr);
}

// The controller messages go the way a MIDI port's go: posted to the
// devices' event queue, handled on the engine's thread, shown by the window.
TEST(MidiLearn, ScrollBarMenuLearnsTheNextControllerAndForgetsIt) {
  auto backend = std::make_unique<FakeBackend>();
  backend->WithEvents = true;
  AudioEventQueue& events = backend->Events;
  Window w(QLocale::English, std::move(backend));
  ASSERT_NE(w->MidiIn(), nullptr);
  const auto post = [&events](uint8_t status, uint8_t controller, uint8_t value) {
    const uint8_t bytes[3] = {status, controller, value};
    events.PostMidi(bytes, 3);
  };

  MidiLearnMenu* echo = w->LearnMenu(static_cast<MidiControl>(kEcho));
  echo->Learn()->trigger();
  post(0xB3, 7, 127);  // learning listens on any channel
  QTRY_COMPARE(Find<QScrollBar>(*w, "echoLevel")->value(), 100);
  QTRY_COMPARE(w->CurrentPreferences().Controllers[kEcho], 7);
  post(0xB0, 7, 0);
  QTRY_COMPARE(Find<QScrollBar>(*w, "echoLevel")->value(), 0);

  // Learning the modulation wheel for the rate takes it from the depth.
  w->LearnMenu(static_cast<MidiControl>(kRate))->Learn()->trigger();
  post(0xB0, 1, 127);
  QTRY_COMPARE(Find<QScrollBar>(*w, "vibratoRate")->value(), 20);
  QTRY_COMPARE(w->CurrentPreferences().Controllers[kRate], 1);
  EXPECT_EQ(w->CurrentPreferences().Controllers[kDepth], kNoController);

  echo->Refresh();  // as the menu does when it opens
  EXPECT_EQ(echo->Forget()->text(), QStringLiteral("Forget controller 7"));
  echo->Forget()->trigger();
  EXPECT_EQ(w->CurrentPreferences().Controllers[kEcho], kNoController);
  post(0xB0, 7, 127);
  post(0xB0, 1, 0);  // handled after the first: the rate shows both are done
  QTRY_COMPARE(Find<QScrollBar>(*w, "vibratoRate")->value(), 1);
  EXPECT_EQ(Find<QScrollBar>(*w, "echoLevel")->value(), 0);

  // Learnt from the open dialog's output level: the engine, the
  // preferences and the dialog follow.
  w->ShowPreferences();
  TPreferencesDialog* dialog = w->PreferencesDialog();
  ASSERT_NE(dialog, nullptr);
  dialog->LevelMenu->Learn()->trigger();
  post(0xB0, 11, 0);
  QTRY_COMPARE(w->CurrentPreferences().Controllers[kLevel], 11);
  QTRY_COMPARE(w.Engine().Params.OutputLevelDb, -24);
  EXPECT_EQ(dialog->ControllerTable->item(kLevel, 1)->text(), QStringLiteral("11"));
  EXPECT_EQ(dialog->LevelSlider->value(), -24);
}

// A channel and a level given on the command line hold for the run over
// the kept ones, through a learnt controller and the dialog's OK, and are
// never saved; a learn the dialog started ends with it.
TEST(MidiLearn, CommandLineValuesHoldForTheRunAndTheDialogsLearnEndsWithIt) {
  auto backend = std::make_unique<FakeBackend>();
  backend->WithEvents = true;
  AudioEventQueue& events = backend->Events;
  Window w(QLocale::English, std::move(backend));
  const auto post = [&events](uint8_t status, uint8_t controller, uint8_t value) {
    const uint8_t bytes[3] = {status, controller, value};
    events.PostMidi(bytes, 3);
  };
  Preferences kept;
  kept.MidiChannel = 1;
  kept.OutputLevelDb = -6;
  w->ApplyPreferences(kept);
  RunPreferences run;
  run.OutputLevelDb = -12;
  run.MidiChannel = 3;
  w->OverrideForThisRun(run);

  w->LearnMenu(static_cast<MidiControl>(kEcho))->Learn()->trigger();
  post(0xB3, 7, 127);
  QTRY_COMPARE(w->CurrentPreferences().Controllers[kEcho], 7);
  EXPECT_EQ(w->MidiIn()->Channel(), 3);
  EXPECT_EQ(w.Engine().Params.OutputLevelDb, -12);
  EXPECT_EQ(w->CurrentPreferences().MidiChannel, 1);
  EXPECT_EQ(w->CurrentPreferences().OutputLevelDb, -6);

  {
    auto d = OpenDialog(w);
    EXPECT_EQ(d->ChannelBox->currentIndex(), 4);  // what is in effect
    EXPECT_EQ(d->LevelSlider->value(), -12);
    d->LevelMenu->Learn()->trigger();  // and left unfinished
    d->LevelSlider->setValue(-3);
    d->accept();
  }
  EXPECT_EQ(w.Engine().Params.OutputLevelDb, -3);
  EXPECT_EQ(w->CurrentPreferences().OutputLevelDb, -3);
  EXPECT_EQ(w->MidiIn()->Channel(), 3);
  EXPECT_EQ(w->CurrentPreferences().MidiChannel, 1);

  post(0xB3, 11, 0);  // no learn waits: controller 11 drives nothing
  post(0xB3, 7, 0);
  QTRY_COMPARE(Find<QScrollBar>(*w, "echoLevel")->value(), 0);
  EXPECT_EQ(w->CurrentPreferences().Controllers[kLevel], kNoController);
  EXPECT_EQ(w.Engine().Params.OutputLevelDb, -3);
}

// The bend range, the glide time and velocity sensitivity: given on the
// command line they hold for the run without being kept; the dialog shows
// what is in force and its OK sets the engine; a controller learnt on the
// bend range drives it over the command line's value, and the open dialog
// follows.
TEST(Preferences, ExpressionIsHeldForTheRunChosenInTheDialogAndLearnt) {
  auto backend = std::make_unique<FakeBackend>();
  backend->WithEvents = true;
  AudioEventQueue& events = backend->Events;
  Window w(QLocale::English, std::move(backend));
  const EngineParams& params = w.Engine().Params;
  RunPreferences run;
  run.BendRange = 7;
  run.VelocityOn = true;
  w->OverrideForThisRun(run);
  EXPECT_EQ(params.BendRange, 7);
  EXPECT_TRUE(params.VelocityOn);
  EXPECT_EQ(params.GlideMs, 0);
  EXPECT_EQ(w->CurrentPreferences(), Preferences());

  {
    auto d = OpenDialog(w);
    EXPECT_EQ(d->Expression->BendRangeBox->value(), 7);
    EXPECT_TRUE(d->Expression->VelocityBox->isChecked());
    d->Expression->GlideBox->setValue(250);
    d->accept();
  }
  EXPECT_EQ(params.GlideMs, 250);
  EXPECT_EQ(params.BendRange, 7);
  EXPECT_TRUE(params.VelocityOn);
  EXPECT_EQ(w->CurrentPreferences().GlideMs, 250);
  EXPECT_EQ(w->CurrentPreferences().BendRange, 2);
  EXPECT_FALSE(w->CurrentPreferences().VelocityOn);
  {
    auto d = OpenDialog(w);
    d->Expression->VelocityBox->setChecked(false);
    d->Expression->BendRangeBox->setValue(1);
    d->reject();
  }
  EXPECT_TRUE(params.VelocityOn);
  EXPECT_EQ(params.BendRange, 7);

  w->ShowPreferences();
  TPreferencesDialog* dialog = w->PreferencesDialog();
  ASSERT_NE(dialog, nullptr);
  dialog->Expression->BendRangeMenu->Learn()->trigger();
  const uint8_t full[3] = {0xB0, 20, 127};
  events.PostMidi(full, 3);
  QTRY_COMPARE(w->CurrentPreferences().Controllers[kBendRange], 20);
  QTRY_COMPARE(params.BendRange, 12);
  EXPECT_EQ(w->CurrentPreferences().BendRange, 12);
  EXPECT_EQ(dialog->Expression->BendRangeBox->value(), 12);
  EXPECT_EQ(dialog->ControllerTable->item(kBendRange, 1)->text(), QStringLiteral("20"));
  const uint8_t least[3] = {0xB0, 20, 0};
  events.PostMidi(least, 3);
  QTRY_COMPARE(params.BendRange, 1);
  dialog->reject();
}

}  // namespace
}  // namespace sorvane::test

// SPDX-License-Identifier: GPL-3.0-or-later
// What the window shows besides its panel: the error boxes, the About
// dialog, the glyphs of its buttons.

#include "AppTestSupport.h"
#include "app/AboutBox.h"
#include "app/Glyphs.h"
#include "wavfile/ErrorBox.h"

namespace sorvane::test {
namespace {

TEST(ErrorBoxes, ShowCaptionIconAndTextAsModalBoxes) {
  InstallMessageBoxErrorHandler();
  struct Seen {
    QString Title, Text;
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    bool Modal = false;
  };
  const auto show = [](auto call) {
    Seen seen;
    OnNextModal<QMessageBox>([&seen](QMessageBox* box) {
      seen = {box->windowTitle(), box->text(), box->icon(), box->isModal()};
      box->accept();
    });
    call();
    return seen;
  };
  SetLanguageJapanese(false);
  Seen s = show([] { ShowError("Problem creating play handle"); });
  EXPECT_EQ(s.Title, U("Sorvane ERROR!"));
  EXPECT_EQ(s.Text, U("Problem creating play handle"));
  EXPECT_EQ(s.Icon, QMessageBox::Critical);
  EXPECT_TRUE(s.Modal);
  SetLanguageJapanese(true);
  s = show([] { ShowError("Start error"); });
  EXPECT_EQ(s.Title, U("Sorvane エラー"));
  // The WAV routines' box has the same caption in both languages.
  s = show([] { ShowWaveError("PCMフォーマットではありません。"); });
  EXPECT_EQ(s.Title, U("エラー"));
  EXPECT_EQ(s.Text, U("PCMフォーマットではありません。"));
  SetLanguageJapanese(false);
  s = show([] { ShowWaveError("dataチャンクエラー"); });
  EXPECT_EQ(s.Title, U("エラー"));
  SetErrorBoxHandler(nullptr, nullptr);
}

TEST(AboutBox, ShownModelessOnceWithTheTextsOfTheLanguage) {
  for (QLocale::Language language : {QLocale::English, QLocale::Japanese}) {
    Window w(language);
    TAboutBox about(w.Form.get());
    w->SetAboutBox(&about);
    w->show();
    Find<QToolButton>(*w, "about")->click();
    Find<QToolButton>(*w, "about")->click();
    EXPECT_TRUE(about.isVisible());
    EXPECT_FALSE(about.isModal());
    int shown = 0;
    for (QWidget* top : QApplication::topLevelWidgets())
      if (qobject_cast<TAboutBox*>(top) && top->isVisible()) ++shown;
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(about.size(), QSize(311, 280));
    EXPECT_EQ(about.Frame->geometry(), QRect(8, 8, 297, 225));
    // The panel's bevels: lowered outside (dark at the top left, light at
    // the bottom right), raised inside (the other way round).
    const QImage shot = about.grab().toImage();
    const QRgb dark = about.Frame->palette().color(QPalette::Dark).rgb();
    const QRgb light = about.Frame->palette().color(QPalette::Light).rgb();
    ASSERT_NE(dark, light);
    EXPECT_EQ(shot.pixel(8, 8), dark);
    EXPECT_EQ(shot.pixel(304, 232), light);
    EXPECT_EQ(shot.pixel(9, 9), light);
    EXPECT_EQ(shot.pixel(303, 231), dark);
    EXPECT_EQ(about.OkButton->geometry(), QRect(119, 244, 75, 25));
    EXPECT_TRUE(about.OkButton->isDefault());
    EXPECT_EQ(about.ProgramIcon->geometry(), QRect(24, 16, 33, 33));
    EXPECT_EQ(about.ProductName->pos(), QPoint(64, 24));
    EXPECT_EQ(about.Warning1->pos(), QPoint(24, 136));
    EXPECT_EQ(about.ProductName->text(), U("Sorvane V0.9"));
    if (language == QLocale::English) {
      EXPECT_EQ(about.windowTitle(), U("Version Information"));
      EXPECT_EQ(about.Warning1->text(), U("**** WARNING! ****"));
      EXPECT_TRUE(about.Warning4->text().isEmpty());
    } else {
      EXPECT_EQ(about.windowTitle(), U("バージョン情報"));
      EXPECT_EQ(about.Warning1->text(), U("＜注意＞"));
    }
    about.OkButton->click();
    EXPECT_FALSE(about.isVisible());
    EXPECT_TRUE(w->isVisible());
    // Also when shown modally, OK ends it.
    QTimer::singleShot(0, about.OkButton, &QPushButton::click);
    EXPECT_EQ(about.exec(), QDialog::Accepted);
  }
}

TEST(Glyphs, DrawnFromTheirRowsWithTheBottomLeftColourTransparent) {
  const QImage rec = MakeGlyph(kRecordGlyph);
  const QImage stop = MakeGlyph(kStopGlyph);
  const QImage mic = MakeGlyph(kMicrophoneGlyph);
  const QImage speaker = MakeGlyph(kSpeakerGlyph);
  for (const QImage* g : {&rec, &stop, &mic, &speaker}) EXPECT_EQ(g->size(), QSize(12, 12));
  EXPECT_EQ(rec.pixelColor(0, 0).alpha(), 0);  // white is transparent here
  EXPECT_EQ(rec.pixelColor(5, 5), QColor(255, 0, 0));
  EXPECT_EQ(rec.pixelColor(11, 4), QColor(0, 0, 0));
  EXPECT_EQ(stop.pixelColor(1, 1), QColor(0, 0, 128));
  EXPECT_EQ(stop.pixelColor(4, 2), QColor(0, 0, 0));
  EXPECT_EQ(stop.pixelColor(4, 1).alpha(), 0);
  EXPECT_EQ(mic.pixelColor(0, 0).alpha(), 0);  // green is transparent here
  EXPECT_EQ(mic.pixelColor(5, 1), QColor(192, 192, 192));
  EXPECT_EQ(mic.pixelColor(7, 1), QColor(128, 128, 128));
  EXPECT_EQ(mic.pixelColor(4, 1), QColor(255, 255, 255));
  EXPECT_EQ(speaker.pixelColor(1, 5), QColor(255, 255, 0));
  EXPECT_EQ(speaker.pixelColor(1, 7), QColor(128, 128, 0));
  EXPECT_EQ(speaker.pixelColor(11, 11).alpha(), 0);
  int opaque = 0;
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 12; ++x) opaque += rec.pixelColor(x, y).alpha() == 255;
  EXPECT_EQ(opaque, 144 - 41);  // every pixel but the 41 white ones
}

}  // namespace
}  // namespace sorvane::test

// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as built at start-up: size, every control's place, start
// values, captions and fonts in both languages, and screenshots.

#include <QFontInfo>

#include "AppTestSupport.h"

namespace sorvane::test {
namespace {

TEST(MainWindow, ClientAreaIsTheKeyboardWidthAndPanelPlusTwoRows) {
  Window w;
  EXPECT_EQ(w->size(), QSize(375, 369));
  EXPECT_EQ(w->minimumSize(), w->maximumSize());  // fixed
  EXPECT_EQ(w->Panel1->geometry(), QRect(0, 0, 375, 209));
  EXPECT_EQ(w->windowTitle(), QStringLiteral("Sorvane"));
  EXPECT_FALSE(w->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(w->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_EQ(w->palette().color(QPalette::Window), QColor(160, 160, 164));
  EXPECT_EQ(w->pos(), QPoint(193, 109));
}

TEST(MainWindow, EveryControlSitsAtItsPlace) {
  Window w;
  TForm1& f = *w;
  const struct {
    QWidget* control;
    QWidget* parent;
    QRect geometry;
  } expected[] = {
      {f.RadioGroup2, f.Panel1, {8, 8, 97, 81}},     {f.RadioGroup1, f.Panel1, {8, 96, 97, 81}},
      {f.GroupBox1, f.Panel1, {112, 8, 113, 137}},   {f.ScrollBar1, f.GroupBox1, {8, 32, 97, 9}},
      {f.ScrollBar2, f.GroupBox1, {8, 64, 97, 9}},   {f.RadioButton1, f.GroupBox1, {8, 80, 81, 17}},
      {f.RadioButton2, f.GroupBox1, {8, 96, 89, 17}}, {f.chkModForceOn, f.GroupBox1, {8, 112, 81, 17}},
      {f.GroupBox2, f.Panel1, {232, 8, 113, 81}},    {f.ScrollBar3, f.GroupBox2, {8, 32, 97, 9}},
      {f.ScrollBar4, f.GroupBox2, {8, 64, 97, 9}},   {f.btnInput, f.Panel1, {240, 96, 73, 25}},
      {f.btnOutput, f.Panel1, {240, 120, 73, 25}},   {f.btnRecord, f.Panel1, {312, 96, 57, 25}},
      {f.btnAbout, f.Panel1, {312, 120, 57, 25}},    {f.btnExit, f.Panel1, {312, 144, 57, 25}},
      {f.GroupBox3, f.Panel1, {112, 152, 185, 49}},  {f.chkPhraseOn, f.GroupBox3, {8, 16, 41, 17}},
      {f.btnPhraseRec, f.GroupBox3, {56, 16, 41, 25}}, {f.btnPhraseLoad, f.GroupBox3, {96, 16, 41, 25}},
      {f.btnPhraseSave, f.GroupBox3, {136, 16, 41, 25}}, {f.CheckBox1, f.Panel1, {376, 112, 89, 17}},
      {f.chkNoise, f.Panel1, {376, 128, 57, 17}},    {f.Image1, f.Panel1, {376, 8, 81, 50}},
      {f.Image2, f.Panel1, {376, 64, 129, 41}},      {f.Bevel1, f.Panel1, {528, 112, 81, 50}},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.control->metaObject()->className());
    EXPECT_EQ(e.control->geometry(), e.geometry);
    EXPECT_EQ(e.control->parentWidget(), e.parent);
  }
  const struct {
    QLabel* label;
    QWidget* parent;
    QPoint at;
  } labels[] = {{f.Label4, f.GroupBox1, {8, 16}}, {f.Label5, f.GroupBox1, {8, 48}}, {f.Label6, f.GroupBox2, {8, 16}},
                {f.Label7, f.GroupBox2, {8, 48}}, {f.Label8, f.Panel1, {320, 184}},  {f.Label1, f.Panel1, {544, 16}},
                {f.Label2, f.Panel1, {544, 32}},  {f.Label3, f.Panel1, {544, 40}}};
  for (const auto& l : labels) {
    EXPECT_EQ(l.label->pos(), l.at);
    EXPECT_EQ(l.label->parentWidget(), l.parent);
  }
}

TEST(MainWindow, HiddenAndOutOfSightControls) {
  Window w;
  TForm1& f = *w;
  for (QWidget* hidden : {static_cast<QWidget*>(f.Label1), static_cast<QWidget*>(f.Label2),
                          static_cast<QWidget*>(f.Label3), static_cast<QWidget*>(f.Bevel1),
                          static_cast<QWidget*>(f.Image1), static_cast<QWidget*>(f.Image2)}) {
    EXPECT_TRUE(hidden->isHidden());
  }
  // Present but right of the cut panel, so nobody sees them.
  EXPECT_FALSE(f.CheckBox1->isHidden());
  EXPECT_FALSE(f.chkNoise->isHidden());
  EXPECT_GE(f.CheckBox1->x(), f.Panel1->width());
  EXPECT_GE(f.chkNoise->x(), f.Panel1->width());
  EXPECT_TRUE(f.Label8->text().isEmpty());
}

TEST(MainWindow, KeysArePlacedBelowThePanelAndStackedBlackOverWhite) {
  Window w;
  TForm1& f = *w;
  EXPECT_EQ(f.KeyButtons[0]->geometry(), QRect(2, 289, 26, 45));    // A
  EXPECT_EQ(f.KeyButtons[1]->geometry(), QRect(15, 289, 30, 80));   // Z
  EXPECT_EQ(f.KeyButtons[20]->geometry(), QRect(2, 209, 26, 45));   // 1
  EXPECT_EQ(f.KeyButtons[40]->geometry(), QRect(345, 209, 30, 80)); // [
  for (TColorButton* key : f.KeyButtons) EXPECT_EQ(key->parentWidget(), &f);
  EXPECT_EQ(f.KeyButtons[0]->text(), QStringLiteral("A"));
  EXPECT_EQ(f.KeyButtons[20]->text(), QStringLiteral("1"));
  EXPECT_EQ(f.KeyButtons[18]->text(), U("＼"));
  EXPECT_EQ(f.KeyButtons[0]->Color(), QColor(0, 0, 0));
  EXPECT_EQ(f.KeyButtons[0]->FontColor(), QColor(255, 255, 255));
  EXPECT_EQ(f.KeyButtons[1]->Color(), QColor(255, 255, 255));
  // What the mouse hits where a black key overlaps a white one.
  EXPECT_EQ(f.childAt(40, 300), f.KeyButtons[2]);   // S over Z and X
  EXPECT_EQ(f.childAt(30, 340), f.KeyButtons[1]);   // Z below S
  EXPECT_EQ(f.childAt(20, 340), f.KeyButtons[1]);   // Z below A
  EXPECT_EQ(f.childAt(100, 215), f.KeyButtons[25]); // 4 over E and R
  EXPECT_EQ(f.childAt(360, 300), nullptr);          // right of the last lower key
}

TEST(MainWindow, StartValuesAndLabels) {
  Window w;
  TForm1& f = *w;
  EXPECT_EQ(f.Label4->text(), QStringLiteral("30%"));
  EXPECT_EQ(f.Label5->text(), QStringLiteral("10Hz"));
  EXPECT_EQ(f.Label6->text(), QStringLiteral("0%"));
  EXPECT_EQ(f.Label7->text(), QStringLiteral("100ms"));
  EXPECT_EQ(f.RadioGroup2Buttons->checkedId(), 1);
  EXPECT_EQ(f.RadioGroup1Buttons->checkedId(), 0);
  EXPECT_TRUE(f.RadioButton1->isChecked());
  EXPECT_FALSE(f.chkModForceOn->isChecked());
  EXPECT_FALSE(f.CheckBox1->isChecked());
  EXPECT_FALSE(f.chkPhraseOn->isChecked());
  const EngineParams& p = w.Engine().Params;
  EXPECT_EQ(p.Octave, 2);
  EXPECT_EQ(p.Waveform, 0);
  EXPECT_EQ(p.ModDepth, 30);
  EXPECT_EQ(p.ModRate, 10);
  EXPECT_EQ(p.EchoLevel, 0);
  EXPECT_EQ(p.EchoDelayMs, 100);
  EXPECT_FALSE(p.ModAlwaysOn);
  EXPECT_TRUE(w.Engine().Switches.TriangleShape);
  EXPECT_FALSE(w.Engine().Switches.Emphasis);
  EXPECT_EQ(f.ScrollBar1->minimum(), 0);
  EXPECT_EQ(f.ScrollBar1->maximum(), 100);
  EXPECT_EQ(f.ScrollBar2->minimum(), 1);
  EXPECT_EQ(f.ScrollBar2->maximum(), 20);
  EXPECT_EQ(f.ScrollBar3->maximum(), 100);
  EXPECT_EQ(f.ScrollBar4->minimum(), 50);
  EXPECT_EQ(f.ScrollBar4->maximum(), 200);
  // The phrase group waits for phrase mode.
  EXPECT_FALSE(f.btnPhraseRec->isEnabled());
  EXPECT_FALSE(f.btnPhraseLoad->isEnabled());
  EXPECT_FALSE(f.btnPhraseSave->isEnabled());
}

TEST(ControlPanel, HandlersWriteTheEngineSettingsAndLabels) {
  Window w;
  TForm1& f = *w;
  EngineParams& p = w.Engine().Params;
  f.RadioGroup2Items[3]->click();  // "Ultra Low"
  EXPECT_EQ(p.Octave, 0);
  f.RadioGroup2Items[0]->click();  // "High"
  EXPECT_EQ(p.Octave, 3);
  f.RadioGroup1Items[2]->click();
  EXPECT_EQ(p.Waveform, 2);
  f.ScrollBar1->setValue(77);
  EXPECT_EQ(p.ModDepth, 77);
  EXPECT_EQ(f.Label4->text(), QStringLiteral("77%"));
  f.ScrollBar2->setValue(0);  // held at the minimum
  EXPECT_EQ(p.ModRate, 1);
  EXPECT_EQ(f.Label5->text(), QStringLiteral("1Hz"));
  f.ScrollBar3->setValue(100);
  EXPECT_EQ(p.EchoLevel, 100);
  EXPECT_EQ(f.Label6->text(), QStringLiteral("100%"));
  f.ScrollBar4->setValue(f.ScrollBar4->minimum());
  EXPECT_EQ(f.Label7->text(), QStringLiteral("50ms"));
  f.ScrollBar4->setValue(f.ScrollBar4->maximum());
  EXPECT_EQ(f.Label7->text(), QStringLiteral("200ms"));
  EXPECT_EQ(p.EchoDelayMs, 200);
  f.chkModForceOn->click();
  EXPECT_TRUE(p.ModAlwaysOn);
  f.RadioButton2->click();
  EXPECT_FALSE(w.Engine().Switches.TriangleShape);
  f.CheckBox1->setChecked(true);  // out of sight, still read by the engine
  EXPECT_TRUE(w.Engine().Switches.Emphasis);
  const EngineParams before = p;
  f.chkNoise->setChecked(true);
  EXPECT_EQ(std::memcmp(&before, &p, sizeof p), 0);
}

TEST(ControlPanel, WaveformChangeKeepsHeldKeysButRestartsTheirVoices) {
  Window w;
  KeyNoteOn(w.Engine(), 4);
  w.Engine().Pool.Voices[0].Phase = 12.5;
  w->RadioGroup1Items[1]->click();
  EXPECT_EQ(w.Engine().Pool.VoiceKeys[0], 4);
  EXPECT_EQ(w.Engine().Pool.Voices[0].Phase, 0.0);
  EXPECT_EQ(w->KeyButtons[4]->Color(), QColor(255, 0, 0));
}

TEST(ControlPanel, ClickingTheSelectedItemAgainChangesNothing) {
  Window w;
  KeyNoteOn(w.Engine(), 4);
  w.Engine().Pool.Voices[0].Phase = 12.5;
  w->RadioGroup1Items[0]->click();  // already selected
  QTest::keyClick(w->RadioGroup1Items[0], Qt::Key_Space);
  EXPECT_EQ(w.Engine().Pool.Voices[0].Phase, 12.5);  // the held voice goes on
  w.Engine().Params.Octave = 1;
  w->RadioGroup2Items[1]->click();  // "Mid", already selected: the handler does not run
  EXPECT_EQ(w.Engine().Params.Octave, 1);
}

// Each caption of the window in English and in Japanese; the octaves, the
// About button, the phrase switch, the emphasis and noise switches and the
// title are the same in both.
struct CaptionCase {
  const char* Control;
  QString (*Text)(TForm1& f);
  const char* English;
  const char* Japanese;
};
const CaptionCase kCaptionCases[] = {
    {"RadioGroup2", [](TForm1& f) { return f.RadioGroup2->title(); }, "Octabe", "オクターブ"},
    {"High", [](TForm1& f) { return f.RadioGroup2Items[0]->text(); }, "High", "High"},
    {"Mid", [](TForm1& f) { return f.RadioGroup2Items[1]->text(); }, "Mid", "Mid"},
    {"Low", [](TForm1& f) { return f.RadioGroup2Items[2]->text(); }, "Low", "Low"},
    {"Ultra Low", [](TForm1& f) { return f.RadioGroup2Items[3]->text(); }, "Ultra Low", "Ultra Low"},
    {"RadioGroup1", [](TForm1& f) { return f.RadioGroup1->title(); }, "Wave Format", "波形"},
    {"Impulse", [](TForm1& f) { return f.RadioGroup1Items[0]->text(); }, "Impulse", "インパルス"},
    {"Saw", [](TForm1& f) { return f.RadioGroup1Items[1]->text(); }, "Saw", "ノコギリ波"},
    {"Square wave", [](TForm1& f) { return f.RadioGroup1Items[2]->text(); }, "Square", "矩形波"},
    {"GroupBox1", [](TForm1& f) { return f.GroupBox1->title(); }, "Modulation", "モジュレーション"},
    {"RadioButton1", [](TForm1& f) { return f.RadioButton1->text(); }, "Triangle", "三角波"},
    {"RadioButton2", [](TForm1& f) { return f.RadioButton2->text(); }, "Square", "矩形波"},
    {"chkModForceOn", [](TForm1& f) { return f.chkModForceOn->text(); }, "Always ON", "常にON"},
    {"GroupBox2", [](TForm1& f) { return f.GroupBox2->title(); }, "Echo", "エコー"},
    {"btnInput", [](TForm1& f) { return f.btnInput->text(); }, "Input Vol", "入力音量"},
    {"btnOutput", [](TForm1& f) { return f.btnOutput->text(); }, "Output Vol", "出力音量"},
    {"btnRecord", [](TForm1& f) { return f.btnRecord->text(); }, "Rec", "録音"},
    {"btnAbout", [](TForm1& f) { return f.btnAbout->text(); }, "About", "About"},
    {"btnExit", [](TForm1& f) { return f.btnExit->text(); }, "Exit", "終了"},
    {"GroupBox3", [](TForm1& f) { return f.GroupBox3->title(); }, "Phrase Mode", "フレーズモード"},
    {"chkPhraseOn", [](TForm1& f) { return f.chkPhraseOn->text(); }, "ON", "ON"},
    {"btnPhraseRec", [](TForm1& f) { return f.btnPhraseRec->text(); }, "Rec", "録音"},
    {"btnPhraseLoad", [](TForm1& f) { return f.btnPhraseLoad->text(); }, "Load", "読込"},
    {"btnPhraseSave", [](TForm1& f) { return f.btnPhraseSave->text(); }, "Save", "保存"},
    // No English entry: Japanese in both languages.
    {"CheckBox1", [](TForm1& f) { return f.CheckBox1->text(); }, "高域強調", "高域強調"},
    {"chkNoise", [](TForm1& f) { return f.chkNoise->text(); }, "ノイズ", "ノイズ"},
    {"title", [](TForm1& f) { return f.windowTitle(); }, "Sorvane", "Sorvane"},
};

// The language is decided at each window's creation from the locale: a
// French window after a Japanese one has the English captions.
TEST(Captions, EachLocaleGivesItsCaptionsDecidedAtCreation) {
  for (QLocale::Language language : {QLocale::English, QLocale::Japanese, QLocale::French}) {
    SCOPED_TRACE(QLocale::languageToString(language).toStdString());
    Window w(language);
    const bool japanese = language == QLocale::Japanese;
    EXPECT_EQ(LanguageJapanese(), japanese);
    for (const CaptionCase& c : kCaptionCases) EXPECT_EQ(c.Text(*w), U(japanese ? c.Japanese : c.English)) << c.Control;
  }
}

TEST(Fonts, WindowFontsResolveToTheInstalledStandIns) {
  {
    Window w(QLocale::English);
    const QFontInfo info(w->font());
    EXPECT_EQ(info.family(), QStringLiteral("Liberation Sans"));
    EXPECT_EQ(w->font().pointSize(), 8);
    EXPECT_EQ(QFontInfo(w->btnExit->font()).family(), QStringLiteral("Liberation Sans"));
  }
  {
    Window w(QLocale::Japanese);
    const QFontInfo info(w->font());
    EXPECT_EQ(info.family(), QStringLiteral("IPAPGothic"));
    EXPECT_EQ(w->font().pixelSize(), 12);
  }
}

TEST(Screenshots, SavedInBothLanguages) {
  const QString dir = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("screenshots"));
  QDir().mkpath(dir);
  for (QLocale::Language language : {QLocale::English, QLocale::Japanese}) {
    Window w(language);
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.Form.get()));
    KeyNoteOn(w.Engine(), 8);  // one key sounding, for the picture
    const QImage shot = w->grab().toImage();
    ASSERT_EQ(shot.size(), QSize(375, 369));
    const QString name = language == QLocale::English ? QStringLiteral("sorvane-en.png") : QStringLiteral("sorvane-ja.png");
    EXPECT_TRUE(shot.save(QDir(dir).filePath(name)));
    // Window background where no key covers it, a red key, a white key.
    EXPECT_EQ(shot.pixelColor(360, 300), QColor(160, 160, 164));
    EXPECT_EQ(shot.pixelColor(160, 340), QColor(255, 0, 0));
    EXPECT_EQ(shot.pixelColor(20, 360), QColor(255, 255, 255));
    EXPECT_EQ(shot.pixelColor(10, 220), QColor(0, 0, 0));
  }
}

}  // namespace
}  // namespace sorvane::test

// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as built at start-up: size, every control's place, start
// values, captions and fonts in both languages, and screenshots.

#include <QFontInfo>

#include <cstring>

#include "AppTestSupport.h"

namespace sorvane::test {
namespace {

TEST(MainWindow, ClientAreaIsTheKeyboardWidthAndPanelPlusTwoRows) {
  Window w;
  EXPECT_EQ(w->size(), QSize(375, 369));
  EXPECT_EQ(w->minimumSize(), w->maximumSize());  // fixed
  EXPECT_EQ(Find<QFrame>(*w, "controlPanel")->geometry(), QRect(0, 0, 375, 209));
  EXPECT_EQ(w->windowTitle(), QStringLiteral("Sorvane"));
  EXPECT_FALSE(w->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(w->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_EQ(w->palette().color(QPalette::Window), QColor(160, 160, 164));
  EXPECT_EQ(w->pos(), QPoint(193, 109));
}

TEST(MainWindow, EveryControlSitsAtItsPlace) {
  Window w;
  MainWindow& f = *w;
  const struct {
    const char* control;
    const char* parent;
    QRect geometry;
  } expected[] = {
      {"octave", "controlPanel", {8, 8, 97, 81}},
      {"waveform", "controlPanel", {8, 96, 97, 81}},
      {"vibrato", "controlPanel", {112, 8, 113, 137}},
      {"vibratoDepth", "vibrato", {8, 32, 97, 9}},
      {"vibratoRate", "vibrato", {8, 64, 97, 9}},
      {"vibratoTriangle", "vibrato", {8, 80, 81, 17}},
      {"vibratoSquare", "vibrato", {8, 96, 89, 17}},
      {"vibratoAlwaysOn", "vibrato", {8, 112, 81, 17}},
      {"echo", "controlPanel", {232, 8, 113, 81}},
      {"echoLevel", "echo", {8, 32, 97, 9}},
      {"echoDelay", "echo", {8, 64, 97, 9}},
      {"inputVolume", "controlPanel", {240, 96, 73, 25}},
      {"outputVolume", "controlPanel", {240, 120, 73, 25}},
      {"take", "controlPanel", {312, 96, 57, 25}},
      {"about", "controlPanel", {312, 120, 57, 25}},
      {"exit", "controlPanel", {312, 144, 57, 25}},
      {"phrase", "controlPanel", {112, 152, 185, 49}},
      {"phraseOn", "phrase", {8, 16, 41, 17}},
      {"phraseRecord", "phrase", {56, 16, 41, 25}},
      {"phraseLoad", "phrase", {96, 16, 41, 25}},
      {"phraseSave", "phrase", {136, 16, 41, 25}},
      {"emphasis", "controlPanel", {376, 112, 89, 17}},
      {"noise", "controlPanel", {376, 128, 57, 17}},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.control);
    EXPECT_EQ(Find(f, e.control)->geometry(), e.geometry);
    EXPECT_EQ(Find(f, e.control)->parentWidget(), Find(f, e.parent));
  }
  const struct {
    const char* label;
    const char* parent;
    QPoint at;
  } labels[] = {{"vibratoDepthValue", "vibrato", {8, 16}},
                {"vibratoRateValue", "vibrato", {8, 48}},
                {"echoLevelValue", "echo", {8, 16}},
                {"echoDelayValue", "echo", {8, 48}},
                {"unmatchedKey", "controlPanel", {544, 40}}};
  for (const auto& l : labels) {
    SCOPED_TRACE(l.label);
    EXPECT_EQ(Find<QLabel>(f, l.label)->pos(), l.at);
    EXPECT_EQ(Find<QLabel>(f, l.label)->parentWidget(), Find(f, l.parent));
  }
}

TEST(MainWindow, HiddenAndOutOfSightControls) {
  Window w;
  MainWindow& f = *w;
  // The code of an unmatched key goes to a label nobody sees.
  EXPECT_TRUE(Find<QLabel>(f, "unmatchedKey")->isHidden());
  // Present but right of the cut panel, so nobody sees them.
  const QFrame* panel = Find<QFrame>(f, "controlPanel");
  for (const char* name : {"emphasis", "noise"}) {
    EXPECT_FALSE(Find<QCheckBox>(f, name)->isHidden()) << name;
    EXPECT_GE(Find<QCheckBox>(f, name)->x(), panel->width()) << name;
  }
}

TEST(MainWindow, KeysArePlacedBelowThePanelAndStackedBlackOverWhite) {
  Window w;
  MainWindow& f = *w;
  // A key's place in the window.
  const auto placed = [&f](int key) {
    const TColorButton* button = f.Keyboard().Button(key);
    return QRect(button->mapTo(&f, QPoint(0, 0)), button->size());
  };
  EXPECT_EQ(placed(0), QRect(2, 289, 26, 45));     // A
  EXPECT_EQ(placed(1), QRect(15, 289, 30, 80));    // Z
  EXPECT_EQ(placed(20), QRect(2, 209, 26, 45));    // 1
  EXPECT_EQ(placed(40), QRect(345, 209, 30, 80));  // [
  EXPECT_EQ(f.Keyboard().geometry(), QRect(0, 209, 375, 160));
  for (int key = 0; key < kKeyCount; ++key) EXPECT_EQ(f.Keyboard().Button(key)->parentWidget(), &f.Keyboard());
  EXPECT_EQ(f.Keyboard().Button(0)->text(), QStringLiteral("A"));
  EXPECT_EQ(f.Keyboard().Button(20)->text(), QStringLiteral("1"));
  EXPECT_EQ(f.Keyboard().Button(18)->text(), U("＼"));
  EXPECT_EQ(f.Keyboard().Button(0)->Color(), QColor(0, 0, 0));
  EXPECT_EQ(f.Keyboard().Button(0)->FontColor(), QColor(255, 255, 255));
  EXPECT_EQ(f.Keyboard().Button(1)->Color(), QColor(255, 255, 255));
  // What the mouse hits where a black key overlaps a white one.
  EXPECT_EQ(f.childAt(40, 300), f.Keyboard().Button(2));    // S over Z and X
  EXPECT_EQ(f.childAt(30, 340), f.Keyboard().Button(1));    // Z below S
  EXPECT_EQ(f.childAt(20, 340), f.Keyboard().Button(1));    // Z below A
  EXPECT_EQ(f.childAt(100, 215), f.Keyboard().Button(25));  // 4 over E and R
  EXPECT_EQ(f.childAt(360, 300), &f.Keyboard());            // right of the last lower key: no key
}

TEST(MainWindow, StartValuesAndLabels) {
  Window w;
  MainWindow& f = *w;
  EXPECT_EQ(Find<QLabel>(f, "vibratoDepthValue")->text(), QStringLiteral("30%"));
  EXPECT_EQ(Find<QLabel>(f, "vibratoRateValue")->text(), QStringLiteral("10Hz"));
  EXPECT_EQ(Find<QLabel>(f, "echoLevelValue")->text(), QStringLiteral("0%"));
  EXPECT_EQ(Find<QLabel>(f, "echoDelayValue")->text(), QStringLiteral("100ms"));
  for (const char* item : {"octaveHigh", "octaveMid", "octaveLow", "octaveUltraLow"}) {
    EXPECT_EQ(Find<QRadioButton>(f, item)->isChecked(), std::strcmp(item, "octaveMid") == 0) << item;
  }
  for (const char* item : {"waveImpulse", "waveSaw", "waveSquare"}) {
    EXPECT_EQ(Find<QRadioButton>(f, item)->isChecked(), std::strcmp(item, "waveImpulse") == 0) << item;
  }
  EXPECT_TRUE(Find<QRadioButton>(f, "vibratoTriangle")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>(f, "vibratoAlwaysOn")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>(f, "emphasis")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>(f, "phraseOn")->isChecked());
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
  EXPECT_EQ(Find<QScrollBar>(f, "vibratoDepth")->minimum(), 0);
  EXPECT_EQ(Find<QScrollBar>(f, "vibratoDepth")->maximum(), 100);
  EXPECT_EQ(Find<QScrollBar>(f, "vibratoRate")->minimum(), 1);
  EXPECT_EQ(Find<QScrollBar>(f, "vibratoRate")->maximum(), 20);
  EXPECT_EQ(Find<QScrollBar>(f, "echoLevel")->maximum(), 100);
  EXPECT_EQ(Find<QScrollBar>(f, "echoDelay")->minimum(), 50);
  EXPECT_EQ(Find<QScrollBar>(f, "echoDelay")->maximum(), 200);
  // The phrase group waits for phrase mode.
  EXPECT_FALSE(Find<QToolButton>(f, "phraseRecord")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>(f, "phraseLoad")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>(f, "phraseSave")->isEnabled());
}

TEST(ControlPanel, HandlersWriteTheEngineSettingsAndLabels) {
  Window w;
  MainWindow& f = *w;
  EngineParams& p = w.Engine().Params;
  Find<QRadioButton>(f, "octaveUltraLow")->click();  // "Ultra Low"
  EXPECT_EQ(p.Octave, 0);
  Find<QRadioButton>(f, "octaveHigh")->click();  // "High"
  EXPECT_EQ(p.Octave, 3);
  Find<QRadioButton>(f, "waveSquare")->click();
  EXPECT_EQ(p.Waveform, 2);
  Find<QScrollBar>(f, "vibratoDepth")->setValue(77);
  EXPECT_EQ(p.ModDepth, 77);
  EXPECT_EQ(Find<QLabel>(f, "vibratoDepthValue")->text(), QStringLiteral("77%"));
  Find<QScrollBar>(f, "vibratoRate")->setValue(0);  // held at the minimum
  EXPECT_EQ(p.ModRate, 1);
  EXPECT_EQ(Find<QLabel>(f, "vibratoRateValue")->text(), QStringLiteral("1Hz"));
  Find<QScrollBar>(f, "echoLevel")->setValue(100);
  EXPECT_EQ(p.EchoLevel, 100);
  EXPECT_EQ(Find<QLabel>(f, "echoLevelValue")->text(), QStringLiteral("100%"));
  Find<QScrollBar>(f, "echoDelay")->setValue(Find<QScrollBar>(f, "echoDelay")->minimum());
  EXPECT_EQ(Find<QLabel>(f, "echoDelayValue")->text(), QStringLiteral("50ms"));
  Find<QScrollBar>(f, "echoDelay")->setValue(Find<QScrollBar>(f, "echoDelay")->maximum());
  EXPECT_EQ(Find<QLabel>(f, "echoDelayValue")->text(), QStringLiteral("200ms"));
  EXPECT_EQ(p.EchoDelayMs, 200);
  Find<QCheckBox>(f, "vibratoAlwaysOn")->click();
  EXPECT_TRUE(p.ModAlwaysOn);
  Find<QRadioButton>(f, "vibratoSquare")->click();
  EXPECT_FALSE(w.Engine().Switches.TriangleShape);
  Find<QCheckBox>(f, "emphasis")->setChecked(true);  // out of sight, still read by the engine
  EXPECT_TRUE(w.Engine().Switches.Emphasis);
  const EngineParams before = p;
  Find<QCheckBox>(f, "noise")->setChecked(true);
  EXPECT_EQ(std::memcmp(&before, &p, sizeof p), 0);
}

TEST(ControlPanel, WaveformChangeKeepsHeldKeysButRestartsTheirVoices) {
  Window w;
  KeyNoteOn(w.Engine(), 4);
  w.Engine().Pool.Voices[0].Phase = 12.5;
  Find<QRadioButton>(*w, "waveSaw")->click();
  EXPECT_EQ(w.Engine().Pool.VoiceKeys[0], 4);
  EXPECT_EQ(w.Engine().Pool.Voices[0].Phase, 0.0);
  EXPECT_EQ(w->Keyboard().Button(4)->Color(), QColor(255, 0, 0));
}

TEST(ControlPanel, ClickingTheSelectedItemAgainChangesNothing) {
  Window w;
  KeyNoteOn(w.Engine(), 4);
  w.Engine().Pool.Voices[0].Phase = 12.5;
  Find<QRadioButton>(*w, "waveImpulse")->click();  // already selected
  QTest::keyClick(Find<QRadioButton>(*w, "waveImpulse"), Qt::Key_Space);
  EXPECT_EQ(w.Engine().Pool.Voices[0].Phase, 12.5);  // the held voice goes on
  w.Engine().Params.Octave = 1;
  Find<QRadioButton>(*w, "octaveMid")->click();  // "Mid", already selected: the handler does not run
  EXPECT_EQ(w.Engine().Params.Octave, 1);
}

// Each caption of the window in English and in Japanese; the octaves, the
// About button, the phrase switch, the emphasis and noise switches and the
// title are the same in both.
struct CaptionCase {
  const char* Control;
  QString (*Text)(MainWindow& f);
  const char* English;
  const char* Japanese;
};
const CaptionCase kCaptionCases[] = {
    {"octave", [](MainWindow& f) { return Find<QGroupBox>(f, "octave")->title(); }, "Octabe", "オクターブ"},
    {"High", [](MainWindow& f) { return Find<QRadioButton>(f, "octaveHigh")->text(); }, "High", "High"},
    {"Mid", [](MainWindow& f) { return Find<QRadioButton>(f, "octaveMid")->text(); }, "Mid", "Mid"},
    {"Low", [](MainWindow& f) { return Find<QRadioButton>(f, "octaveLow")->text(); }, "Low", "Low"},
    {"Ultra Low", [](MainWindow& f) { return Find<QRadioButton>(f, "octaveUltraLow")->text(); }, "Ultra Low",
     "Ultra Low"},
    {"waveform", [](MainWindow& f) { return Find<QGroupBox>(f, "waveform")->title(); }, "Wave Format", "波形"},
    {"Impulse", [](MainWindow& f) { return Find<QRadioButton>(f, "waveImpulse")->text(); }, "Impulse", "インパルス"},
    {"Saw", [](MainWindow& f) { return Find<QRadioButton>(f, "waveSaw")->text(); }, "Saw", "ノコギリ波"},
    {"Square wave", [](MainWindow& f) { return Find<QRadioButton>(f, "waveSquare")->text(); }, "Square", "矩形波"},
    {"vibrato", [](MainWindow& f) { return Find<QGroupBox>(f, "vibrato")->title(); }, "Modulation", "モジュレーション"},
    {"vibratoTriangle", [](MainWindow& f) { return Find<QRadioButton>(f, "vibratoTriangle")->text(); }, "Triangle",
     "三角波"},
    {"vibratoSquare", [](MainWindow& f) { return Find<QRadioButton>(f, "vibratoSquare")->text(); }, "Square", "矩形波"},
    {"vibratoAlwaysOn", [](MainWindow& f) { return Find<QCheckBox>(f, "vibratoAlwaysOn")->text(); }, "Always ON",
     "常にON"},
    {"echo", [](MainWindow& f) { return Find<QGroupBox>(f, "echo")->title(); }, "Echo", "エコー"},
    {"inputVolume", [](MainWindow& f) { return Find<QToolButton>(f, "inputVolume")->text(); }, "Input Vol", "入力音量"},
    {"outputVolume", [](MainWindow& f) { return Find<QToolButton>(f, "outputVolume")->text(); }, "Output Vol",
     "出力音量"},
    {"take", [](MainWindow& f) { return Find<QToolButton>(f, "take")->text(); }, "Rec", "録音"},
    {"about", [](MainWindow& f) { return Find<QToolButton>(f, "about")->text(); }, "About", "About"},
    {"exit", [](MainWindow& f) { return Find<QToolButton>(f, "exit")->text(); }, "Exit", "終了"},
    {"phrase", [](MainWindow& f) { return Find<QGroupBox>(f, "phrase")->title(); }, "Phrase Mode", "フレーズモード"},
    {"phraseOn", [](MainWindow& f) { return Find<QCheckBox>(f, "phraseOn")->text(); }, "ON", "ON"},
    {"phraseRecord", [](MainWindow& f) { return Find<QToolButton>(f, "phraseRecord")->text(); }, "Rec", "録音"},
    {"phraseLoad", [](MainWindow& f) { return Find<QPushButton>(f, "phraseLoad")->text(); }, "Load", "読込"},
    {"phraseSave", [](MainWindow& f) { return Find<QPushButton>(f, "phraseSave")->text(); }, "Save", "保存"},
    // No English entry: Japanese in both languages.
    {"emphasis", [](MainWindow& f) { return Find<QCheckBox>(f, "emphasis")->text(); }, "高域強調", "高域強調"},
    {"noise", [](MainWindow& f) { return Find<QCheckBox>(f, "noise")->text(); }, "ノイズ", "ノイズ"},
    {"title", [](MainWindow& f) { return f.windowTitle(); }, "Sorvane", "Sorvane"},
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
    EXPECT_EQ(QFontInfo(Find<QToolButton>(*w, "exit")->font()).family(), QStringLiteral("Liberation Sans"));
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
    const QString name =
        language == QLocale::English ? QStringLiteral("sorvane-en.png") : QStringLiteral("sorvane-ja.png");
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

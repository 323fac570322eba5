// SPDX-License-Identifier: GPL-3.0-or-later
// The phrase group: its buttons and captions, and the load and save
// dialogs.
#include <fcntl.h>
#include <unistd.h>

#include <QLineEdit>

#include "AppTestSupport.h"
#include "app/PhraseDialogs.h"

namespace sorvane::test {
namespace {

TEST(PhraseGroup, ButtonsAndCaptionsFollowPhraseMode) {
  Window w(QLocale::Japanese);
  MainWindow& f = *w;
  Find<QCheckBox>(f, "phraseOn")->click();
  EXPECT_TRUE(Find<QToolButton>(f, "phraseRecord")->isEnabled());
  EXPECT_TRUE(Find<QPushButton>(f, "phraseLoad")->isEnabled());
  EXPECT_TRUE(Find<QPushButton>(f, "phraseSave")->isEnabled());
  EXPECT_EQ(w.Engine().Phrase.PhraseMode, kPhraseReplay);
  Find<QToolButton>(f, "phraseRecord")->click();
  EXPECT_EQ(Find<QToolButton>(f, "phraseRecord")->text(), U("SAY"));
  EXPECT_FALSE(Find<QPushButton>(f, "phraseLoad")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>(f, "phraseSave")->isEnabled());
  EXPECT_EQ(w.Engine().Phrase.PhraseMode, kPhraseCapture);
  Find<QCheckBox>(f, "phraseOn")->click();
  EXPECT_EQ(Find<QToolButton>(f, "phraseRecord")->text(), U("録音"));
  EXPECT_FALSE(Find<QToolButton>(f, "phraseRecord")->isEnabled());
  EXPECT_EQ(w.Engine().Phrase.PhraseMode, kPhraseOff);
}

TEST(PhraseDialogs, TitlesFiltersExtensionAndOverwritePrompt) {
  QFileDialog load, save;
  PrepareLoadDialog(load, false);
  EXPECT_EQ(load.windowTitle(), U("Load Wave File"));
  EXPECT_EQ(load.nameFilters(), QStringList{U("Wave File (*.wav)")});
  EXPECT_EQ(load.acceptMode(), QFileDialog::AcceptOpen);
  PrepareLoadDialog(load, true);
  EXPECT_EQ(load.windowTitle(), U("Waveファイルの読み込み"));
  EXPECT_EQ(load.nameFilters(), QStringList{U("Waveﾌｧｲﾙ (*.wav)")});
  save.setOption(QFileDialog::DontConfirmOverwrite);
  PrepareSaveDialog(save, false);
  EXPECT_EQ(save.windowTitle(), U("Save Wave File"));
  EXPECT_EQ(save.nameFilters(), QStringList{U("Wave File (*.wav)")});
  EXPECT_EQ(save.defaultSuffix(), U("wav"));
  EXPECT_EQ(save.acceptMode(), QFileDialog::AcceptSave);
  EXPECT_FALSE(save.testOption(QFileDialog::DontConfirmOverwrite));
  PrepareSaveDialog(save, true);
  EXPECT_EQ(save.windowTitle(), U("Waveファイルの保存"));
  EXPECT_EQ(save.defaultSuffix(), U("wav"));
}

TEST(PhraseDialogs, SaveThenLoadThroughTheDialogsAndRememberTheFolder) {
  QtTempDir dir;
  QtTempDir elsewhere;
  Window w;
  MainWindow& f = *w;
  QString answer;
  QStringList titles;
  QStringList startDirs;
  f.SetFileChooser([&](QFileDialog& d) {
    titles << d.windowTitle();
    startDirs << QDir(d.directory()).absolutePath();
    if (answer.isEmpty()) d.setDirectory(elsewhere.path());  // browsed away, then cancelled
    return answer;
  });
  Find<QCheckBox>(f, "phraseOn")->click();
  for (int i = 0; i < kPhraseFileSamples; ++i) w.Engine().Store.PhraseSamples[i] = static_cast<int16_t>(i % 1000);
  answer = QDir(dir.path()).filePath(QStringLiteral("phrase"));  // typed without an extension
  Find<QPushButton>(f, "phraseSave")->click();
  const QString saved = answer + QStringLiteral(".wav");
  ASSERT_TRUE(QFile::exists(saved));
  EXPECT_EQ(QFileInfo(saved).size(), 44 + 132300);

  w.Engine().Store.PhraseSamples.fill(0);
  answer = saved;
  Find<QPushButton>(f, "phraseLoad")->click();
  EXPECT_EQ(w.Engine().Store.PhraseSamples[999], 999);
  EXPECT_EQ(w.Engine().Store.PhraseSamples[66149], 66149 % 1000);

  // Both start in the user's music folder (or home), then in the folder of
  // the file last chosen, also after the user browsed elsewhere and
  // cancelled.
  answer = QString();
  Find<QPushButton>(f, "phraseSave")->click();
  Find<QPushButton>(f, "phraseLoad")->click();
  Find<QPushButton>(f, "phraseSave")->click();
  Find<QPushButton>(f, "phraseLoad")->click();
  const QString first = QDir(DialogStartDirectory()).absolutePath();
  const QString chosenDir = QDir(dir.path()).absolutePath();
  EXPECT_EQ(startDirs, (QStringList{first, first, chosenDir, chosenDir, chosenDir, chosenDir}));
  EXPECT_EQ(titles.mid(0, 2), (QStringList{U("Save Wave File"), U("Load Wave File")}));
  EXPECT_TRUE(w.Errors.Texts.empty());
}

TEST(PhraseDialogs, FirstFolderIsMusicWhenItExistsElseHome) {
  QtTempDir music, home;
  EXPECT_EQ(DialogStartDirectory(music.path(), home.path()), music.path());
  EXPECT_EQ(DialogStartDirectory(music.path() + QStringLiteral("/missing"), home.path()), home.path());
  EXPECT_EQ(DialogStartDirectory(QString(), home.path()), home.path());
}

// A file is replaced only after the user said yes, whether the name came
// back from the dialog complete or without its extension.
TEST(PhraseDialogs, AnExistingFileIsNeverReplacedWithoutThePrompt) {
  QtTempDir dir;
  const QString typed = QDir(dir.path()).filePath(QStringLiteral("phrase"));
  const QString existing = typed + QStringLiteral(".wav");
  WriteTextFile(existing, "keep me");
  Window w;
  Find<QCheckBox>(*w, "phraseOn")->click();
  int prompts = 0;
  const auto answerPrompt = [&prompts](QMessageBox::StandardButton button) {
    OnNextModal<QMessageBox>([&prompts, button](QMessageBox* box) {
      ++prompts;
      EXPECT_NE(box->text().indexOf(QStringLiteral("phrase.wav")), -1) << box->text().toStdString();
      box->button(button)->click();
    });
  };

  // Through the dialog itself: the name is typed without the extension,
  // and the answer is no, whichever side asks.
  OnNextModal<QFileDialog>([&](QFileDialog* d) {
    EXPECT_TRUE(d->testOption(QFileDialog::DontUseNativeDialog));
    d->setDirectory(dir.path());
    auto* name = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    QTest::keyClicks(name, QStringLiteral("phrase"));
    answerPrompt(QMessageBox::No);
    QMetaObject::invokeMethod(d, "accept");  // as the Save button does
    if (d->isVisible()) d->reject();         // the dialog asked and was refused
  });
  w->onPhraseSaveClicked();
  EXPECT_EQ(prompts, 1);
  EXPECT_EQ(QFileInfo(existing).size(), 7);

  // The chooser hands back the name as typed; the completed name exists.
  w->SetFileChooser([&](QFileDialog&) { return typed; });
  answerPrompt(QMessageBox::No);
  Find<QPushButton>(*w, "phraseSave")->click();
  EXPECT_EQ(prompts, 2);
  EXPECT_EQ(QFileInfo(existing).size(), 7);
  answerPrompt(QMessageBox::Yes);
  Find<QPushButton>(*w, "phraseSave")->click();
  EXPECT_EQ(prompts, 3);
  EXPECT_EQ(QFileInfo(existing).size(), 44 + 132300);

  EXPECT_TRUE(w.Errors.Texts.empty());
}

TEST(PhraseDialogs, UnreadableFileShowsTheWaveErrorAndKeepsThePhrase) {
  QtTempDir dir;
  Window w;
  Find<QCheckBox>(*w, "phraseOn")->click();
  w.Engine().Store.PhraseSamples[10] = 1234;
  const QString bad = QDir(dir.path()).filePath(QStringLiteral("bad.wav"));
  WriteTextFile(bad, "not a wave file at all");
  w->SetFileChooser([&](QFileDialog&) { return bad; });
  Find<QPushButton>(*w, "phraseLoad")->click();
  ASSERT_EQ(w.Errors.Texts.size(), 1u);
  EXPECT_EQ(w.Errors.Captions[0], "エラー");
  EXPECT_EQ(w.Engine().Store.PhraseSamples[10], 1234);
  EXPECT_EQ(w.Engine().Phrase.PhraseMode, kPhraseReplay);
}

TEST(PhraseDialogs, CancelledLoadStillLeavesReplayMode) {
  Window w;
  Find<QCheckBox>(*w, "phraseOn")->click();
  Find<QToolButton>(*w, "phraseRecord")->click();
  ASSERT_EQ(w.Engine().Phrase.PhraseMode, kPhraseCapture);
  OnNextModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
  w->onPhraseLoadClicked();
  EXPECT_EQ(w.Engine().Phrase.PhraseMode, kPhraseReplay);
}

}  // namespace
}  // namespace sorvane::test

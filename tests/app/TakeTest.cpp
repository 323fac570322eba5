// SPDX-License-Identifier: GPL-3.0-or-later
// The take button: its caption and glyph, a failed write, the folder a
// take goes to.
#include <fcntl.h>
#include <unistd.h>

#include <QStandardPaths>

#include "AppTestSupport.h"
#include "app/Glyphs.h"
#include "tests/support/RecordedBoxes.h"
#include "wavfile/ErrorBox.h"

namespace sorvane::test {
namespace {

TEST(TakeButton, CaptionAndGlyphFollowTheTake) {
  for (QLocale::Language language : {QLocale::English, QLocale::Japanese}) {
    Window w(language);
    const QString rec = language == QLocale::English ? U("Rec") : U("録音");
    const QString stop = language == QLocale::English ? U("Stop") : U("中止");
    const auto glyph = [&w]() {
      const QPixmap icon = Find<QToolButton>(*w, "take")->icon().pixmap(kGlyphSize, kGlyphSize);
      return icon.toImage().convertToFormat(QImage::Format_ARGB32);
    };
    EXPECT_EQ(Find<QToolButton>(*w, "take")->text(), rec);
    EXPECT_EQ(glyph(), w->RecordGlyph());
    const QDir takeDir(TakeDirectory());
    const QStringList before = takeDir.entryList({QStringLiteral("*.wav")});
    Find<QToolButton>(*w, "take")->click();
    EXPECT_TRUE(w.Engine().Take.Recording);
    EXPECT_EQ(Find<QToolButton>(*w, "take")->text(), stop);
    EXPECT_EQ(glyph(), w->StopGlyph());
    Find<QToolButton>(*w, "take")->click();
    EXPECT_FALSE(w.Engine().Take.Recording);
    EXPECT_EQ(Find<QToolButton>(*w, "take")->text(), rec);
    EXPECT_EQ(glyph(), w->RecordGlyph());
    // The take went to the music folder (the tests' own); tidy it away.
    for (const QString& name : takeDir.entryList({QStringLiteral("*.wav")})) {
      if (!before.contains(name)) {
        EXPECT_TRUE(QFile::remove(takeDir.filePath(name)));
      }
    }
  }
}

TEST(TakeButton, AFailedWriteIsReportedOnlyOnceItsBlockIsDone) {
  // The error box runs a nested event loop in which device events go on
  // being handled; they must find the failed block finished, its buffer
  // queued and the ring moved on.
  QtTempDir dir;
  Window w;
  ToggleTake(w.Engine(), QFile::encodeName(dir.path()).constData());
  ASSERT_TRUE(w.Engine().Take.Recording);
  w.CaptureBlock();
  // The take's descriptor becomes a read-only one: the next write fails.
  const int readOnly = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(readOnly, 0);
  ASSERT_GE(::dup2(readOnly, w.Engine().Take.TakeFile.Fd), 0);
  ::close(readOnly);
  struct Nested {
    Window* W;
    std::vector<std::string> Texts;
  } nested{&w, {}};
  SetErrorBoxHandler(
      [](void* self, const char*, const char* text) {
        auto* n = static_cast<Nested*>(self);
        n->Texts.emplace_back(text);
        n->W->CaptureBlock();  // a device event while the box is open
      },
      &nested);
  w.CaptureBlock();
  SetErrorBoxHandler(nullptr, nullptr);
  EXPECT_EQ(nested.Texts, std::vector<std::string>{"dataチャンク書き込みエラー (mmioWrite)"});
  EXPECT_FALSE(w.Engine().Take.Recording);
  EXPECT_EQ(Find<QToolButton>(*w, "take")->text(), U("Rec"));
  const std::vector<WaveHeader*> queued = w.Backend->PlaybackDevice.Queued();
  ASSERT_EQ(queued.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(queued[static_cast<size_t>(i)], &w.Engine().Ring.PlaybackHeaders[i]) << i;
}

TEST(TakeButton, ATakeWhoseFolderIsDeletedIsReportedLostInTheWindowAndOnStderr) {
  // Deleted a second or more before the take ends: noticed while it runs.
  // Deleted just before the Stop button: noticed when it ends.
  for (const bool stoppedAtOnce : {false, true}) {
    for (QLocale::Language language : {QLocale::English, QLocale::Japanese}) {
      SCOPED_TRACE(stoppedAtOnce ? "stopped at once" : "running on");
      QtTempDir dir;
      const QString music = dir.path() + QStringLiteral("/Music");
      ASSERT_TRUE(QDir().mkpath(music));
      Window w(language);
      ToggleTake(w.Engine(), QFile::encodeName(music).constData());
      ASSERT_TRUE(w.Engine().Take.Recording);
      const std::string name = w.Engine().Take.FileName;
      w.CaptureBlock();
      ASSERT_TRUE(QDir(music).removeRecursively());
      RecordedBoxes boxes("エラー");
      testing::internal::CaptureStderr();
      if (stoppedAtOnce) {
        Find<QToolButton>(*w, "take")->click();
      } else {
        // The next block is one after which the sizes are brought up to date.
        w.Engine().Take.TakeBlocks = kTakeSizeUpdateBlocks - 1;
        w.CaptureBlock();
      }
      const std::string err = testing::internal::GetCapturedStderr();
      EXPECT_FALSE(w.Engine().Take.Recording);
      EXPECT_EQ(Find<QToolButton>(*w, "take")->text(), language == QLocale::English ? U("Rec") : U("録音"));
      ASSERT_EQ(boxes.Texts.size(), 1u);
      EXPECT_NE(boxes.Texts[0].find(name), std::string::npos) << boxes.Texts[0];
      EXPECT_NE(boxes.Texts[0].find(language == QLocale::English ? "is lost" : "録音は失われました"), std::string::npos)
          << boxes.Texts[0];
      EXPECT_NE(err.find("the take " + name + " is lost"), std::string::npos) << err;
    }
  }
}

TEST(TakeDirectory, MusicFolderMadeWhenMissingElseHomeElseCurrentFolder) {
  QtTempDir music, home, current;
  const QString cwd = current.path();
  const auto folder = [&cwd](const QString& m, const QString& h) {
    const TakeFolder f = ChooseTakeFolder(m, h, cwd);
    return std::make_pair(f.Path, f.InMusicFolder);
  };
  EXPECT_EQ(folder(music.path(), home.path()), std::make_pair(music.path(), true));
  const QString missing = music.path() + QStringLiteral("/Music");
  EXPECT_EQ(folder(missing, home.path()), std::make_pair(missing, true));
  EXPECT_TRUE(QFileInfo(missing).isDir());
  EXPECT_EQ(folder(QString(), home.path()), std::make_pair(home.path(), false));
  // A file where the folder should be: it stays, and takes go home.
  const QFile plain(music.path() + QStringLiteral("/plain"));
  WriteTextFile(plain.fileName(), "");
  EXPECT_EQ(folder(plain.fileName(), home.path()), std::make_pair(home.path(), false));
  EXPECT_TRUE(QFileInfo(plain.fileName()).isFile());
  // No home folder, or one that is no folder: the current folder.
  EXPECT_EQ(folder(QString(), QString()), std::make_pair(cwd, false));
  EXPECT_EQ(folder(plain.fileName(), plain.fileName()), std::make_pair(cwd, false));
  EXPECT_TRUE(TakeFolderNotice({music.path(), true}, music.path(), false).isEmpty());
  EXPECT_TRUE(TakeFolderNotice({cwd, false}, plain.fileName(), true).contains(cwd));

  // The running program's: the user's music folder...
  EXPECT_EQ(TakeDirectory(), QStandardPaths::writableLocation(QStandardPaths::MusicLocation));
  // ...also when the environment names it, which Qt alone does not read...
  {
    ScopedEnv given("XDG_MUSIC_DIR", QFile::encodeName(music.path()).constData());
    EXPECT_EQ(TakeDirectory(), music.path());
  }
  // ...and without HOME (a service with no login) the current folder, not /Music.
  ScopedEnv noHome("HOME", nullptr);
  ScopedEnv noMusic("XDG_MUSIC_DIR", nullptr);
  const QString before = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(cwd));
  const TakeFolder chosen = ChooseTakeFolder();
  QDir::setCurrent(before);
  EXPECT_EQ(chosen.Path, QDir(cwd).canonicalPath());
  EXPECT_FALSE(chosen.InMusicFolder);
  EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/Music")));
}

TEST(TakeButton, TakeOutsideTheMusicFolderIsNamedInTheWindowOncePerFolder) {
  QtTempDir home;
  const QString plain = home.filePath(QStringLiteral("plain"));
  WriteTextFile(plain, "");
  ScopedEnv homeEnv("HOME", QFile::encodeName(home.path()).constData());
  ScopedEnv musicEnv("XDG_MUSIC_DIR", QFile::encodeName(plain).constData());
  Window w;
  const auto notices = [&w] {
    QStringList texts;
    for (QMessageBox* box : w->findChildren<QMessageBox*>()) {
      if (box->isVisible() && !box->isModal()) texts << box->text();
    }
    return texts;
  };
  for (int take = 0; take < 2; ++take) {
    Find<QToolButton>(*w, "take")->click();
    ASSERT_TRUE(w.Engine().Take.Recording);
    Find<QToolButton>(*w, "take")->click();
  }
  const QStringList shown = notices();
  ASSERT_EQ(shown.size(), 1);
  EXPECT_TRUE(shown[0].contains(plain) && shown[0].contains(home.path())) << shown[0].toStdString();
  EXPECT_EQ(QDir(home.path()).entryList({QStringLiteral("*.wav")}).size(), 2);
  EXPECT_TRUE(w.Errors.Texts.empty());
}

}  // namespace
}  // namespace sorvane::test

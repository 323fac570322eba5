// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up with and without sound, the close handshake (also on a
// termination signal), error boxes, the About dialog, the take button, the
// phrase group and its dialogs, and the desktop services: glyphs, take
// directory, mixer launch, single instance.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <utility>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QElapsedTimer>
#include <QTimer>
#include <QToolButton>

#include "AppTestSupport.h"
#include "app/AboutBox.h"
#include "app/Glyphs.h"
#include "app/PhraseDialogs.h"
#include "app/Platform.h"
#include "app/SignalWatcher.h"
#include "app/SingleInstance.h"
#include "keyboard/widgets/ColorButton.h"
#include "wavfile/ErrorBox.h"

namespace sorvane::test {
namespace {

QString U(const char* s) { return QString::fromUtf8(s); }

// Runs action on the next modal dialog that opens, once it is showing.
template <typename Dialog, typename Action>
void OnNextModal(Action action) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, action]() {
    if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      action(dialog);
    }
  });
  timer->start();
}

TEST(StartUp, OpensBothDevicesQueuesTheRingAndStartsTheTimer) {
  Window w;
  EXPECT_TRUE(w.Errors.Texts.empty());
  EXPECT_TRUE(w.Backend->CaptureDevice.Opened);
  EXPECT_TRUE(w.Backend->PlaybackDevice.Opened);
  EXPECT_TRUE(w.Backend->CaptureDevice.Started);
  EXPECT_EQ(w.Backend->CaptureDevice.Queued().size(), static_cast<size_t>(kRingSize));
  EXPECT_EQ(w->Timer1->interval(), 250);
}

TEST(StartUp, WithoutSoundTheErrorIsShownAndTheWindowStillWorksAndClosesAtOnce) {
  Window silent(QLocale::English, std::make_unique<NoSoundBackend>());
  ASSERT_EQ(silent.Errors.Texts.size(), 1u);
  EXPECT_EQ(silent.Errors.Captions[0], "Sorvane ERROR!");
  EXPECT_EQ(silent.Errors.Texts[0], "Problem creating record handle");
  EXPECT_FALSE(silent->Timer1->isActive());
  KeyNoteOn(silent.Engine(), 4);
  EXPECT_EQ(silent->KeyButtons[4]->Color(), QColor(255, 0, 0));
  silent->show();
  EXPECT_TRUE(silent->close());
  EXPECT_FALSE(silent->isVisible());
}

TEST(StartUp, JapaneseDeviceErrorCaption) {
  Window silent(QLocale::Japanese, std::make_unique<NoSoundBackend>());
  ASSERT_EQ(silent.Errors.Texts.size(), 1u);
  EXPECT_EQ(silent.Errors.Captions[0], "Sorvane エラー");
}

TEST(Closing, RefusedWhileBuffersAreOutThenClosedByTheLastOneBack) {
  Window w;
  FakeDevice& capture = w.Backend->CaptureDevice;
  FakeDevice& playback = w.Backend->PlaybackDevice;
  for (int i = 0; i < 3; ++i) w.CaptureBlock();
  ASSERT_EQ(playback.Queued().size(), 3u);
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w.Form.get()));

  EXPECT_FALSE(w->close());
  EXPECT_TRUE(w->isVisible());
  EXPECT_TRUE(w.Engine().Closing);
  EXPECT_EQ(capture.Resets, 1);
  EXPECT_EQ(playback.Resets, 1);
  ASSERT_EQ(capture.Returned.size(), static_cast<size_t>(kRingSize));
  ASSERT_EQ(playback.Returned.size(), 3u);

  // The buffers come back; a second request meanwhile is refused again.
  for (int i = 0; i < 50; ++i) {
    OnCaptureDone(w.Engine(), *capture.Returned.front());
    capture.Returned.pop_front();
  }
  EXPECT_FALSE(w->close());
  EXPECT_TRUE(w->isVisible());
  while (!capture.Returned.empty()) {
    OnCaptureDone(w.Engine(), *capture.Returned.front());
    capture.Returned.pop_front();
  }
  EXPECT_TRUE(w->isVisible());
  while (!playback.Returned.empty()) {
    OnPlaybackDone(w.Engine(), *playback.Returned.front());
    playback.Returned.pop_front();
  }
  EXPECT_FALSE(w->isVisible());
  EXPECT_FALSE(capture.Opened);
  EXPECT_FALSE(playback.Opened);
  EXPECT_TRUE(w.Errors.Texts.empty());
}

// Hands every buffer the devices hold back, capture first, as a reset does.
void HandEverythingBack(Window& w) {
  while (!w.Backend->CaptureDevice.Returned.empty()) {
    OnCaptureDone(w.Engine(), *w.Backend->CaptureDevice.Returned.front());
    w.Backend->CaptureDevice.Returned.pop_front();
  }
  while (!w.Backend->PlaybackDevice.Returned.empty()) {
    OnPlaybackDone(w.Engine(), *w.Backend->PlaybackDevice.Returned.front());
    w.Backend->PlaybackDevice.Returned.pop_front();
  }
}

// The one take in directory is complete: its data size is what was played,
// and the file ends where the data chunk does.
void ExpectOneCompleteTake(const QString& directory, uint32_t playedBytes) {
  const QStringList takes = QDir(directory).entryList({QStringLiteral("*.wav")});
  ASSERT_EQ(takes.size(), 1);
  QFile file(QDir(directory).filePath(takes[0]));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray bytes = file.readAll();
  ASSERT_GE(bytes.size(), 46);
  const auto le32 = [&bytes](int at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) | static_cast<uint8_t>(bytes[at + 1]) << 8 |
           static_cast<uint8_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
  };
  EXPECT_EQ(le32(42), playedBytes);
  EXPECT_EQ(le32(4), 38 + playedBytes);
  EXPECT_EQ(bytes.size(), 46 + static_cast<int>(playedBytes));
}

TEST(Closing, ARunningTakeIsCompletedBeforeTheDevicesClose) {
  QTemporaryDir dir;
  Window w;
  w->show();
  ToggleTake(w.Engine(), QFile::encodeName(dir.path()).constData());
  ASSERT_TRUE(w.Engine().Take.Recording);
  for (int i = 0; i < 5; ++i) w.CaptureBlock();
  // Close at once: hand everything back.
  w->close();
  HandEverythingBack(w);
  EXPECT_FALSE(w->isVisible());
  EXPECT_FALSE(w.Engine().Take.Recording);
  ExpectOneCompleteTake(dir.path(), 5u * 220u * 2u);
}

volatile sig_atomic_t EarlierHandlerRan = 0;
extern "C" void EarlierHandler(int) { EarlierHandlerRan = 1; }

// The geometry of the window and of every widget in it.
std::vector<QRect> AllGeometry(QWidget& window) {
  std::vector<QRect> rects{window.geometry()};
  for (QWidget* child : window.findChildren<QWidget*>()) rects.push_back(child->geometry());
  return rects;
}

// The sound server goes away during a take and comes back on the second
// try: the window says so without moving a pixel or changing its caption,
// one stderr line each way, and the take goes on.
TEST(ServerLost, ShownWithoutGeometryOrCaptionChangeAndGoneWhenTheSoundIsBack) {
  QTemporaryDir dir;
  Window w;
  w->ServerWatch->stop();  // ticked by hand
  FakeDevice& capture = w.Backend->CaptureDevice;
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w.Form.get()));
  ToggleTake(w.Engine(), QFile::encodeName(dir.path()).constData());
  for (int i = 0; i < 3; ++i) w.CaptureBlock();
  const std::vector<QRect> before = AllGeometry(*w);

  testing::internal::CaptureStderr();
  w->ServerWatchTimer();  // the server is still there
  w.Backend->Lost = true;
  w->ServerWatchTimer();
  EXPECT_TRUE(w.Engine().Suspended);
  EXPECT_EQ(capture.Resets, 1);
  EXPECT_FALSE(w->btnInput->isEnabled());
  EXPECT_FALSE(w->btnOutput->isEnabled());
  EXPECT_EQ(w->btnOutput->toolTip(), QStringLiteral("The sound server has gone away; trying again every second."));
  // No reconnection while the old devices still hold buffers.
  w->ServerWatchTimer();
  EXPECT_EQ(w.Backend->Reconnects, 0);
  HandEverythingBack(w);
  EXPECT_FALSE(capture.Opened);
  w->ServerWatchTimer();  // refused
  EXPECT_EQ(w.Backend->Reconnects, 1);
  EXPECT_TRUE(w->btnInput->toolTip().contains(QStringLiteral("connection refused")));
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(w->windowTitle(), QStringLiteral("Sorvane"));
  EXPECT_EQ(AllGeometry(*w), before);
  // Keys still light while the sound is gone.
  KeyNoteOn(w.Engine(), 4);
  EXPECT_EQ(w->KeyButtons[4]->Color(), QColor(255, 0, 0));
  KeyNoteOff(w.Engine(), 4);

  w.Backend->ServerBack = true;
  w->ServerWatchTimer();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "sorvane: the sound server went away; trying again every second\n"
            "sorvane: the sound server is back; the sound goes on\n");
  EXPECT_FALSE(w.Engine().Suspended);
  EXPECT_TRUE(capture.Started);
  EXPECT_EQ(capture.Queued().size(), static_cast<size_t>(kRingSize));
  EXPECT_TRUE(w->btnInput->isEnabled());
  EXPECT_TRUE(w->btnOutput->isEnabled());
  EXPECT_TRUE(w->btnOutput->toolTip().isEmpty());
  EXPECT_EQ(AllGeometry(*w), before);
  for (int i = 0; i < 2; ++i) w.CaptureBlock();
  w->close();
  HandEverythingBack(w);
  EXPECT_FALSE(w->isVisible());
  // One take: the three blocks before the gap and the two after it.
  ExpectOneCompleteTake(dir.path(), 5u * 220u * 2u);
  EXPECT_TRUE(w.Errors.Texts.empty());
}

TEST(Closing, TerminationSignalsMakeTheCloseRequestOnTheEventThread) {
  constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
  struct sigaction original[3] {};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(::sigaction(kSignals[i], nullptr, &original[i]), 0);
  const auto set = [](int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
  };
  set(SIGTERM, SIG_DFL);
  set(SIGINT, SIG_DFL);
  // A handler that was there before the watcher is there again after it.
  set(SIGHUP, &EarlierHandler);
  for (const int signal : kSignals) {
    SCOPED_TRACE(signal);
    QTemporaryDir dir;
    Window w;
    SignalWatcher watcher;
    ASSERT_TRUE(watcher.IsActive());
    QObject::connect(&watcher, &SignalWatcher::TerminationRequested, w.Form.get(), &QWidget::close);
    w->show();
    ToggleTake(w.Engine(), QFile::encodeName(dir.path()).constData());
    for (int i = 0; i < 5; ++i) w.CaptureBlock();
    ASSERT_EQ(::raise(signal), 0);
    // The handler itself does nothing but queue the request.
    EXPECT_FALSE(w.Engine().Closing);
    for (int i = 0; i < 200 && !w.Engine().Closing; ++i) QTest::qWait(10);
    ASSERT_TRUE(w.Engine().Closing);
    // Refused while the buffers are out, as the Exit button is; the last one
    // back completes the close and the take.
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w.Engine().Take.Recording);
    HandEverythingBack(w);
    EXPECT_FALSE(w->isVisible());
    EXPECT_FALSE(w.Engine().Take.Recording);
    ExpectOneCompleteTake(dir.path(), 5u * 220u * 2u);
  }
  ASSERT_EQ(::raise(SIGHUP), 0);
  EXPECT_EQ(EarlierHandlerRan, 1);
  // A signal ignored from the start (nohup, a background job) stays ignored.
  set(SIGHUP, SIG_IGN);
  {
    SignalWatcher watcher;
    struct sigaction now {};
    ::sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
  }
  for (int i = 0; i < 3; ++i) ::sigaction(kSignals[i], &original[i], nullptr);
}

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
    w->btnAbout->click();
    w->btnAbout->click();
    EXPECT_TRUE(about.isVisible());
    EXPECT_FALSE(about.isModal());
    int shown = 0;
    for (QWidget* top : QApplication::topLevelWidgets())
      if (qobject_cast<TAboutBox*>(top) && top->isVisible()) ++shown;
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(about.size(), QSize(311, 280));
    EXPECT_EQ(about.Panel1->geometry(), QRect(8, 8, 297, 225));
    // The panel's bevels: lowered outside (dark at the top left, light at
    // the bottom right), raised inside (the other way round).
    const QImage shot = about.grab().toImage();
    const QRgb dark = about.Panel1->palette().color(QPalette::Dark).rgb();
    const QRgb light = about.Panel1->palette().color(QPalette::Light).rgb();
    ASSERT_NE(dark, light);
    EXPECT_EQ(shot.pixel(8, 8), dark);
    EXPECT_EQ(shot.pixel(304, 232), light);
    EXPECT_EQ(shot.pixel(9, 9), light);
    EXPECT_EQ(shot.pixel(303, 231), dark);
    EXPECT_EQ(about.OKButton->geometry(), QRect(119, 244, 75, 25));
    EXPECT_TRUE(about.OKButton->isDefault());
    EXPECT_EQ(about.ProgramIcon->geometry(), QRect(24, 16, 33, 33));
    EXPECT_EQ(about.ProductName->pos(), QPoint(64, 24));
    EXPECT_EQ(about.LabelWarning1->pos(), QPoint(24, 136));
    EXPECT_EQ(about.ProductName->text(), U("Sorvane V0.9"));
    if (language == QLocale::English) {
      EXPECT_EQ(about.windowTitle(), U("Version Information"));
      EXPECT_EQ(about.LabelWarning1->text(), U("**** WARNING! ****"));
      EXPECT_TRUE(about.LabelWarning4->text().isEmpty());
    } else {
      EXPECT_EQ(about.windowTitle(), U("バージョン情報"));
      EXPECT_EQ(about.LabelWarning1->text(), U("＜注意＞"));
    }
    about.OKButton->click();
    EXPECT_FALSE(about.isVisible());
    EXPECT_TRUE(w->isVisible());
    // Also when shown modally, OK ends it.
    QTimer::singleShot(0, about.OKButton, &QPushButton::click);
    EXPECT_EQ(about.exec(), QDialog::Accepted);
  }
}

TEST(TakeButton, CaptionAndGlyphFollowTheTake) {
  for (QLocale::Language language : {QLocale::English, QLocale::Japanese}) {
    Window w(language);
    const QString rec = language == QLocale::English ? U("Rec") : U("録音");
    const QString stop = language == QLocale::English ? U("Stop") : U("中止");
    const auto glyph = [&w]() { return w->btnRecord->icon().pixmap(kGlyphSize, kGlyphSize).toImage().convertToFormat(QImage::Format_ARGB32); };
    EXPECT_EQ(w->btnRecord->text(), rec);
    EXPECT_EQ(glyph(), w->RecordGlyph());
    const QDir takeDir(TakeDirectory());
    const QStringList before = takeDir.entryList({QStringLiteral("*.wav")});
    w->btnRecord->click();
    EXPECT_TRUE(w.Engine().Take.Recording);
    EXPECT_EQ(w->btnRecord->text(), stop);
    EXPECT_EQ(glyph(), w->StopGlyph());
    w->btnRecord->click();
    EXPECT_FALSE(w.Engine().Take.Recording);
    EXPECT_EQ(w->btnRecord->text(), rec);
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
  QTemporaryDir dir;
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
  EXPECT_EQ(w->btnRecord->text(), U("Rec"));
  const std::vector<WaveHeader*> queued = w.Backend->PlaybackDevice.Queued();
  ASSERT_EQ(queued.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(queued[static_cast<size_t>(i)], &w.Engine().Ring.PlaybackHeaders[i]) << i;
}

TEST(PhraseGroup, ButtonsAndCaptionsFollowPhraseMode) {
  Window w(QLocale::Japanese);
  TForm1& f = *w;
  f.chkPhraseOn->click();
  EXPECT_TRUE(f.btnPhraseRec->isEnabled());
  EXPECT_TRUE(f.btnPhraseLoad->isEnabled());
  EXPECT_TRUE(f.btnPhraseSave->isEnabled());
  EXPECT_EQ(w.Engine().Phrase.PhraseMode, kPhraseReplay);
  f.btnPhraseRec->click();
  EXPECT_EQ(f.btnPhraseRec->text(), U("SAY"));
  EXPECT_FALSE(f.btnPhraseLoad->isEnabled());
  EXPECT_FALSE(f.btnPhraseSave->isEnabled());
  EXPECT_EQ(w.Engine().Phrase.PhraseMode, kPhraseCapture);
  f.chkPhraseOn->click();
  EXPECT_EQ(f.btnPhraseRec->text(), U("録音"));
  EXPECT_FALSE(f.btnPhraseRec->isEnabled());
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
  QTemporaryDir dir;
  QTemporaryDir elsewhere;
  Window w;
  TForm1& f = *w;
  QString answer;
  QStringList titles;
  QStringList startDirs;
  f.SetFileChooser([&](QFileDialog& d) {
    titles << d.windowTitle();
    startDirs << QDir(d.directory()).absolutePath();
    if (answer.isEmpty()) d.setDirectory(elsewhere.path());  // browsed away, then cancelled
    return answer;
  });
  f.chkPhraseOn->click();
  for (int i = 0; i < kPhraseFileSamples; ++i) w.Engine().Store.PhraseSamples[i] = static_cast<int16_t>(i % 1000);
  answer = QDir(dir.path()).filePath(QStringLiteral("phrase"));  // typed without an extension
  f.btnPhraseSave->click();
  const QString saved = answer + QStringLiteral(".wav");
  ASSERT_TRUE(QFile::exists(saved));
  EXPECT_EQ(QFileInfo(saved).size(), 44 + 132300);

  w.Engine().Store.PhraseSamples.fill(0);
  answer = saved;
  f.btnPhraseLoad->click();
  EXPECT_EQ(w.Engine().Store.PhraseSamples[999], 999);
  EXPECT_EQ(w.Engine().Store.PhraseSamples[66149], 66149 % 1000);

  // Both start in the user's music folder (or home), then in the folder of
  // the file last chosen, also after the user browsed elsewhere and
  // cancelled.
  answer = QString();
  f.btnPhraseSave->click();
  f.btnPhraseLoad->click();
  f.btnPhraseSave->click();
  f.btnPhraseLoad->click();
  const QString first = QDir(DialogStartDirectory()).absolutePath();
  const QString chosenDir = QDir(dir.path()).absolutePath();
  EXPECT_EQ(startDirs, (QStringList{first, first, chosenDir, chosenDir, chosenDir, chosenDir}));
  EXPECT_EQ(titles.mid(0, 2), (QStringList{U("Save Wave File"), U("Load Wave File")}));
  EXPECT_TRUE(w.Errors.Texts.empty());
}

TEST(PhraseDialogs, FirstFolderIsMusicWhenItExistsElseHome) {
  QTemporaryDir music, home;
  EXPECT_EQ(DialogStartDirectory(music.path(), home.path()), music.path());
  EXPECT_EQ(DialogStartDirectory(music.path() + QStringLiteral("/missing"), home.path()), home.path());
  EXPECT_EQ(DialogStartDirectory(QString(), home.path()), home.path());
}

// A file is replaced only after the user said yes, whether the name came
// back from the dialog complete or without its extension.
TEST(PhraseDialogs, AnExistingFileIsNeverReplacedWithoutThePrompt) {
  QTemporaryDir dir;
  const QString typed = QDir(dir.path()).filePath(QStringLiteral("phrase"));
  const QString existing = typed + QStringLiteral(".wav");
  {
    QFile file(existing);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("keep me");
  }
  Window w;
  w->chkPhraseOn->click();
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
  w->btnPhraseSaveClick();
  EXPECT_EQ(prompts, 1);
  EXPECT_EQ(QFileInfo(existing).size(), 7);

  // The chooser hands back the name as typed; the completed name exists.
  w->SetFileChooser([&](QFileDialog&) { return typed; });
  answerPrompt(QMessageBox::No);
  w->btnPhraseSave->click();
  EXPECT_EQ(prompts, 2);
  EXPECT_EQ(QFileInfo(existing).size(), 7);
  answerPrompt(QMessageBox::Yes);
  w->btnPhraseSave->click();
  EXPECT_EQ(prompts, 3);
  EXPECT_EQ(QFileInfo(existing).size(), 44 + 132300);

  EXPECT_TRUE(w.Errors.Texts.empty());
}

TEST(PhraseDialogs, UnreadableFileShowsTheWaveErrorAndKeepsThePhrase) {
  QTemporaryDir dir;
  Window w;
  w->chkPhraseOn->click();
  w.Engine().Store.PhraseSamples[10] = 1234;
  const QString bad = QDir(dir.path()).filePath(QStringLiteral("bad.wav"));
  QFile file(bad);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("not a wave file at all");
  file.close();
  w->SetFileChooser([&](QFileDialog&) { return bad; });
  w->btnPhraseLoad->click();
  ASSERT_EQ(w.Errors.Texts.size(), 1u);
  EXPECT_EQ(w.Errors.Captions[0], "エラー");
  EXPECT_EQ(w.Engine().Store.PhraseSamples[10], 1234);
  EXPECT_EQ(w.Engine().Phrase.PhraseMode, kPhraseReplay);
}

TEST(PhraseDialogs, CancelledLoadStillLeavesReplayMode) {
  Window w;
  w->chkPhraseOn->click();
  w->btnPhraseRec->click();
  ASSERT_EQ(w.Engine().Phrase.PhraseMode, kPhraseCapture);
  OnNextModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
  w->btnPhraseLoadClick();
  EXPECT_EQ(w.Engine().Phrase.PhraseMode, kPhraseReplay);
}

TEST(Glyphs, DrawnFromTheirRowsWithTheBottomLeftColourTransparent) {
  const QImage rec = MakeGlyph(kRecordGlyph);
  const QImage stop = MakeGlyph(kStopGlyph);
  const QImage mic = MakeGlyph(kMicrophoneGlyph);
  const QImage speaker = MakeGlyph(kSpeakerGlyph);
  for (const QImage* g : {&rec, &stop, &mic, &speaker}) EXPECT_EQ(g->size(), QSize(12, 12));
  EXPECT_EQ(rec.pixelColor(0, 0).alpha(), 0);        // white is transparent here
  EXPECT_EQ(rec.pixelColor(5, 5), QColor(255, 0, 0));
  EXPECT_EQ(rec.pixelColor(11, 4), QColor(0, 0, 0));
  EXPECT_EQ(stop.pixelColor(1, 1), QColor(0, 0, 128));
  EXPECT_EQ(stop.pixelColor(4, 2), QColor(0, 0, 0));
  EXPECT_EQ(stop.pixelColor(4, 1).alpha(), 0);
  EXPECT_EQ(mic.pixelColor(0, 0).alpha(), 0);        // green is transparent here
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

// Sets an environment variable (or unsets it, given a null value) for the
// life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value)
      : Name(name), Old(qgetenv(name)), WasSet(qEnvironmentVariableIsSet(name)) {
    if (value != nullptr) {
      qputenv(name, value);
    } else {
      qunsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (WasSet) {
      qputenv(Name, Old);
    } else {
      qunsetenv(Name);
    }
  }

 private:
  const char* Name;
  QByteArray Old;
  bool WasSet;
};

TEST(TakeDirectory, MusicFolderMadeWhenMissingElseHomeElseCurrentFolder) {
  QTemporaryDir music, home, current;
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
  QFile plain(music.path() + QStringLiteral("/plain"));
  ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
  plain.close();
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
  QTemporaryDir home;
  const QString plain = home.filePath(QStringLiteral("plain"));
  QFile file(plain);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
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
    w->btnRecord->click();
    ASSERT_TRUE(w.Engine().Take.Recording);
    w->btnRecord->click();
  }
  const QStringList shown = notices();
  ASSERT_EQ(shown.size(), 1);
  EXPECT_TRUE(shown[0].contains(plain) && shown[0].contains(home.path())) << shown[0].toStdString();
  EXPECT_EQ(QDir(home.path()).entryList({QStringLiteral("*.wav")}).size(), 2);
  EXPECT_TRUE(w.Errors.Texts.empty());
}

TEST(VolumeControl, StartsTheMixerOnTheRightTabWithoutWaiting) {
  QTemporaryDir bin;
  const QString log = QDir(bin.path()).filePath(QStringLiteral("args.txt"));
  QFile script(QDir(bin.path()).filePath(QStringLiteral("pavucontrol")));
  ASSERT_TRUE(script.open(QIODevice::WriteOnly));
  script.write(QStringLiteral("#!/bin/sh\necho \"$@\" >> '%1'\nsleep 5\n").arg(log).toUtf8());
  script.close();
  script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  const QByteArray oldPath = qgetenv("PATH");
  qputenv("PATH", bin.path().toUtf8());
  QElapsedTimer timer;
  timer.start();
  EXPECT_TRUE(StartVolumeControl(true));
  EXPECT_TRUE(StartVolumeControl(false));
  EXPECT_LT(timer.elapsed(), 3000);  // did not wait for the mixer
  for (int i = 0; i < 200; ++i) {
    QFile f(log);
    if (f.open(QIODevice::ReadOnly) && f.readAll().count('\n') >= 2) break;
    QTest::qWait(10);
  }
  QFile f(log);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(f.readAll());
  EXPECT_TRUE(text.contains(U("--tab=4")));  // input devices
  EXPECT_TRUE(text.contains(U("--tab=3")));  // output devices
  // No mixer at all: nothing happens, and nothing is reported.
  qputenv("PATH", QByteArray("/nonexistent"));
  RecordedBoxes errors;
  EXPECT_FALSE(StartVolumeControl(true));
  EXPECT_TRUE(errors.Texts.empty());
  qputenv("PATH", oldPath);
}

TEST(SingleInstance, SecondStartAsksTheFirstToComeForward) {
  QTemporaryDir dir;
  SingleInstance first(dir.path());
  ASSERT_TRUE(first.Acquire());
  QWidget window;
  first.SetWindow(&window);
  QSignalSpy raised(&first, &SingleInstance::RaiseRequested);
  {
    SingleInstance second(dir.path());
    EXPECT_FALSE(second.Acquire());
  }
  EXPECT_TRUE(raised.wait(2000));
  EXPECT_TRUE(window.isVisible());
}

TEST(SingleInstance, ADeepRuntimeFolderStillBringsTheFirstForward) {
  QTemporaryDir base;
  const QString deep = QDir(base.path()).filePath(QString(60, QLatin1Char('d')) + QStringLiteral("/") +
                                                  QString(60, QLatin1Char('e')));
  ASSERT_TRUE(QDir().mkpath(deep));
  SingleInstance first(deep);
  ASSERT_TRUE(first.Acquire());
  QWidget window;
  first.SetWindow(&window);
  QSignalSpy raised(&first, &SingleInstance::RaiseRequested);
  {
    SingleInstance second(deep);
    EXPECT_FALSE(second.Acquire());
  }
  EXPECT_TRUE(raised.wait(2000));
}

TEST(SingleInstance, LockGoesWithItsOwnerAndAStaleSocketIsReplaced) {
  QTemporaryDir dir;
  {
    SingleInstance first(dir.path());
    ASSERT_TRUE(first.Acquire());
  }
  // A socket file left behind, as after a crash.
  QFile stale(QDir(dir.path()).filePath(QStringLiteral("sorvane.socket")));
  ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
  stale.close();
  SingleInstance again(dir.path());
  EXPECT_TRUE(again.Acquire());
  SingleInstance third(dir.path());
  QSignalSpy raised(&again, &SingleInstance::RaiseRequested);
  EXPECT_FALSE(third.Acquire());
  EXPECT_TRUE(raised.wait(2000));
}

// Once the first has begun to close, a second start (here on its own
// thread, as another process would be) neither brings the window back nor
// gives up: it waits and takes over when the first has gone.
TEST(SingleInstance, WhileTheFirstClosesASecondStartWaitsAndTakesOver) {
  QTemporaryDir dir;
  auto first = std::make_unique<SingleInstance>(dir.path());
  ASSERT_TRUE(first->Acquire());
  QWidget window;
  first->SetWindow(&window);
  QSignalSpy raised(first.get(), &SingleInstance::RaiseRequested);
  first->SetClosing();
  std::atomic<int> acquired{-1};
  std::thread second([&dir, &acquired] {
    SingleInstance instance(dir.path());
    acquired = instance.Acquire() ? 1 : 0;
  });
  QTest::qWait(700);
  EXPECT_EQ(acquired.load(), -1);
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(raised.count(), 0);
  first.reset();
  second.join();
  EXPECT_EQ(acquired.load(), 1);
}

}  // namespace
}  // namespace sorvane::test

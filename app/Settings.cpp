// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file: every value read with its range checked, the whole
// set written at once.
#include "app/Settings.h"

#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sorvane {

namespace {

constexpr const char* kControllerKeys[kMidiControlCount] = {
    "midi/controller_vibrato_depth", "midi/controller_vibrato_rate", "midi/controller_echo_level",
    "midi/controller_echo_delay",    "midi/controller_output_level", "midi/controller_bend_range",
    "midi/controller_glide_time"};

const char* SystemWord(SoundChoice choice) {
  switch (choice) {
    case SoundChoice::Pulse: return "pulse";
    case SoundChoice::Jack: return "jack";
    case SoundChoice::Automatic: break;
  }
  return "auto";
}

// Reads one file's values, each checked; a bad one keeps the start-up value
// and says so once.
class Reader {
 public:
  Reader(QSettings& settings, const QString& path) : Settings(settings), Path(path) {}

  void Number(const char* key, int32_t min, int32_t max, int32_t& value) {
    const QString text = Text(key);
    if (text.isNull()) return;
    bool ok = false;
    const int parsed = text.toInt(&ok);
    if (!ok || parsed < min || parsed > max) {
      Bad(key, text, QStringLiteral("a whole number from %1 to %2").arg(min).arg(max));
      return;
    }
    value = parsed;
  }
  void Switch(const char* key, bool& value) {
    const QString text = Text(key);
    if (text.isNull()) return;
    if (text == QLatin1String("true")) {
      value = true;
    } else if (text == QLatin1String("false")) {
      value = false;
    } else {
      Bad(key, text, QStringLiteral("true or false"));
    }
  }
  // One of the words; value becomes its index.
  template <typename T>
  void Word(const char* key, std::initializer_list<const char*> words, T& value) {
    const QString text = Text(key);
    if (text.isNull()) return;
    int index = 0;
    for (const char* word : words) {
      if (text == QLatin1String(word)) {
        value = static_cast<T>(index);
        return;
      }
      ++index;
    }
    QStringList names;
    for (const char* word : words) names << QString::fromLatin1(word);
    Bad(key, text, names.join(QStringLiteral(", ")));
  }
  void String(const char* key, QString& value) {
    const QVariant v = Settings.value(QLatin1String(key));
    if (v.isValid()) value = v.toString();
  }

 private:
  // The value as written, null when the key is not there.
  QString Text(const char* key) {
    const QVariant v = Settings.value(QLatin1String(key));
    if (!v.isValid()) return QString();
    return v.toString().trimmed();
  }
  void Bad(const char* key, const QString& text, const QString& expected) {
    std::fprintf(stderr, "sorvane: %s: %s is \"%s\", not %s; using its start-up value\n", qPrintable(Path), key,
                 qPrintable(text), qPrintable(expected));
  }

  QSettings& Settings;
  const QString& Path;
};

}  // namespace

std::array<int32_t, kMidiControlCount> Preferences::DefaultControllers() {
  MidiLearn learn{};
  ResetMidiLearn(learn);
  return learn.Controller;
}

AppSettings::AppSettings(const QString& path) : FilePath(path) {}

AppSettings::~AppSettings() = default;

QString AppSettings::DefaultPath() {
  // XDG_CONFIG_HOME counts only when it is an absolute path; a relative one
  // is ignored, as the XDG rules ask (QStandardPaths would take it as given
  // and write under the current folder).
  const QString given = qEnvironmentVariable("XDG_CONFIG_HOME");
  const QString config = QDir::isAbsolutePath(given) ? given : QDir::homePath() + QStringLiteral("/.config");
  return QDir(QDir::cleanPath(config)).filePath(QStringLiteral("sorvane/sorvane.conf"));
}

bool AppSettings::Load(PanelSettings& panel, Preferences& prefs) {
  panel = PanelSettings{};
  prefs = Preferences{};
  const QByteArray encoded = QFile::encodeName(FilePath);
  struct stat status {};
  if (::stat(encoded.constData(), &status) != 0 && errno == ELOOP) {
    // Writing anew would put a plain file in place of the user's link.
    std::fprintf(stderr,
                 "sorvane: %s: a symbolic link that loops; it is left as it is and the settings are not saved\n",
                 qPrintable(FilePath));
    SaveRefused = true;
    return false;
  }
  const QFileInfo info(FilePath);
  if (!info.exists()) return true;
  if (!info.isFile() || !info.isReadable()) {
    std::fprintf(stderr, "sorvane: %s: cannot be read; starting with the start-up settings\n", qPrintable(FilePath));
    SetAsideFirst = true;
    return false;
  }
  QFile file(FilePath);
  if (!file.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "sorvane: %s: cannot be read; starting with the start-up settings\n", qPrintable(FilePath));
    SetAsideFirst = true;
    return false;
  }
  QByteArray text = file.readAll();
  file.close();
  // Qt reads a UTF-8 byte-order mark but flags the file as badly formed:
  // such a file is read from a copy without the mark.
  const bool byteOrderMark = text.startsWith("\xEF\xBB\xBF");
  QTemporaryFile copy;
  QString readPath = FilePath;
  if (byteOrderMark) {
    text.remove(0, 3);
    if (!copy.open() || copy.write(text) != text.size() || !copy.flush()) {
      std::fprintf(stderr, "sorvane: %s: cannot be read; starting with the start-up settings\n", qPrintable(FilePath));
      SetAsideFirst = true;
      return false;
    }
    readPath = copy.fileName();
  }
  QSettings settings(readPath, QSettings::IniFormat);
  // Qt parses the body of each section only when a key is asked for: every
  // key is asked for first, so that the status covers the whole file.
  settings.allKeys();
  // A settings file is UTF-8 text; Qt takes many other bytes without a word.
  const bool textFile = !text.contains('\0') && QString::fromUtf8(text).toUtf8() == text;
  if (settings.status() != QSettings::NoError || !textFile) {
    std::fprintf(stderr, "sorvane: %s: %s; starting with the start-up settings\n", qPrintable(FilePath),
                 settings.status() == QSettings::AccessError ? "cannot be read" : "not a settings file");
    SetAsideFirst = true;
    return false;
  }
  Reader read(settings, FilePath);
  read.Number("panel/waveform", 0, 2, panel.Waveform);
  read.Number("panel/octave", 0, 3, panel.Octave);
  read.Number("panel/vibrato_depth", 0, 100, panel.ModDepth);
  read.Number("panel/vibrato_rate", 1, 20, panel.ModRate);
  int32_t shape = panel.TriangleShape ? 0 : 1;
  read.Word("panel/vibrato_shape", {"triangle", "square"}, shape);
  panel.TriangleShape = shape == 0;
  read.Switch("panel/vibrato_always_on", panel.ModAlwaysOn);
  read.Number("panel/echo_level", 0, 100, panel.EchoLevel);
  read.Number("panel/echo_delay_ms", 50, 200, panel.EchoDelayMs);
  read.Switch("panel/emphasis", panel.Emphasis);
  read.String("phrase/load_folder", panel.LoadDirectory);
  read.String("phrase/save_folder", panel.SaveDirectory);

  read.Word("sound/system", {"auto", "pulse", "jack"}, prefs.System);
  read.String("sound/input_device", prefs.InputDevice);
  read.String("sound/output_device", prefs.OutputDevice);
  read.Word("sound/latency", {"normal", "low"}, prefs.Latency);
  read.Number("sound/output_level_db", kOutputLevelMinDb, kOutputLevelMaxDb, prefs.OutputLevelDb);
  int32_t channel = prefs.MidiChannel == kMidiAllChannels ? 0 : prefs.MidiChannel + 1;
  read.Number("midi/channel", 0, 16, channel);
  prefs.MidiChannel = channel == 0 ? kMidiAllChannels : channel - 1;
  read.Number("midi/bend_range", kMinBendRange, kMaxBendRange, prefs.BendRange);
  read.Number("midi/glide_ms", 0, kMaxGlideMs, prefs.GlideMs);
  read.Switch("midi/velocity", prefs.VelocityOn);
  MidiLearn learn{};
  learn.Controller = prefs.Controllers;
  for (int c = 0; c < kMidiControlCount; ++c) {
    int32_t controller = learn.Controller[c];
    read.Number(kControllerKeys[c], kNoController, kCcAllSoundOff - 1, controller);
    if (controller == kNoController || LearnableController(controller)) {
      AssignController(learn, static_cast<MidiControl>(c), controller);
    }
  }
  prefs.Controllers = learn.Controller;
  return true;
}

bool AppSettings::Save(const PanelSettings& panel, const Preferences& prefs) {
  if (SaveRefused) return false;
  if (SetAsideFirst) {
    // What could not be read is kept for the user, never written over.
    QString aside = FilePath + QStringLiteral(".bad");
    for (int n = 1; QFileInfo::exists(aside) && n < 100; ++n) aside = FilePath + QStringLiteral(".bad.%1").arg(n);
    const QByteArray from = QFile::encodeName(FilePath);
    const QByteArray to = QFile::encodeName(aside);
    const bool setAside = !QFileInfo::exists(aside) && std::rename(from.constData(), to.constData()) == 0;
    if (!setAside) {
      if (!SetAsideFailed) {
        std::fprintf(stderr, "sorvane: %s: could not be read nor set aside; the settings are not saved\n",
                     qPrintable(FilePath));
      }
      SetAsideFailed = true;
      return false;
    }
    std::fprintf(stderr, "sorvane: %s: could not be read; kept as %s\n", qPrintable(FilePath), qPrintable(aside));
    SetAsideFirst = false;
  }
  // The file written is the one a symbolic link leads to, the link kept.
  const QFileInfo link(FilePath);
  QString target = FilePath;
  if (link.isSymLink()) target = link.exists() ? link.canonicalFilePath() : link.symLinkTarget();
  const QByteArray encodedTarget = QFile::encodeName(target);
  struct stat targetStatus {};
  if (::stat(encodedTarget.constData(), &targetStatus) == 0) {
    // A file the user made read-only keeps its settings, also for root, who
    // could write it anyway.
    if ((targetStatus.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return CannotWrite("it is read-only");
    if (::access(encodedTarget.constData(), W_OK) != 0) return CannotWrite(std::strerror(errno));
  }
  const QString folder = QFileInfo(target).absolutePath();
  if (!QDir().mkpath(folder)) return CannotWrite("its folder cannot be made");
  // Written whole into a new file beside it, which then takes its name: a
  // fresh file, so that what Qt says of it is about this write alone.
  QTemporaryFile written(folder + QStringLiteral("/.sorvane.conf.XXXXXX"));
  if (!written.open()) return CannotWrite(qPrintable(written.errorString()));
  written.close();
  QSettings settings(written.fileName(), QSettings::IniFormat);
  settings.setValue(QStringLiteral("panel/waveform"), panel.Waveform);
  settings.setValue(QStringLiteral("panel/octave"), panel.Octave);
  settings.setValue(QStringLiteral("panel/vibrato_depth"), panel.ModDepth);
  settings.setValue(QStringLiteral("panel/vibrato_rate"), panel.ModRate);
  settings.setValue(QStringLiteral("panel/vibrato_shape"),
                    panel.TriangleShape ? QStringLiteral("triangle") : QStringLiteral("square"));
  settings.setValue(QStringLiteral("panel/vibrato_always_on"), panel.ModAlwaysOn);
  settings.setValue(QStringLiteral("panel/echo_level"), panel.EchoLevel);
  settings.setValue(QStringLiteral("panel/echo_delay_ms"), panel.EchoDelayMs);
  settings.setValue(QStringLiteral("panel/emphasis"), panel.Emphasis);
  settings.setValue(QStringLiteral("phrase/load_folder"), panel.LoadDirectory);
  settings.setValue(QStringLiteral("phrase/save_folder"), panel.SaveDirectory);
  settings.setValue(QStringLiteral("sound/system"), QString::fromLatin1(SystemWord(prefs.System)));
  settings.setValue(QStringLiteral("sound/input_device"), prefs.InputDevice);
  settings.setValue(QStringLiteral("sound/output_device"), prefs.OutputDevice);
  settings.setValue(QStringLiteral("sound/latency"),
                    prefs.Latency == LatencyMode::Low ? QStringLiteral("low") : QStringLiteral("normal"));
  settings.setValue(QStringLiteral("sound/output_level_db"), prefs.OutputLevelDb);
  settings.setValue(QStringLiteral("midi/channel"), prefs.MidiChannel == kMidiAllChannels ? 0 : prefs.MidiChannel + 1);
  settings.setValue(QStringLiteral("midi/bend_range"), prefs.BendRange);
  settings.setValue(QStringLiteral("midi/glide_ms"), prefs.GlideMs);
  settings.setValue(QStringLiteral("midi/velocity"), prefs.VelocityOn);
  for (int c = 0; c < kMidiControlCount; ++c) {
    settings.setValue(QLatin1String(kControllerKeys[c]), prefs.Controllers[c]);
  }
  settings.sync();
  if (settings.status() != QSettings::NoError) return CannotWrite("the settings cannot be written there");
  if (QFileInfo::exists(target)) written.setPermissions(QFile::permissions(target));
  const QByteArray from = QFile::encodeName(written.fileName());
  if (std::rename(from.constData(), encodedTarget.constData()) != 0) return CannotWrite(std::strerror(errno));
  written.setAutoRemove(false);  // it is the settings file now
  ReportedUnwritable = false;
  return true;
}

bool AppSettings::CannotWrite(const char* why) {
  // Said once, not at every change: the next success starts afresh.
  if (!ReportedUnwritable) {
    std::fprintf(stderr, "sorvane: %s: cannot be written (%s); changes to the settings are not saved\n",
                 qPrintable(FilePath), why);
  }
  ReportedUnwritable = true;
  return false;
}

}  // namespace sorvane

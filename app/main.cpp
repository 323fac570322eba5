// SPDX-License-Identifier: GPL-3.0-or-later
// Program entry: one instance per user; the main window and the About
// dialog; the event loop until the main window has closed, also when a
// termination signal asks for the close.
#include <QApplication>
#include <QDialog>
#include <QIcon>
#include <cstdio>
#include <memory>

#include "app/AboutBox.h"
#include "app/AudioBackend.h"
#include "app/CommandLine.h"
#include "app/MainWindow.h"
#include "app/Platform.h"
#include "app/Settings.h"
#include "app/SignalWatcher.h"
#include "app/SingleInstance.h"
#include "core/Reporter.h"
#include "devices/SoundSystem.h"

namespace {

// Every open dialog is rejected (error boxes, file dialogs, a replace
// prompt, the About dialog): the nested event loops they run return, and
// the handlers that opened them go on as if the user had cancelled.
void RejectOpenDialogs() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(widget);
    if (dialog != nullptr && dialog->isVisible()) dialog->reject();
  }
}

// What SIGTERM, SIGINT and SIGHUP do, at any moment after the lock is
// taken: the program closes as the Exit button closes it, whatever box is
// open, and never shows its window again.
class Termination {
 public:
  explicit Termination(sorvane::SingleInstance& instance) : Instance(instance) {}
  Termination(const Termination&) = delete;
  Termination& operator=(const Termination&) = delete;

  // The window to close; none while it is being made. Closed at once when
  // a signal came meanwhile.
  void SetWindow(QWidget* window) {
    Window = window;
    if (IsRequested) Window->close();
  }
  bool Requested() const { return IsRequested; }

  void Request() {
    if (!IsRequested) {
      IsRequested = true;
      Instance.SetClosing();
      // Failures met while closing go to stderr: a box would hold the
      // close up until someone answered it.
      sorvane::SetErrorBoxHandler(nullptr, nullptr);
    }
    RejectOpenDialogs();
    if (Window != nullptr) Window->close();
  }

 private:
  sorvane::SingleInstance& Instance;
  QWidget* Window = nullptr;
  bool IsRequested = false;
};

}  // namespace

int main(int argc, char** argv) {
  // --help, --version, a bad option and a missing display end here, before
  // any window, sound device or lock; --list-devices needs none of them.
  sorvane::CommandLineOptions options;
  if (const auto status = sorvane::HandleCommandLine(argc, argv, options)) return *status;
  if (options.ListDevices) {
#ifdef SORVANE_HAVE_SOUND
    std::fputs(sorvane::FormatSoundDevices(sorvane::ListSoundDevices()).c_str(), stdout);
    return 0;
#else
    std::fputs("sorvane: this build has no sound devices to list\n", stderr);
    return 1;
#endif
  }
  // A file size limit must end a take with its message, not kill the program.
  sorvane::IgnoreFileSizeSignal();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("sorvane"));
  QApplication::setDesktopFileName(QStringLiteral("io.github.sorvane.Sorvane"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/sorvane.png")));

  sorvane::SingleInstance instance(sorvane::SingleInstance::DefaultDirectory());
  if (!instance.Acquire()) {
    if (instance.GaveUp()) return 1;
    if (options.Any()) {
      std::fputs(
          "sorvane: already running: its window was brought to the front; the options given here were not "
          "applied\n",
          stderr);
    }
    return 0;
  }

  // The kept settings, unless --no-restore: then nothing is read or saved.
  std::unique_ptr<sorvane::AppSettings> settings;
  sorvane::PanelSettings panel;
  sorvane::Preferences prefs;
  if (!options.NoRestore) {
    settings = std::make_unique<sorvane::AppSettings>(sorvane::AppSettings::DefaultPath());
    settings->Load(panel, prefs);
  }
  // The sound as the preferences choose it, the command line's options
  // first.
  sorvane::SoundOptions sound;
  sound.System = options.System.value_or(prefs.System);
  sound.InputDevice = options.InputDevice.value_or(prefs.InputDevice.toStdString());
  sound.OutputDevice = options.OutputDevice.value_or(prefs.OutputDevice.toStdString());
  sound.Latency = options.Latency.value_or(prefs.Latency);

  // A signal that arrives while the window is being made waits in the pipe,
  // or is read by the event loop of a box shown meanwhile (no sound device):
  // either way it is acted on, the box closed, and the window never shown.
  sorvane::SignalWatcher terminationSignals;
  Termination termination(instance);
  QObject::connect(&terminationSignals, &sorvane::SignalWatcher::TerminationRequested, &app,
                   [&termination](int) { termination.Request(); });
  sorvane::InstallMessageBoxErrorHandler();
  // A signal ends at once a wait for a sound server that does not answer.
  sound.CancelFd = terminationSignals.PendingFd();
  sorvane::MainWindow form(sorvane::MakeSystemAudio(sound));
  // After the start-up order: the kept settings through the controls' own
  // handlers, then what the command line asks for this run.
  form.UseSettings(settings.get(), panel, prefs);
  sorvane::RunPreferences run;
  run.OutputLevelDb = options.OutputLevelDb;
  run.MidiChannel = options.MidiChannel;
  run.BendRange = options.BendRange;
  run.GlideMs = options.GlideMs;
  if (options.Velocity) run.VelocityOn = true;
  form.OverrideForThisRun(run);
  bool closed = false;
  QObject::connect(&form, &sorvane::MainWindow::CloseBegun, &instance, &sorvane::SingleInstance::SetClosing);
  // When the main window has closed, the program ends, also when a box
  // opened meanwhile is still running its own event loop.
  QObject::connect(&form, &sorvane::MainWindow::Closed, &app, [&closed] {
    closed = true;
    QCoreApplication::exit(0);
  });
  // The About dialog reads the caption language, which the window decides.
  sorvane::TAboutBox about(&form);
  form.SetAboutBox(&about);
  instance.SetWindow(&form);
  termination.SetWindow(&form);
  terminationSignals.ReadPending();
  if (termination.Requested()) {
    // Closed at once without sound; with sound, the buffers come back first.
    return closed ? 0 : QApplication::exec();
  }
  form.show();
  return QApplication::exec();
}

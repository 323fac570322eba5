// SPDX-License-Identifier: GPL-3.0-or-later
// Program entry: one instance per user; the main window and the About
// dialog; the event loop until the main window has closed, also when a
// termination signal asks for the close.
#include <QApplication>
#include <QDialog>
#include <QIcon>

#include "app/AboutBox.h"
#include "app/AudioBackend.h"
#include "app/CommandLine.h"
#include "app/MainWindow.h"
#include "app/Platform.h"
#include "app/SignalWatcher.h"
#include "app/SingleInstance.h"
#include "core/Reporter.h"

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
  // --help, --version and a missing display end here, before any window,
  // sound device or lock.
  sorvane::LatencyMode latency = sorvane::LatencyMode::Normal;
  if (const auto status = sorvane::HandleCommandLine(argc, argv, latency)) return *status;
  // A file size limit must end a take with its message, not kill the program.
  sorvane::IgnoreFileSizeSignal();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("sorvane"));
  QApplication::setDesktopFileName(QStringLiteral("io.github.sorvane.Sorvane"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/sorvane.png")));

  sorvane::SingleInstance instance(sorvane::SingleInstance::DefaultDirectory());
  if (!instance.Acquire()) return instance.GaveUp() ? 1 : 0;

  // A signal that arrives while the window is being made waits in the pipe,
  // or is read by the event loop of a box shown meanwhile (no sound device):
  // either way it is acted on, the box closed, and the window never shown.
  sorvane::SignalWatcher terminationSignals;
  Termination termination(instance);
  QObject::connect(&terminationSignals, &sorvane::SignalWatcher::TerminationRequested, &app,
                   [&termination](int) { termination.Request(); });
  sorvane::InstallMessageBoxErrorHandler();
  sorvane::TForm1 form(sorvane::MakeSystemAudio(latency));
  bool closed = false;
  QObject::connect(&form, &sorvane::TForm1::CloseBegun, &instance, &sorvane::SingleInstance::SetClosing);
  // When the main window has closed, the program ends, also when a box
  // opened meanwhile is still running its own event loop.
  QObject::connect(&form, &sorvane::TForm1::Closed, &app, [&closed] {
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

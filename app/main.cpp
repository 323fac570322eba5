// SPDX-License-Identifier: GPL-3.0-or-later
// Program entry: one instance per user; the main window and the About
// dialog; the event loop until the main window has closed, also when a
// termination signal asks for the close.
#include <QApplication>
#include <QIcon>

#include "app/AboutBox.h"
#include "app/AudioBackend.h"
#include "app/CommandLine.h"
#include "app/MainWindow.h"
#include "app/Platform.h"
#include "app/SignalWatcher.h"
#include "app/SingleInstance.h"

int main(int argc, char** argv) {
  // --help, --version and a missing display end here, before any window,
  // sound device or lock.
  if (const auto status = sorvane::HandleCommandLine(argc, argv)) return *status;
  // A file size limit must end a take with its message, not kill the program.
  sorvane::IgnoreFileSizeSignal();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("sorvane"));
  QApplication::setDesktopFileName(QStringLiteral("io.github.sorvane.Sorvane"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/sorvane.png")));

  sorvane::SingleInstance instance(sorvane::SingleInstance::DefaultDirectory());
  if (!instance.Acquire()) return 0;

  // Signals that arrive while the window is being made wait in the pipe.
  sorvane::SignalWatcher terminationSignals;
  sorvane::InstallMessageBoxErrorHandler();
  sorvane::TForm1 form(sorvane::MakeSystemAudio());
  // A termination signal is a close request, like the Exit button.
  QObject::connect(&terminationSignals, &sorvane::SignalWatcher::TerminationRequested, &form,
                   &QWidget::close);
  // The About dialog reads the caption language, which the window decides.
  sorvane::TAboutBox about(&form);
  form.SetAboutBox(&about);
  instance.SetWindow(&form);
  form.show();
  return QApplication::exec();
}

// Program entry: one instance per user; the main window and the About
// dialog; the event loop until the main window has closed, also when a
// termination signal asks for the close.
#include <QApplication>
#include <QIcon>

#include "app/AudioBackend.h"
#include "app/Platform.h"
#include "app/SignalWatcher.h"
#include "app/SingleInstance.h"
#include "app/Unit1.h"
#include "app/Unit2.h"

int main(int argc, char** argv) {
  sorvane::IgnoreFileSizeSignal();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("sorvane"));
  QApplication::setDesktopFileName(QStringLiteral("sorvane"));
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

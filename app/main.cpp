// Program entry: one instance per user; the main window and the About
// dialog; the event loop until the main window has closed.
#include <QApplication>
#include <QIcon>

#include "app/AudioBackend.h"
#include "app/CommandLine.h"
#include "app/Platform.h"
#include "app/SingleInstance.h"
#include "app/Unit1.h"
#include "app/Unit2.h"

int main(int argc, char** argv) {
  // --help, --version and a missing display end here, before any window,
  // sound device or lock.
  if (const auto status = sorvane::HandleCommandLine(argc, argv)) return *status;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("sorvane"));
  QApplication::setDesktopFileName(QStringLiteral("io.github.sorvane.Sorvane"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/sorvane.png")));

  sorvane::SingleInstance instance(sorvane::SingleInstance::DefaultDirectory());
  if (!instance.Acquire()) return 0;

  sorvane::InstallMessageBoxErrorHandler();
  sorvane::TForm1 form(sorvane::MakeSystemAudio());
  // The About dialog reads the caption language, which the window decides.
  sorvane::TAboutBox about(&form);
  form.SetAboutBox(&about);
  instance.SetWindow(&form);
  form.show();
  return QApplication::exec();
}

#include <QApplication>

#include <cli/CommandLine.h>
#include <cli/Console.h>
#include <settings/IniFileHandler.h>
#include <settings/SettingsFolder.h>

#include "CVboot.h"
#include "ProgramRun.h"

int main(int argc, char** argv) {
  IniFileHandler::setMessageSink(cli::Console::error);  // a refused setup.ini write is said on standard error
  // Long options make it a command-line run (or ask for help); the
  // toolkit's own arguments (-style, -platform ...) are the window's.
  if (cli::isCommandLineRun(argc, argv)) return ProgramRun::main(argc, argv);

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("calvboot"));
  QApplication::setApplicationVersion(QStringLiteral(CALVBOOT_VERSION_TEXT));

  // setup.ini and Log.txt: beside the program, or per user when installed.
  CVboot window(SettingsFolder::forProgram(QStringLiteral("calvboot"), cli::Console::error));
  window.Form_Load();
  window.show();
  return app.exec();
}

#include <QApplication>

#include <cli/CommandLine.h>
#include <settings/SettingsFolder.h>

#include "LoaderForm.h"
#include "UploadRun.h"

int main(int argc, char** argv) {
  // Long options make it a command-line run (or ask for help); the
  // toolkit's own arguments (-style, -platform ...) are the window's.
  if (cli::isCommandLineRun(argc, argv)) return UploadRun::main(argc, argv);

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Romlift"));
  // setup.ini and Log.txt: beside the program, or per user when installed.
  LoaderForm form(SettingsFolder::forProgram(QStringLiteral("romlift")));
  form.Form_Load();
  form.show();
  return app.exec();
}

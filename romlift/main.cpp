#include <QApplication>

#include <SettingsFolder.h>

#include "LoaderForm.h"
#include "UploadRun.h"

int main(int argc, char** argv) {
  // Any argument makes it a command-line run (or asks for help).
  if (argc > 1) return UploadRun::main(argc, argv);

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Romlift"));
  // setup.ini and Log.txt: beside the program, or per user when installed.
  LoaderForm form(SettingsFolder::forProgram(QStringLiteral("romlift")));
  form.Form_Load();
  form.show();
  return app.exec();
}

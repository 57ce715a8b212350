#include <QApplication>

#include "LoaderForm.h"
#include "UploadRun.h"

int main(int argc, char** argv) {
  // Any argument makes it a command-line run (or asks for help).
  if (argc > 1) return UploadRun::main(argc, argv);

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Romlift"));
  // setup.ini and Log.txt live beside the program.
  LoaderForm form(QCoreApplication::applicationDirPath());
  form.Form_Load();
  form.show();
  return app.exec();
}

#include <QApplication>

#include "Autopilot.h"
#include "LoaderForm.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Romlift"));
  // setup.ini and Log.txt live beside the program.
  LoaderForm form(QCoreApplication::applicationDirPath());
  form.Form_Load();
  form.show();
  Autopilot::startIfRequested(form);
  return app.exec();
}

#include <QApplication>

#include <SettingsFolder.h>

#include "Autopilot.h"
#include "LoaderForm.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Romlift"));
  // setup.ini and Log.txt: beside the program, or per user when installed.
  LoaderForm form(SettingsFolder::forProgram(QStringLiteral("romlift")));
  form.Form_Load();
  form.show();
  Autopilot::startIfRequested(form);
  return app.exec();
}

#include <QApplication>

#include "CVboot.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("calvboot"));
  QApplication::setApplicationVersion(QStringLiteral(CALVBOOT_VERSION_TEXT));

  // setup.ini and Log.txt live beside the program.
  CVboot window(QCoreApplication::applicationDirPath());
  window.Form_Load();
  window.show();
  return app.exec();
}

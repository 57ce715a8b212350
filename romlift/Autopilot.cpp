#include "Autopilot.h"

#include <QPushButton>
#include <QTimer>

#include <cstdio>

#include "LoaderForm.h"

namespace Autopilot {

void startIfRequested(LoaderForm& form) {
  const QString file = qEnvironmentVariable("ROMLIFT_AUTOPILOT");
  if (file.isEmpty()) return;

  // Let the window come up first, as an operator would see it.
  QTimer::singleShot(500, &form, [&form, file] {
    form.setFileChooser([file] { return file; });
    form.Load_Click();
    form.Commport->click();  // returns once the boot loader announced itself
    if (form.uploadDialogue().BootReady) form.BtnUpload->click();
    for (const QString& line : form.serinputText().split(QStringLiteral("\r\n")))
      std::printf("%s\n", line.toLocal8Bit().constData());
    std::printf("romlift: autopilot done\n");
    std::fflush(stdout);
  });
}

}  // namespace Autopilot

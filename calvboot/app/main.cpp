#include <cli/CommandLine.h>
#include <cli/Console.h>
#include <cli/ProgramRun.h>
#include <platform/Process.h>
#include <platform/Terminal.h>
#include <settings/IniFileHandler.h>

#ifndef KESTRUNE_COMMAND_LINE_ONLY
#include <QApplication>
#include <QLabel>
#include <QLineEdit>

#include <serial/ComForm.h>
#include <serial/SerialLink.h>
#include <settings/SettingsFolder.h>

#include <cstdio>

#include "CVboot.h"

namespace {

// calvboot's words for the operator beyond the window: standard error.
void toStandardError(const QString& text) {
  std::fprintf(stderr, "calvboot: %s\n", qPrintable(text));
  std::fflush(stderr);
}

// The main window for a --window run: it stores nothing, and its boxes are
// lines on standard error.
class CVbootRun : public ProgramRun::WindowRun {
 public:
  explicit CVbootRun(CalvSession& session) : window_(session) {
    window_.dialogs.messageBox = [](const QString& title, const QString& text, QMessageBox::Icon) {
      cli::Console::box(title, text);
    };
    window_.StoreSettings = false;
    window_.statusEcho = toStandardError;
  }
  void prepare(std::uint8_t comPort, LineSpeed speed, const QString& file) override {
    window_.Form_Load();
    window_.SelectComPort(comPort);
    window_.SelectSpeed(speed.code());
    window_.TxtCalvfile->setText(file);
    window_.show();
  }
  void setLogOn() override { window_.comForm().SetLogOn(); }
  std::optional<ProgramResult> start(const std::function<void(const QString&)>& message) override {
    window_.productionMessage = message;
    return window_.BtnStart_Click();
  }
  QString statusText() const override { return window_.LblStatusText->text(); }

 private:
  CVboot window_;
};

}  // namespace
#endif

int main(int argc, char** argv) {
  platform::prepareProcess();
  IniFileHandler::setMessageSink(cli::Console::error);  // a refused setup.ini write is said on standard error
  // Long options make it a command-line run (or ask for help); the
  // toolkit's own arguments (-style, -platform ...) are the window's.
#ifdef KESTRUNE_COMMAND_LINE_ONLY
  if (cli::isCommandLineRun(argc, argv)) return ProgramRun::main(argc, argv, nullptr, nullptr);
  cli::Console::error(QStringLiteral("calvboot: this copy has no window; see calvboot --help"));
  return 64;
#else
  if (cli::isCommandLineRun(argc, argv))
    return ProgramRun::main(argc, argv, cli::windowApplication<QApplication>,
                            [](CalvSession& session) { return std::make_unique<CVbootRun>(session); });

  platform::leaveOwnConsole();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("calvboot"));
  QApplication::setApplicationVersion(QStringLiteral(CALVBOOT_VERSION_TEXT));

  // setup.ini and Log.txt: beside the program, or per user when installed.
  CalvSession session(SettingsFolder::forProgram(QStringLiteral("calvboot"), cli::Console::error));
  session.link().setMessageSink([](const QString& line) { std::fprintf(stderr, "%s\n", qPrintable(line)); });
  session.program().setMessageSink(toStandardError);
  CVboot window(session);
  window.statusEcho = toStandardError;
  window.Form_Load();
  window.show();
  return app.exec();
#endif
}

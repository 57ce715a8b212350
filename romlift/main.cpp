#include <cli/CommandLine.h>
#include <cli/Console.h>
#include <platform/Process.h>
#include <platform/Terminal.h>
#include <settings/IniFileHandler.h>

#include "UploadRun.h"

#ifndef KESTRUNE_COMMAND_LINE_ONLY
#include <QApplication>

#include <serial/SerialLink.h>
#include <settings/SettingsFolder.h>

#include <cstdio>

#include "LoaderForm.h"
#include "RomliftSession.h"

namespace {

// A --window run: the window over the run's session, with the run's file.
std::unique_ptr<QObject> windowForRun(RomliftSession& session) {
  auto window = std::make_unique<LoaderForm>(session);
  window->Form_Load();
  const QString file = session.fileCheck().FileName;
  window->setFileChooser([file] { return file; });
  window->Load_Click();
  window->show();
  return window;
}

}  // namespace
#endif

int main(int argc, char** argv) {
  platform::prepareProcess();
  IniFileHandler::setMessageSink(cli::Console::error);  // a refused setup.ini write is said on standard error
  // Long options make it a command-line run (or ask for help); the
  // toolkit's own arguments (-style, -platform ...) are the window's.
#ifdef KESTRUNE_COMMAND_LINE_ONLY
  if (cli::isCommandLineRun(argc, argv)) return platform::endProcess(UploadRun::main(argc, argv, {nullptr, nullptr}));
  cli::Console::error(QStringLiteral("romlift: this copy has no window; see romlift --help"));
  return 64;
#else
  if (cli::isCommandLineRun(argc, argv))
    return platform::endProcess(UploadRun::main(argc, argv, {cli::windowApplication<QApplication>, windowForRun}));

  platform::leaveOwnConsole();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Romlift"));
  // setup.ini and Log.txt: beside the program, or per user when installed.
  RomliftSession session(RomliftSession::Start::Window, SettingsFolder::forProgram(QStringLiteral("romlift"), cli::Console::error),
                         [](const QString& text) { std::fprintf(stderr, "romlift: %s\n", qPrintable(text)); });
  session.link().setMessageSink([](const QString& line) { std::fprintf(stderr, "%s\n", qPrintable(line)); });
  LoaderForm form(session);
  form.Form_Load();
  form.show();
  return app.exec();
#endif
}

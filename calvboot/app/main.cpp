#include <cli/CommandLine.h>
#include <cli/Console.h>
#include <cli/PortList.h>
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
#include <cstring>

#include "CVboot.h"
#include "StationWindow.h"

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

bool hasArgument(int argc, char** argv, const char* wanted) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], wanted) == 0) return true;
  return false;
}

// calvboot --station: the station window over the ports given, or over every
// present one, with the file, speed and address given or stored. Nothing
// of the command line's choices is stored.
int stationMain(int argc, char** argv) {
  platform::leaveOwnConsole();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("calvboot"));
  QApplication::setApplicationVersion(QStringLiteral(CALVBOOT_VERSION_TEXT));
  const QStringList aboutLines = CalvSession::aboutText().split(QStringLiteral("\r\n"));
  cli::CommandLine line(QStringLiteral("Programs the Calvaro module's firmware on several units, each in a row of "
                                       "the station window."),
                        aboutLines.value(0) + u' ' + aboutLines.value(2));
  QCommandLineParser& p = line.parser();
  p.addOptions({
      {QStringLiteral("station"), QStringLiteral("Open the station window.")},
      {QStringLiteral("program"), QStringLiteral("The firmware file for every slot."), QStringLiteral("FILE")},
      {QStringLiteral("address"), QStringLiteral("Network address 0..65535 (this run only)."), QStringLiteral("A")},
  });
  line.addSlotOptions();
  if (const auto ended = line.parse(QCoreApplication::arguments())) return *ended;
  const QString folder = SettingsFolder::forProgram(QStringLiteral("calvboot"), cli::Console::error);
  CalvSession session(folder);
  if (line.listPorts()) {
    cli::listPorts(session.iniPath());
    return cli::kExitOk;
  }
  const QString address = p.value(QStringLiteral("address"));
  if (p.isSet(QStringLiteral("address")) && !CalvSession::addressFits(address))
    return line.usageError(QStringLiteral("--address takes a number from 0 to 65535"));

  const CalvSession::StoredLine stored = session.storedLine(false);
  StationSlots::Settings settings;
  settings.folder = folder;
  settings.file = p.isSet(QStringLiteral("program"))
                      ? p.value(QStringLiteral("program"))
                      : IniFileHandler::ReadIniValueOrDefault(QStringLiteral("Calvsettings"),
                                                              QStringLiteral("FirmwareFile"), QStringLiteral("?"),
                                                              session.iniPath());
  settings.address = p.isSet(QStringLiteral("address")) ? address : stored.address;
  // As a command-line run: a stored address that fits no frame is never sent.
  if (const QString refusal = session.storedAddressRefusal(settings.address); !refusal.isEmpty()) {
    cli::Console::error(QStringLiteral("calvboot: ") + refusal);
    return CalvExit::kUsage;
  }
  settings.speed = line.port().speed.value_or(stored.speed);
  settings.messages = toStandardError;
  std::vector<PortChoice> ports = line.gangPorts();
  if (ports.empty() && (line.port().comPort != 0 || !line.port().device.isEmpty())) ports.push_back(line.port());
  if (ports.empty()) ports = StationSlots::presentPorts(session.iniPath());

  StationWindow window(std::move(settings), ports);
  window.show();
  return app.exec();
}

}  // namespace
#endif

int main(int argc, char** argv) {
  platform::prepareProcess();
  IniFileHandler::setMessageSink(cli::Console::error);  // a refused setup.ini write is said on standard error
  // Long options make it a command-line run (or ask for help); the
  // toolkit's own arguments (-style, -platform ...) are the window's.
#ifdef KESTRUNE_COMMAND_LINE_ONLY
  if (cli::isCommandLineRun(argc, argv)) return platform::endProcess(ProgramRun::main(argc, argv, nullptr, nullptr));
  cli::Console::error(QStringLiteral("calvboot: this copy has no window; see calvboot --help"));
  return 64;
#else
  if (hasArgument(argc, argv, "--station")) return stationMain(argc, argv);
  if (cli::isCommandLineRun(argc, argv))
    return platform::endProcess(ProgramRun::main(argc, argv, cli::windowApplication<QApplication>, [](CalvSession& session) {
      return std::make_unique<CVbootRun>(session);
    }));

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

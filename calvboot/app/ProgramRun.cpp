#include "ProgramRun.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QLabel>
#include <QTimer>

#include <cli/CommandLine.h>
#include <serial/ComForm.h>
#include <serial/SerialLink.h>
#include <cli/Console.h>
#include <settings/IniFileHandler.h>
#include <settings/LenientNumber.h>
#include <protocol/ModuleCommands.h>
#include <cli/PortList.h>
#include <programming/ProgramModule.h>
#include <protocol/RSfunctions.h>
#include <serial/SerialPortControl.h>
#include <settings/SettingsFolder.h>
#include <platform/StopRequests.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>

#include "CVboot.h"
#include "ProductionRun.h"

namespace {

const QString kComSettings = QStringLiteral("ComSettings");

// The link of this run: setup.ini as the window reads it at start-up, then
// the command line's choices on top (never stored).
struct Link {
  std::uint8_t comPort = 1;
  std::uint8_t comSpeed = 0;
  QString device;
  QString address;
  bool log = false;
};

Link linkFor(const QString& iniPath, const cli::CommandLine& line) {
  // Start-up reads store nothing: the run writes only what "Start" writes.
  const auto read = [&iniPath](const QString& section, const char* key, const char* fallback) {
    return IniFileHandler::ReadIniValueOrDefault(section, QString::fromLatin1(key), QString::fromLatin1(fallback),
                                                 iniPath);
  };
  Link link;
  const auto port = LenientNumber::toWhole<std::uint8_t>(
      LenientNumber::numericValue(read(kComSettings, "ComPort", "1")));
  link.comPort = port && *port >= 1 && *port <= 16 ? *port : 1;
  const double speed = LenientNumber::numericValue(read(kComSettings, "ComSpeed", "9600"));
  link.comSpeed = speed == 115200 ? 2 : speed == 57600 ? 1 : 0;
  link.address = read(kComSettings, "DevAdr", "1");
  link.log = SerialLink::isDebugValue(read(QStringLiteral("AmpCom"), "Debug", "0"));

  const cli::PortChoice& choice = line.port();
  if (choice.comPort != 0) link.comPort = choice.comPort;
  link.device = choice.device;
  if (choice.speedCode) link.comSpeed = *choice.speedCode;
  if (line.parser().isSet(QStringLiteral("address"))) link.address = line.parser().value(QStringLiteral("address"));
  link.log = link.log || line.parser().isSet(QStringLiteral("log"));
  return link;
}

QString kiloBytesPerSecond(qint64 bytes, double seconds) {
  return QString::number(seconds > 0 ? bytes / seconds / 1000.0 : 0.0, 'f', 1) + QStringLiteral(" kB/s");
}

QString duration(double seconds) {
  const auto whole = static_cast<qint64>(seconds + 0.5);
  return whole < 60 ? QStringLiteral("%1 s").arg(whole)
                    : QStringLiteral("%1 min %2 s").arg(whole / 60).arg(whole % 60, 2, 10, QChar(u'0'));
}

// What the run shows: detail lines with the elapsed seconds, the bytes sent
// with the rate and the time left, boxes on standard error; the bytes sent
// and the last status are printed when the run has ended.
class ConsoleView : public ProgramView {
 public:
  explicit ConsoleView(cli::Console& console) : console_(console) {}
  void setStatusText(const QString& text) override { status = text; }
  void detailText(const QString& text) override {
    if (!text.isEmpty()) console_.line(text);
  }
  void setProgress(float) override {}
  void bytesSent(qint64 done, qint64 total) override {
    if (done == 0 || !passStart_) passStart_ = std::chrono::steady_clock::now();
    done_ = done;
    total_ = total;
    const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
    QString text = QStringLiteral("%1 / %2 bytes sent (%3 %)").arg(done).arg(total).arg(percent);
    // The first second's rate says little: the blocks were just erased.
    if (const double s = passSeconds(); s >= 1.0 && done > 0 && done < total)
      text += QStringLiteral(", %1, %2 left").arg(kiloBytesPerSecond(done, s), duration(s * (total - done) / done));
    console_.progress(text, percent);
  }
  void showWarning(const QString& title, const QString& text) override { cli::Console::box(title, text); }
  // The line's part of the run is over: what came after it (the record) and
  // offLine within it (the serial claim) are no programming time.
  void passEnded(std::chrono::steady_clock::duration offLine) {
    if (passStart_) passEnd_ = std::max(*passStart_, std::chrono::steady_clock::now() - offLine);
  }
  // From the first record to the pass's end, or to now.
  QString transferSummary() const {
    if (!passStart_) return {};
    const double s = passSeconds();
    const QString took = QStringLiteral("in %1 s (%2)").arg(s, 0, 'f', 1).arg(kiloBytesPerSecond(done_, s));
    return done_ >= total_ ? QStringLiteral("Programmed %1 bytes %2").arg(done_).arg(took)
                           : QStringLiteral("Sent %1 of %2 bytes %3").arg(done_).arg(total_).arg(took);
  }
  QString status;

 private:
  double passSeconds() const {
    return std::chrono::duration<double>(passEnd_.value_or(std::chrono::steady_clock::now()) - *passStart_).count();
  }
  cli::Console& console_;
  std::optional<std::chrono::steady_clock::time_point> passStart_, passEnd_;
  qint64 done_ = 0;
  qint64 total_ = 0;
};

// The parts "Start" drives, without the window.
struct Headless {
  Headless(const QString& folder, const QString& iniPath, ProgramView& view)
      : com(SerialLink::ReceiveMode::Frame, folder), commands(com), program(commands, view, iniPath) {}
  SerialLink com;
  ModuleCommands commands;
  ProgramModule program;
};

// The one table from how a run ended to its exit status.
// stopStatus: 128 + the signal that stopped the run, or 0.
// A serial number the fixture refused fails the module as a differing CRC does.
int exitStatus(ProgramModule::RunOutcome outcome, bool crcMismatch, bool portFailed, int stopStatus) {
  using Outcome = ProgramModule::RunOutcome;
  if (portFailed) return ProgramRun::kExitPort;
  if (stopStatus != 0 && outcome != Outcome::Done) return stopStatus;
  switch (outcome) {
    case Outcome::Timeout: return ProgramRun::kExitTimeout;
    case Outcome::Fault: return ProgramRun::kExitFault;
    case Outcome::Done: break;
  }
  return crcMismatch ? ProgramRun::kExitCrcMismatch : cli::kExitOk;
}

}  // namespace

namespace ProgramRun {

int main(int argc, char** argv) {
  auto app = cli::makeApplication(argc, argv, cli::windowApplication<QApplication>);
  QApplication::setApplicationName(QStringLiteral("calvboot"));
  const QString about = CVboot::aboutText();
  const QStringList aboutLines = about.split(QStringLiteral("\r\n"));

  cli::CommandLine line(QStringLiteral("Programs the Calvaro module's firmware."),
                        aboutLines.value(0) + u' ' + aboutLines.value(2));
  line.parser().addOptions({
      {QStringLiteral("program"), QStringLiteral("Run one programming pass with FILE, as \"Start\" does."),
       QStringLiteral("FILE")},
      {QStringLiteral("address"), QStringLiteral("Network address 0..65535 (this run only)."), QStringLiteral("A")},
      {QStringLiteral("log"),
       QStringLiteral("Write every byte sent and received to Log.txt, or with --log=FILE to FILE (one each for "
                      "runs at the same time).")},
      {QStringLiteral("window"), QStringLiteral("Run the pass visibly in the main window.")},
      {QStringLiteral("records"), QStringLiteral("Append the run's record to the CSV file FILE (this run only)."),
       QStringLiteral("FILE")},
      {QStringLiteral("database"),
       QStringLiteral("Keep the record in, and take a fixture's serial number from, the line's database (this run "
                      "only); exit status 6 when it cannot be reached."),
       QStringLiteral("URI")},
  });
  line.allowOptionalValue(QStringLiteral("log"));
  // Continued lines are indented to the text column.
  line.setExitStatuses({
      QStringLiteral("0      \"Done with succes\", every block's CRC matched"),
      QStringLiteral("1      the run ended \"Fault\" (a missing or damaged FILE included)"),
      QStringLiteral("2      the module stopped answering (\"COM timeout\")"),
      QStringLiteral("3      the port could not be opened, or the adapter was lost or the line\n"
                     "         stopped taking bytes during the run (standard error names the\n"
                     "         device)"),
      QStringLiteral("5      \"Done with succes\", but a block's CRC differed or the fixture refused\n"
                     "         its serial number (named on standard error): do not pass the\n"
                     "         module"),
      QStringLiteral("6      the production database could not be reached; nothing was sent"),
      QStringLiteral("64     usage error: an option or its value, FILE or the --log file not a\n"
                     "         regular file, or the stored DevAdr out of range"),
      QStringLiteral("128+N  stopped by signal N (130 Ctrl+C, 143 SIGTERM, 129 SIGHUP) after the\n"
                     "         command in flight; a second signal ends the run at once"),
  });
  if (const auto ended = line.parse(QCoreApplication::arguments())) return *ended;

  const QString folder = SettingsFolder::forProgram(QStringLiteral("calvboot"), cli::Console::error);
  const QString iniPath = QDir(folder).filePath(QStringLiteral("setup.ini"));
  if (line.listPorts()) {
    cli::listPorts(iniPath);
    return cli::kExitOk;
  }
  const QString file = line.parser().value(QStringLiteral("program"));
  if (file.isEmpty()) return line.usageError(QStringLiteral("missing --program FILE.ldr"));
  if (const auto problem = cli::notRegularFile(file)) return line.usageError(QStringLiteral("--program: ") + *problem);
  const QString address = line.parser().value(QStringLiteral("address"));
  if (line.parser().isSet(QStringLiteral("address")) && !CVboot::addressFits(address))
    return line.usageError(QStringLiteral("--address takes a number from 0 to 65535"));
  QString logFile = line.optionalValue(QStringLiteral("log"));
  if (!logFile.isEmpty()) {
    // Each start of the log replaces the file: only ever a regular one.
    logFile = QFileInfo(logFile).absoluteFilePath();
    if (const auto problem = cli::notRegularFile(logFile)) return line.usageError(QStringLiteral("--log: ") + *problem);
  }
  const Link link = linkFor(iniPath, line);
  // As the window warns at start-up: a stored address that does not fit a
  // frame is never sent, and a script hears of it before anything is.
  if (!CVboot::addressFits(link.address)) {
    cli::Console::error(QStringLiteral("calvboot: the stored network address DevAdr=%1 in %2 is out of range "
                                       "(0 to 65535); set it with Setting > Com Adress or give --address")
                            .arg(link.address, iniPath));
    return cli::kExitUsage;
  }
  ProductionConfig production = ProductionConfig::fromIni(iniPath);
  if (line.parser().isSet(QStringLiteral("records"))) production.setOwnRecords(line.parser().value(QStringLiteral("records")));
  if (line.parser().isSet(QStringLiteral("database")))
    production.database = line.parser().value(QStringLiteral("database"));

  cli::Console console;
  ConsoleView consoleView(console);
  std::unique_ptr<Headless> headless;
  std::unique_ptr<CVboot> window;
  ProgramModule* program = nullptr;
  SerialLink* com = nullptr;
  if (line.parser().isSet(QStringLiteral("window"))) {
    window = std::make_unique<CVboot>(folder);
    window->dialogs.messageBox = [](const QString& title, const QString& text, QMessageBox::Icon) {
      cli::Console::box(title, text);
    };
    window->StoreSettings = false;
    window->RecordRuns = false;
    window->Form_Load();
    window->SelectComPort(link.comPort);
    window->SelectSpeed(link.comSpeed);
    window->TxtCalvfile->setText(file);
    program = &window->program();
    com = &window->comForm().link();
  } else {
    headless = std::make_unique<Headless>(folder, iniPath, consoleView);
    program = &headless->program;
    com = &headless->com;
    RSfunctions::InitCommandTable();
  }
  ModuleCommands& commands = window ? window->commands() : headless->commands;
  commands.ComPort = link.comPort;
  commands.ComSpeed = link.comSpeed;
  commands.DevAdr = link.address;
  com->MSComm1().setDeviceOverride(link.device);
  if (!logFile.isEmpty()) {
    com->LogFileName = logFile;
    if (com->LogOn) com->startLog();  // the window's start-up began Log.txt ("Debug" 457)
  }
  if (link.log) {
    // In the window the check box shows it.
    if (window) window->comForm().SetLogOn();
    else com->SetLogOn();
  }

  bool portFailed = false;
  QString portText;  // the first port message, for the record
  com->setPortMessage([&](const QString& text) {
    cli::Console::box(QGuiApplication::applicationDisplayName(), text);
    if (!portFailed) portText = text;
    portFailed = true;
    program->StopRequest = true;
  });
  // A lost adapter is a port failure too (its line on standard error names it).
  QObject::connect(com, &SerialLink::deviceLost, com, [&] {
    portFailed = true;
    program->StopRequest = true;
  });
  platform::StopRequests stop([&] { program->StopRequest = true; });

  ProductionRun productionRun(production,
                              [](const QString& text) { cli::Console::error(QStringLiteral("calvboot: ") + text); });
  const QString device =
      link.device.isEmpty() ? SerialPortControl::deviceForPort(commands.ComPort, iniPath) : link.device;
  // The port is tried once before the pass, so that a missing one ends the
  // run at once instead of after a probe. Such a run is recorded too.
  if (!com->SetupMScomm(commands.ComPort, commands.ComSpeed)) {
    const int status = exitStatus(ProgramModule::RunOutcome::Fault, false, true, stop.exitStatus());
    productionRun.portNotOpened(file, commands.ComPort, device,
                                portText.isEmpty() ? QStringLiteral("Comm Port not open") : portText, status);
    return status;
  }
  com->CloseMScomm();

  if (!productionRun.start(*program, file, commands.ComPort, device)) return kExitDatabase;

  auto outcome = ProgramModule::RunOutcome::Fault;
  int status = cli::kExitOk;
  // The record is on disk before the run shows its end.
  const auto conclude = [&](const QString& finalStatus) {
    status = exitStatus(outcome, !program->CrcFaultBlocks.empty() || program->SerialRefused.has_value(), portFailed,
                        stop.exitStatus());
    productionRun.finish(*program, finalStatus, status);
  };
  if (window) {
    window->show();
    QTimer::singleShot(0, window.get(), [&] {
      outcome = window->BtnStart_Click();
      QTimer::singleShot(cli::kWindowLinger, app.get(), &QCoreApplication::quit);
      conclude(window->LblStatusText->text());
      console.plainLine(window->LblStatusText->text());
    });
    app->exec();
  } else {
    outcome = program->run(file);
    consoleView.passEnded(program->ClaimTime);
    conclude(consoleView.status);
    if (const QString summary = consoleView.transferSummary(); !summary.isEmpty()) console.plainLine(summary);
    console.plainLine(consoleView.status);
  }
  com->CloseMScomm();
  if (program->SerialRefused)
    cli::Console::error(QStringLiteral("calvboot: %1: do not pass the module; the number is spent")
                            .arg(ProductionRun::refusalText(*program->SerialRefused)));
  if (status == kExitCrcMismatch && !program->CrcFaultBlocks.empty()) {
    QStringList blocks;
    for (std::uint8_t b : program->CrcFaultBlocks) blocks << QString::number(b);
    cli::Console::error(QStringLiteral("calvboot: module CRC differed from the file in block(s) ") +
                        blocks.join(u", "));
  }
  return status;
}

}  // namespace ProgramRun

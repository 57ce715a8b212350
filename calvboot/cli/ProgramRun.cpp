#include "ProgramRun.h"

#include "GangRun.h"
#include <cli/RateText.h>
#include "RunEventView.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cli/CommandRun.h>
#include <cli/Console.h>
#include <protocol/ModuleCommands.h>
#include <protocol/RSfunctions.h>
#include <serial/SerialLink.h>
#include <session/CalvSession.h>

#include <algorithm>
#include <chrono>
#include <optional>

namespace {

// The one list of exit statuses: --help prints it, the manual page follows it.
// Continued lines are indented to the text column.
const cli::ExitStatusTable kExitStatuses{
    {QStringLiteral("0"), QStringLiteral("\"Done with succes\", every block's CRC matched")},
    {QStringLiteral("1"), QStringLiteral("the run ended \"Fault\" (a missing or damaged FILE included)")},
    {QStringLiteral("2"), QStringLiteral("the module stopped answering (\"COM timeout\")")},
    {QStringLiteral("3"), QStringLiteral("the port could not be opened, or the adapter was lost or the line\n"
                                         "stopped taking bytes during the run (standard error names the\n"
                                         "device)")},
    {QStringLiteral("5"), QStringLiteral("\"Done with succes\", but a block's CRC differed or the fixture refused\n"
                                         "its serial number (named on standard error): do not pass the\n"
                                         "module")},
    {QStringLiteral("6"), QStringLiteral("the production database could not be reached; nothing was sent")},
    {QStringLiteral("64"), QStringLiteral("usage error: an option or its value, FILE or the --log file not a\n"
                                          "regular file, or the stored DevAdr out of range")},
    {QStringLiteral("128+N"), QStringLiteral("stopped by signal N (130 Ctrl+C, 143 SIGTERM, 129 SIGHUP) after the\n"
                                             "command in flight; a second signal ends the run at once")},
};

// What the run shows: detail lines with the elapsed seconds, the bytes sent
// with the rate and the time left; the bytes sent and the last status are
// printed when the run has ended.
class ConsoleView : public ProgramView {
 public:
  explicit ConsoleView(cli::Console& console) : console_(console) {}
  void setStatusText(const QString&) override {}
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
  // The line's part of the run ended at endedAt: what came after it (the
  // record) and offLine within it (the serial claim) are no programming time.
  void passEnded(std::chrono::steady_clock::time_point endedAt, std::chrono::steady_clock::duration offLine) {
    if (passStart_) passEnd_ = std::max(*passStart_, endedAt - offLine);
  }
  // From the first record to the pass's end, or to now.
  QString transferSummary() const {
    if (!passStart_) return {};
    const double s = passSeconds();
    const QString took = QStringLiteral("in %1 s (%2)").arg(s, 0, 'f', 1).arg(kiloBytesPerSecond(done_, s));
    return done_ >= total_ ? QStringLiteral("Programmed %1 bytes %2").arg(done_).arg(took)
                           : QStringLiteral("Sent %1 of %2 bytes %3").arg(done_).arg(total_).arg(took);
  }

 private:
  double passSeconds() const {
    return std::chrono::duration<double>(passEnd_.value_or(std::chrono::steady_clock::now()) - *passStart_).count();
  }
  cli::Console& console_;
  std::optional<std::chrono::steady_clock::time_point> passStart_, passEnd_;
  qint64 done_ = 0;
  qint64 total_ = 0;
};

}  // namespace

namespace ProgramRun {

int main(int argc, char** argv, cli::WindowApplication makeApplication, const WindowRunMaker& makeWindow) {
  const QStringList aboutLines = CalvSession::aboutText().split(QStringLiteral("\r\n"));
  cli::CommandRun run(argc, argv, makeApplication, QStringLiteral("calvboot"), QStringLiteral("calvboot"),
                      QStringLiteral("Programs the Calvaro module's firmware."),
                      aboutLines.value(0) + u' ' + aboutLines.value(2));
  cli::CommandLine& line = run.line();
  QCommandLineParser& p = line.parser();
  p.addOptions({
      {QStringLiteral("program"), QStringLiteral("Run one programming pass with FILE, as \"Start\" does."),
       QStringLiteral("FILE")},
      {QStringLiteral("address"), QStringLiteral("Network address 0..65535 (this run only)."), QStringLiteral("A")},
      {QStringLiteral("log"),
       QStringLiteral("Write every byte sent and received to Log.txt, or with --log=FILE to FILE (one each for "
                      "runs at the same time).")},
  });
  line.allowOptionalValue(QStringLiteral("log"));
  line.addSlotOptions();
  // Taken by the program before this run when it has its windows.
  p.addOption({QStringLiteral("station"),
               QStringLiteral("Open the station window: a row per port of --ports or --devices (else per present "
                              "port), each unit programmed with --program FILE on its own.")});
  p.addOption(RunEvents::option());
  run.addRunOptions(QStringLiteral("Run the pass visibly in the main window."),
                    QStringLiteral("Append the run's record to the CSV file FILE (this run only)."),
                    QStringLiteral("Keep the record in, and take a fixture's serial number from, the line's database "
                                   "(this run only); exit status 6 when it cannot be reached."));
  if (const auto ended = run.parse(kExitStatuses)) return *ended;

  if (p.isSet(QStringLiteral("station"))) return line.usageError(QStringLiteral("--station: this copy has no window"));
  const QString file = p.value(QStringLiteral("program"));
  if (file.isEmpty()) return line.usageError(QStringLiteral("missing --program FILE.ldr"));
  if (const auto problem = cli::notRegularFile(file)) return line.usageError(QStringLiteral("--program: ") + *problem);
  const bool addressGiven = p.isSet(QStringLiteral("address"));
  if (addressGiven && !CalvSession::addressFits(p.value(QStringLiteral("address"))))
    return line.usageError(QStringLiteral("--address takes a number from 0 to 65535"));
  QString logFile = line.optionalValue(QStringLiteral("log"));
  if (!logFile.isEmpty()) {
    // Each start of the log replaces the file: only ever a regular one.
    logFile = QFileInfo(logFile).absoluteFilePath();
    if (const auto problem = cli::notRegularFile(logFile)) return line.usageError(QStringLiteral("--log: ") + *problem);
  }

  CalvSession session(run.folder());
  SerialLink& com = session.link();
  ProgramModule& program = session.program();
  ModuleCommands& commands = session.commands();
  com.setMessageSink([](const QString& line) { cli::Console::error(line); });
  program.setMessageSink(run.errors());

  // setup.ini as the window reads it at start-up, without storing anything,
  // then the command line's choices on top.
  const CalvSession::StoredLine stored = session.storedLine(false);
  const cli::PortChoice& choice = line.port();
  const std::uint8_t comPort =
      choice.comPort != 0 ? choice.comPort : (stored.comPort >= 1 && stored.comPort <= 16 ? stored.comPort : 1);
  const LineSpeed speed = choice.speed.value_or(stored.speed);
  const QString address = addressGiven ? p.value(QStringLiteral("address")) : stored.address;
  // As the window warns at start-up: a stored address that does not fit a
  // frame is never sent, and a script hears of it before anything is.
  if (const QString refusal = session.storedAddressRefusal(address); !refusal.isEmpty()) {
    cli::Console::error(QStringLiteral("calvboot: ") + refusal);
    return CalvExit::kUsage;
  }
  if (!line.gangPorts().empty()) {
    // Many units at once: each slot's traffic and window would be one more
    // run; a gang run shows its slots on the console only.
    if (run.windowed() || p.isSet(QStringLiteral("log")))
      return line.usageError(QStringLiteral("--ports and --devices run without --window and --log"));
    RSfunctions::InitCommandTable();
    return GangRun::run(run, {file, address, speed, line.gangPorts(), p.isSet(QStringLiteral("json"))});
  }
  // Events are the command line's alone: a window shows its own.
  const bool json = p.isSet(QStringLiteral("json"));
  if (json && run.windowed()) return line.usageError(QStringLiteral("--json runs without --window"));
  session.setCommandLineRun(run.production(), [&run] { return run.stopStatus(); });

  cli::Console& console = run.console();
  ConsoleView consoleView(console);
  std::unique_ptr<WindowRun> window;
  if (run.windowed()) {
    window = makeWindow(session);
    window->prepare(comPort, speed, file);
  } else {
    RSfunctions::InitCommandTable();
  }
  commands.ComPort = comPort;
  commands.ComSpeed = speed.code();
  commands.DevAdr = address;
  session.setDevice(choice.device);
  if (!logFile.isEmpty()) {
    com.LogFileName = logFile;
    if (com.LogOn) com.startLog();  // the window's start-up began Log.txt ("Debug" 457)
  }
  if (stored.log || p.isSet(QStringLiteral("log"))) {
    // In the window the check box shows it.
    if (window) window->setLogOn();
    else com.SetLogOn();
  }

  // A port failure ends the pass after the command in flight, as a stop does.
  session.stopOnPortFailure(run.boxes());
  run.onStop([&] { program.StopRequest = true; });

  // The production line's words go to standard error, whatever part of the run they belong to.
  const MessageSink productionMessage = run.errors();
  const auto anyPhase = [&](CalvSession::Phase, const QString& text) { productionMessage(text); };
  RunEvents events;
  const RunEvents::Slot slot =
      RunEvents::slotFor(choice.device.isEmpty() ? std::optional<int>(comPort) : std::nullopt, session.device());
  RunEventView eventView(events, slot);
  const auto started = std::chrono::steady_clock::now();
  const auto ended = [&](const QString& outcome, int status, std::optional<std::uint32_t> serial) {
    if (json)
      events.end(slot, outcome, status, serial,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return status;
  };
  if (json) events.start(slot, file);
  // The port is tried once before the pass, so that a missing one ends the
  // run at once instead of after a probe. Such a run is recorded too.
  com.clearPortFailure();
  if (!com.SetupMScomm(commands.ComPort, commands.ComSpeed)) {
    return ended(QStringLiteral("port not opened"), session.portNotOpened(file, anyPhase), std::nullopt);
  }
  com.CloseMScomm();

  std::optional<ProgramResult> result;
  if (json) {
    result = session.run(file, eventView, anyPhase);
    if (result && result->outcome != RunOutcome::Done)
      cli::Console::box(ProgramModule::kWarningTitle, ProgramModule::kWarningText);
  } else if (window) {
    run.execute([&] {
      result = window->start(productionMessage);
      if (result) console.plainLine(window->statusText());
    });
  } else {
    result = session.run(file, consoleView, anyPhase);
    if (result) {
      if (result->outcome != RunOutcome::Done)
        cli::Console::box(ProgramModule::kWarningTitle, ProgramModule::kWarningText);
      consoleView.passEnded(result->endedAt, result->claimTime);
      if (const QString summary = consoleView.transferSummary(); !summary.isEmpty()) console.plainLine(summary);
      console.plainLine(result->status);
    }
  }
  com.CloseMScomm();
  if (!result) return ended(QStringLiteral("database not reached"), CalvExit::kDatabase, std::nullopt);
  const int status = session.exitStatus(*result);
  for (const QString& reason : CalvSession::notPassedReasons(*result, status))
    cli::Console::error(QStringLiteral("calvboot: ") + reason);
  return ended(result->status, status, result->serialWritten);
}

}  // namespace ProgramRun

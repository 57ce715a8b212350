#include "UploadRun.h"

#include <QFile>

#include <chrono>
#include <optional>

#include <cli/CommandRun.h>
#include <cli/RunEvents.h>
#include <serial/SerialLink.h>

#include "ProgramIdentity.h"
#include "ProductTable.h"
#include "RomliftSession.h"
#include "StartupSettings.h"
#include "UploadEvents.h"
#include "UploadGang.h"
#include "UploadSteps.h"

namespace {

constexpr long kDefaultBootWait = 120;  // seconds

// --help's list; the manual page's EXIT STATUS follows it (a test holds them together).
const cli::ExitStatusTable kExitStatuses{
    {QStringLiteral("0"), QStringLiteral("\"Updated with success\"")},
    {QStringLiteral("1"), QStringLiteral("\"Update Failed\": no \"OK\" within 5 s of the last line, or FILE\n"
                                         "could not be read to its end")},
    {QStringLiteral("2"), QStringLiteral("\"Wrong File\": the boot loader refused a line")},
    {QStringLiteral("3"), QStringLiteral("the port could not be opened, or the adapter was lost or the line\n"
                                         "stopped taking bytes during the run (standard error names the\n"
                                         "device)")},
    {QStringLiteral("4"), QStringLiteral("no boot loader announced itself within --wait-boot")},
    {QStringLiteral("5"), QStringLiteral("FILE is missing, unreadable or not valid for any product")},
    {QStringLiteral("64"), QStringLiteral("usage error: an option or its value, or FILE not a regular file")},
    {QStringLiteral("128+N"), QStringLiteral("stopped by signal N (130 Ctrl+C, 143 SIGTERM, 129 SIGHUP); a second\n"
                                             "signal ends the run at once")},
};

// The first line is not a product's and the file ends its lines with LF only.
bool lfOnly(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return false;
  const QByteArray bytes = f.read(1 << 20);
  return bytes.contains('\n') && !bytes.contains('\r');
}

// The dialogue's log as console lines: each completed text on its own line
// with the elapsed seconds, the dots of sent lines as a progress line.
class ConsoleView : public UploadView {
 public:
  ConsoleView(cli::Console& console, int totalLines) : console_(console), total_(totalLines) {}
  void setLogText(const QString& text) override { appendLogText(text); }
  void appendLogText(const QString& text) override {
    if (text == QStringLiteral(" .")) {
      console_.progress(++sent_, total_);
      return;
    }
    for (const QString& part : QString(text).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) console_.line(part);
  }
  void repaintLog() override {}
  void setPortCaption(const QString&) override {}
  void setUploadEnabled(bool) override {}

 private:
  cli::Console& console_;
  int total_;
  int sent_ = 0;
};

}  // namespace

namespace UploadRun {

int main(int argc, char** argv, const Window& window) {
  const ProgramIdentity id = ProgramIdentity::romlift();
  cli::CommandRun run(argc, argv, window.application, QStringLiteral("romlift"), QStringLiteral("Romlift"),
                      QStringLiteral("Uploads S-record firmware through a product's boot loader."),
                      id.title + u' ' + id.versionText());
  QCommandLineParser& p = run.line().parser();
  p.addOptions({
      {QStringLiteral("upload"), QStringLiteral("Check FILE, wait for the boot loader and upload FILE."),
       QStringLiteral("FILE")},
      {QStringLiteral("wait-boot"), QStringLiteral("Wait at most SECONDS for the boot loader (default 120)."),
       QStringLiteral("SECONDS")},
      {QStringLiteral("delay"), QStringLiteral("Pause after each line in ms, at least 150 (this run only)."),
       QStringLiteral("MS")},
  });
  run.line().addSlotOptions();
  p.addOption(cli::RunEvents::option());
  run.addRunOptions(QStringLiteral("Run the upload visibly in the window."),
                    QStringLiteral("Append the upload's record to the CSV file FILE (this run only)."),
                    QStringLiteral("Keep the upload's record in the line's database (this run only)."));
  if (const auto ended = run.parse(kExitStatuses)) return *ended;
  // Each slot's window would be one more run.
  if (!run.line().gangPorts().empty() && run.windowed())
    return run.line().usageError(QStringLiteral("--ports and --devices run without --window"));
  // Events are the command line's alone: a window shows its own.
  const bool json = p.isSet(QStringLiteral("json"));
  if (json && run.windowed()) return run.line().usageError(QStringLiteral("--json runs without --window"));

  const QString file = p.value(QStringLiteral("upload"));
  if (file.isEmpty()) return run.line().usageError(QStringLiteral("missing --upload FILE.s19"));
  if (const auto problem = cli::notRegularFile(file))
    return run.line().usageError(QStringLiteral("--upload: ") + *problem);
  std::optional<long> waitBoot = kDefaultBootWait;
  if (p.isSet(QStringLiteral("wait-boot"))) {
    waitBoot = cli::CommandLine::wholeNumber(p.value(QStringLiteral("wait-boot")), 0, 86400);
    if (!waitBoot) return run.line().usageError(QStringLiteral("--wait-boot takes a number of seconds"));
  }
  std::optional<std::int16_t> delay;
  if (p.isSet(QStringLiteral("delay"))) {
    const auto ms = cli::CommandLine::wholeNumber(p.value(QStringLiteral("delay")), 0, StartupSettings::kMaxLineDelay);
    if (!ms) return run.line().usageError(QStringLiteral("--delay takes a number of milliseconds up to 32767"));
    delay = std::max<std::int16_t>(std::int16_t(*ms), StartupSettings::kMinLineDelay);
  }

  cli::Console& console = run.console();
  // With --json standard output carries the events alone: the file check's
  // lines go with the messages.
  const auto tell = [&](const QString& text) {
    if (json) cli::Console::error(text);
    else console.line(text);
  };
  // The start-up reads store nothing: the run writes only the upload report.
  RomliftSession session(RomliftSession::Start::CommandLine, run.folder(), run.errors());
  session.link().setMessageSink([](const QString& line) { cli::Console::error(line); });
  if (!session.load(file)) {
    run.errors()(QStringLiteral("cannot read %1").arg(file));
    if (json) cli::Console::error(SrecordCheck::kNotValidVerdict);
    else console.plainLine(SrecordCheck::kNotValidVerdict);
    return RomliftSession::kExitNotValid;
  }
  const SrecordCheck& check = session.fileCheck();
  if (const Product* product = ProductTable::forCode(check.ProductCode))
    tell(QString::fromLatin1(product->displayName));
  tell(check.Verdict);
  for (const QString& text : check.BootInstructions.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) tell(text);
  if (!check.FileValid) {
    if (lfOnly(file))
      run.errors()(QStringLiteral(
          "the file's lines end with LF only; the boot loaders' files use CR LF (convert with: unix2dos %1)")
                       .arg(file));
    return RomliftSession::kExitNotValid;
  }

  const UploadSteps::Choices choices{delay, *waitBoot, run.production()};
  if (!run.line().gangPorts().empty()) return UploadGang::run(run, file, run.line().gangPorts(), choices, json);
  UploadSteps::prepare(session, run.line().port(), choices);

  const int totalLines = UploadSteps::lineCount(file);
  ConsoleView consoleView(console, totalLines);
  cli::RunEvents events;
  const cli::RunEvents::Slot slot = cli::RunEvents::slotFor(
      run.line().port().device.isEmpty() ? std::optional<int>(session.comPort()) : std::nullopt, session.device());
  UploadEventView eventView(events, slot, totalLines);
  std::unique_ptr<QObject> shown;
  if (run.windowed()) shown = window.open(session);
  else if (json) session.dialogue().setView(&eventView);
  else session.dialogue().setView(&consoleView);
  // Boxes and the record's words are lines on standard error, window or not.
  session.link().setPortMessage(run.boxes());
  session.setRecordMessages(run.errors());
  // As the port button (during the wait) or "Cancel Upload" would.
  run.onStop([&] { session.requestStop(run.stopStatus()); });

  UploadEnd end = UploadEnd::NotStarted;
  const auto started = std::chrono::steady_clock::now();
  if (json) events.start(slot, file);
  run.execute([&] {
    const UploadSteps::Outcome outcome = UploadSteps::run(session, *waitBoot, run.errors());
    end = outcome.end;
    if (json) {
      events.end(slot, UploadSteps::endText(session, outcome), session.exitStatus(end), std::nullopt,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    } else if (run.windowed()) {
      for (const QString& text : session.dialogue().logText().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
        console.line(text);
      console.plainLine(outcome.finalLine);
    } else if (!outcome.finalLine.isEmpty()) {
      console.plainLine(outcome.finalLine);
    }
  });
  return session.exitStatus(end);
}

}  // namespace UploadRun

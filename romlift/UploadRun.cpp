#include "UploadRun.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <cli/CommandLine.h>
#include <serial/ComForm.h>
#include <serial/SerialLink.h>
#include <cli/Console.h>
#include <settings/IniFileHandler.h>
#include <text/LineReader.h>
#include <cli/PortList.h>
#include <serial/SerialPortControl.h>
#include <settings/SettingsFolder.h>
#include <platform/StopRequests.h>

#include <memory>

#include "LoaderForm.h"
#include "ProductTable.h"
#include "SerialAbout.h"
#include "SrecordCheck.h"
#include "StartupSettings.h"
#include "UploadDialogue.h"
#include "UploadRecord.h"

namespace {

constexpr long kDefaultBootWait = 120;  // seconds
const QString kPortClosed = QStringLiteral("Port closed");

int lineCount(const QString& path) {
  LineReader in(LineEnd::CrOrCrLf);
  if (!in.open(path)) return 0;
  int n = 0;
  while (!in.atEnd() && in.readLine()) ++n;
  return n;
}

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
    log += text;
    if (text == QStringLiteral(" .")) {
      console_.progress(++sent_, total_);
      return;
    }
    for (const QString& part : QString(text).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) console_.line(part);
  }
  void repaintLog() override {}
  void setPortCaption(const QString&) override {}
  void setUploadEnabled(bool) override {}
  QString log;

 private:
  cli::Console& console_;
  int total_;
  int sent_ = 0;
};

// The one table from how a run ended to its exit status.
// stopStatus: 128 + the signal that stopped the run, or 0.
int exitStatus(UploadEnd end, bool portFailed, int stopStatus) {
  if (portFailed) return UploadRun::kExitPort;
  switch (end) {
    case UploadEnd::Succeeded: return cli::kExitOk;
    case UploadEnd::WrongFile: return UploadRun::kExitWrongFile;
    case UploadEnd::Cancelled: return stopStatus != 0 ? stopStatus : cli::kExitInterrupted;
    case UploadEnd::NoBootLoader: return UploadRun::kExitNoBootLoader;
    case UploadEnd::PortLost: return UploadRun::kExitPort;  // the line named on standard error
    case UploadEnd::Failed:
    case UploadEnd::NotStarted: break;
  }
  return UploadRun::kExitFailed;
}

// The last line of the log worth ending on: the result, not "Port closed".
QString lastWord(const QString& log) {
  QStringList lines = log.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
  while (lines.size() > 1 && (lines.last() == kPortClosed || lines.last().trimmed() == u"."))
    lines.removeLast();
  return lines.isEmpty() ? QString() : lines.last().trimmed();
}

}  // namespace

namespace UploadRun {

int main(int argc, char** argv) {
  auto app = cli::makeApplication(argc, argv, cli::windowApplication<QApplication>);
  QApplication::setApplicationName(QStringLiteral("romlift"));
  QApplication::setApplicationDisplayName(QStringLiteral("Romlift"));
  const SerialAbout::Identity id = SerialAbout::programIdentity();
  cli::CommandLine line(QStringLiteral("Uploads S-record firmware through a product's boot loader."),
                        id.title + u' ' + SerialAbout::versionText(id.major, id.minor, id.revision));
  line.parser().addOptions({
      {QStringLiteral("upload"), QStringLiteral("Check FILE, wait for the boot loader and upload FILE."),
       QStringLiteral("FILE")},
      {QStringLiteral("wait-boot"), QStringLiteral("Wait at most SECONDS for the boot loader (default 120)."),
       QStringLiteral("SECONDS")},
      {QStringLiteral("delay"), QStringLiteral("Pause after each line in ms, at least 150 (this run only)."),
       QStringLiteral("MS")},
      {QStringLiteral("window"), QStringLiteral("Run the upload visibly in the window.")},
      {QStringLiteral("records"), QStringLiteral("Append the upload's record to the CSV file FILE (this run only)."),
       QStringLiteral("FILE")},
      {QStringLiteral("database"), QStringLiteral("Keep the upload's record in the line's database (this run only)."),
       QStringLiteral("URI")},
  });
  // Continued lines are indented to the text column.
  line.setExitStatuses({
      QStringLiteral("0      \"Updated with success\""),
      QStringLiteral("1      \"Update Failed\": no \"OK\" within 5 s of the last line, or FILE\n"
                     "         could not be read to its end"),
      QStringLiteral("2      \"Wrong File\": the boot loader refused a line"),
      QStringLiteral("3      the port could not be opened, or the adapter was lost or the line\n"
                     "         stopped taking bytes during the run (standard error names the\n"
                     "         device)"),
      QStringLiteral("4      no boot loader announced itself within --wait-boot"),
      QStringLiteral("5      FILE is missing, unreadable or not valid for any product"),
      QStringLiteral("64     usage error: an option or its value, or FILE not a regular file"),
      QStringLiteral("128+N  stopped by signal N (130 Ctrl+C, 143 SIGTERM, 129 SIGHUP); a second\n"
                     "         signal ends the run at once"),
  });
  if (const auto ended = line.parse(QCoreApplication::arguments())) return *ended;

  const QString folder = SettingsFolder::forProgram(QStringLiteral("romlift"), cli::Console::error);
  const QString iniPath = QDir(folder).filePath(QStringLiteral("setup.ini"));
  if (line.listPorts()) {
    cli::listPorts(iniPath);
    return cli::kExitOk;
  }
  QCommandLineParser& p = line.parser();
  const QString file = p.value(QStringLiteral("upload"));
  if (file.isEmpty()) return line.usageError(QStringLiteral("missing --upload FILE.s19"));
  if (const auto problem = cli::notRegularFile(file)) return line.usageError(QStringLiteral("--upload: ") + *problem);
  std::optional<long> waitBoot = kDefaultBootWait;
  if (p.isSet(QStringLiteral("wait-boot"))) {
    waitBoot = cli::CommandLine::wholeNumber(p.value(QStringLiteral("wait-boot")), 0, 86400);
    if (!waitBoot) return line.usageError(QStringLiteral("--wait-boot takes a number of seconds"));
  }
  std::optional<std::int16_t> delay;
  if (p.isSet(QStringLiteral("delay"))) {
    const auto ms = cli::CommandLine::wholeNumber(p.value(QStringLiteral("delay")), 0, StartupSettings::kMaxLineDelay);
    if (!ms) return line.usageError(QStringLiteral("--delay takes a number of milliseconds up to 32767"));
    delay = std::max<std::int16_t>(std::int16_t(*ms), StartupSettings::kMinLineDelay);
  }

  cli::Console console;
  SrecordCheck check;
  if (!check.Load(file)) {
    cli::Console::error(QStringLiteral("romlift: cannot read %1").arg(file));
    console.plainLine(SrecordCheck::kNotValidVerdict);
    return kExitNotValid;
  }
  if (const Product* product = ProductTable::forCode(check.ProductCode))
    console.line(QString::fromLatin1(product->displayName));
  console.line(check.Verdict);
  for (const QString& text : check.BootInstructions.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
    console.line(text);
  if (!check.FileValid) {
    if (lfOnly(file))
      cli::Console::error(QStringLiteral(
          "romlift: the file's lines end with LF only; the boot loaders' files use CR LF (convert with: unix2dos %1)")
                              .arg(file));
    return kExitNotValid;
  }

  // Start-up reads store nothing: the run writes only the upload report.
  const auto read = [&iniPath](const char* section, const char* key, const char* fallback) {
    return IniFileHandler::ReadIniValueOrDefault(QString::fromLatin1(section), QString::fromLatin1(key),
                                                 QString::fromLatin1(fallback), iniPath);
  };
  std::uint8_t comPort = StartupSettings::comPortFromText(read("ComSettings", "ComPort", "1"));
  if (comPort < 1 || comPort > LoaderForm::kPortCount) comPort = 1;
  if (line.port().comPort != 0) comPort = line.port().comPort;
  const std::uint8_t speed = line.port().speedCode.value_or(0);

  ConsoleView consoleView(console, lineCount(file));
  std::unique_ptr<SerialLink> headlessCom;
  std::unique_ptr<UploadDialogue> headlessUpload;
  std::unique_ptr<LoaderForm> window;
  if (p.isSet(QStringLiteral("window"))) {
    window = std::make_unique<LoaderForm>(folder);
    window->StoreSettings = false;
    window->RecordRuns = false;
    window->Form_Load();
    window->SelectComPort(comPort);
    window->SelectSpeed(speed);
    window->setFileChooser([file] { return file; });
    window->Load_Click();
    window->show();
  } else {
    headlessCom = std::make_unique<SerialLink>(SerialLink::ReceiveMode::Uploader, folder);
    headlessUpload = std::make_unique<UploadDialogue>(*headlessCom, consoleView, iniPath);
    headlessUpload->LineDelay = StartupSettings::lineDelayFromText(read("Romlifter", "Delay", "350"));
  }
  SerialLink& com = window ? window->comForm().link() : *headlessCom;
  UploadDialogue& upload = window ? window->uploadDialogue() : *headlessUpload;
  if (delay) upload.LineDelay = *delay;
  upload.setBootWaitLimit(std::chrono::seconds{*waitBoot});
  com.MSComm1().setDeviceOverride(line.port().device);

  bool portFailed = false;
  QString portText;  // the first port message, for the record
  com.setPortMessage([&](const QString& text) {
    cli::Console::box(QGuiApplication::applicationDisplayName(), text);
    if (!portFailed) portText = text;
    portFailed = true;
  });
  // As the port button (during the wait) or "Cancel Upload" would.
  platform::StopRequests stop([&] { upload.StopRequest = true; });

  ProductionConfig production = ProductionConfig::fromIni(iniPath);
  if (p.isSet(QStringLiteral("records"))) production.setOwnRecords(p.value(QStringLiteral("records")));
  if (p.isSet(QStringLiteral("database"))) production.database = p.value(QStringLiteral("database"));
  UploadRecord record(production, [](const QString& text) { cli::Console::error(QStringLiteral("romlift: ") + text); });

  UploadEnd end = UploadEnd::NotStarted;
  QString finalLine;
  const QString device = line.port().device.isEmpty() ? SerialPortControl::deviceForPort(comPort, iniPath)
                                                      : line.port().device;
  auto runUpload = [&] {
    // The port button, with the run's port and speed.
    const std::optional<UploadEnd> waited = window ? window->Commport_Click() : upload.Commport_Click(comPort, speed);
    if (portFailed) {
      end = UploadEnd::NotStarted;
      record.portNotOpened(UploadFile{check.FileValid, check.FileName, check.ProductCode}, comPort, device,
                           portText, exitStatus(end, portFailed, stop.exitStatus()));
    } else if (!upload.BootReady) {
      end = waited.value_or(UploadEnd::Cancelled);
      finalLine = kPortClosed;
      if (end == UploadEnd::NoBootLoader)
        cli::Console::error(QStringLiteral("romlift: no boot loader within %1 s").arg(*waitBoot));
    } else {
      record.begin(UploadFile{check.FileValid, check.FileName, check.ProductCode}, comPort, device);
      upload.EndReached = [&](UploadEnd ending) {
        record.end(upload, ending, exitStatus(ending, portFailed, stop.exitStatus()));
      };
      end = window ? window->BtnUpload_Click()
                   : upload.BtnUpload_Click(UploadFile{check.FileValid, check.FileName, check.ProductCode});
      finalLine = lastWord(window ? window->serinputText() : consoleView.log);
    }
    com.CloseMScomm();
  };
  if (window) {
    QTimer::singleShot(0, window.get(), [&] {
      runUpload();
      for (const QString& text : window->serinputText().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
        console.line(text);
      console.plainLine(finalLine);
      QTimer::singleShot(cli::kWindowLinger, app.get(), &QCoreApplication::quit);
    });
    app->exec();
  } else {
    runUpload();
    if (!finalLine.isEmpty()) console.plainLine(finalLine);
  }
  return exitStatus(end, portFailed, stop.exitStatus());
}

}  // namespace UploadRun

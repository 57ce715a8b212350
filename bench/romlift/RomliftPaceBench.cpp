// romlift_pace_bench [--smoke] BAUD [LINES]: romlift's window uploads LINES
// S1 records (16 data bytes each) with Delay 150 to bootsim --baud BAUD, which
// reports the silence between lines on its wire clock. Also romlift's share
// of a core during the upload.
// romlift_pace_bench [--smoke] --boot-wait SECONDS: romlift's share of a core
// while it waits SECONDS for a boot loader to announce itself.
#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <serial/SerialLink.h>
#include <settings/IniFileHandler.h>
#include <romlift/LoaderForm.h>
#include <romlift/RomliftSession.h>
#include <sim/bootsim/SRecord.h>

#include <vector>

#include <bench/BenchSupport.h>
#include "BootSimBench.h"

namespace {

struct Folder {
  QTemporaryDir dir;
  QString ini() const { return dir.filePath(QStringLiteral("setup.ini")); }
  bool prepare(const QString& pty, int records) {
    IniFileHandler::WriteIniValue(QStringLiteral("Ports"), QStringLiteral("COM1"), pty, ini());
    IniFileHandler::WriteIniValue(QStringLiteral("Romlifter"), QStringLiteral("Delay"), QString::number(kDelayMs),
                                  ini());
    QFile f(file());
    if (!f.open(QIODevice::WriteOnly)) return false;
    return f.write(makeFile(records)) > 0;
  }
  QString file() const { return dir.filePath(QStringLiteral("bench.s19")); }
};

void failed(const QString& figure, bool smoke) { bench::row(figure, "-", "run failed", smoke ? "-" : "no"); }

void pace(long baud, int records, bool smoke) {
  const QString what = QStringLiteral("%1-line upload at %2 baud").arg(records).arg(baud);
  Folder folder;
  BootSim sim;
  if (!folder.dir.isValid() || !sim.start({"--announce-repeat", "50", "--baud", QString::number(baud)}) ||
      !folder.prepare(sim.pty(), records))
    return failed(what, smoke);

  RomliftSession session(RomliftSession::Start::Window, folder.dir.path(), {});
  LoaderForm form(session);
  session.link().setPortMessage([](const QString& text) { std::fprintf(stderr, "%s\n", qPrintable(text)); });
  form.Form_Load();
  form.SelectSpeed(LineSpeed::fromText(QString::number(baud)).value_or(LineSpeed(LineSpeed::Baud115200)));
  const QString path = folder.file();
  form.setFileChooser([path] { return path; });
  form.Load_Click();
  form.Commport->click();
  if (!form.uploadDialogue().BootReady) return failed(what, smoke);

  const double cpu0 = bench::cpuSeconds();
  const auto start = bench::Clock::now();
  form.BtnUpload->click();
  const double wall = bench::since(start), share = 100.0 * (bench::cpuSeconds() - cpu0) / wall;
  const QString report = sim.finish();
  const std::optional<Gaps> gaps = gapsOf(report);
  if (!gaps) return failed(what, smoke);
  gapRow(QStringLiteral("%1: gaps on bootsim's wire clock").arg(what), gaps, smoke);
  bench::row(QStringLiteral("romlift processor share, %1").arg(what), "< 10 %",
             QStringLiteral("%1 %").arg(share, 0, 'f', 2), bench::met(smoke, share < 10));
}

void bootWait(double seconds, bool smoke) {
  const QString what = QStringLiteral("romlift processor share, %1 s wait for the boot loader").arg(seconds, 0, 'f', 1);
  Folder folder;
  BootSim sim;
  if (!folder.dir.isValid() || !sim.start({"--announce-delay", QString::number(int(seconds * 1000))}) ||
      !folder.prepare(sim.pty(), 1))
    return failed(what, smoke);
  RomliftSession session(RomliftSession::Start::Window, folder.dir.path(), {});
  LoaderForm form(session);
  form.Form_Load();
  const double cpu0 = bench::cpuSeconds();
  const auto start = bench::Clock::now();
  form.Commport->click();  // returns once "..." has come
  const double wall = bench::since(start), share = 100.0 * (bench::cpuSeconds() - cpu0) / wall;
  sim.finish();
  if (!form.uploadDialogue().BootReady) return failed(what, smoke);
  bench::row(what, "< 2 %", QStringLiteral("%1 %").arg(share, 0, 'f', 2), bench::met(smoke, share < 2));
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const bool smoke = bench::smokeRun(argc, argv);
  QList<double> numbers;
  bool boot = false;
  for (int i = 1; i < argc; ++i) {
    if (QByteArray(argv[i]) == "--boot-wait") boot = true;
    else if (const double v = QByteArray(argv[i]).toDouble(); v > 0) numbers << v;
  }
  if (boot) {
    bootWait(numbers.value(0, 12.0), smoke);
  } else {
    pace(long(numbers.value(0, 115200)), int(numbers.value(1, 2000)), smoke);
  }
  return 0;
}

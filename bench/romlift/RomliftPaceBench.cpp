// Measures the pace of an upload: romlift's window sends a file of S1 records
// to bootsim, which reports the silence between lines as it saw it. At a real
// baud rate a line still travels while the pause runs, so the silence on the
// line is the pause less the line's transmit time.
//
// usage: romlift_pace_bench [records (default 100)] [delay ms (default 150)]
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>

#include <ComForm.h>
#include <IniFileHandler.h>
#include <LoaderForm.h>
#include <SRecord.h>

#include <cstdio>
#include <vector>

#include <BootSimProcess.h>

namespace {

QByteArray makeFile(int records) {
  QByteArray out = "S008000044562D3900F7\r\n";  // DV-9
  std::vector<std::uint8_t> data(32);
  for (int r = 0; r < records; ++r) {
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(r * 31 + i * 7);
    out += QByteArray::fromStdString(SRecord::make('1', std::uint32_t(r * data.size()), data)) + "\r\n";
  }
  return out + "S9030000FC\r\n";
}

bool runOnce(long baud, int records, int delayMs) {
  QTemporaryDir dir;
  BootSimProcess sim;
  QStringList args{QStringLiteral("--announce-repeat"), QStringLiteral("50")};
  if (baud > 0) args << QStringLiteral("--baud") << QString::number(baud);
  if (!dir.isValid() || !sim.start(args)) return false;

  const QString ini = dir.filePath(QStringLiteral("setup.ini"));
  IniFileHandler::WriteIniValue(QStringLiteral("Ports"), QStringLiteral("COM1"), sim.slavePath(), ini);
  IniFileHandler::WriteIniValue(QStringLiteral("Romlifter"), QStringLiteral("Delay"), QString::number(delayMs), ini);
  const QString path = dir.filePath(QStringLiteral("bench.s19"));
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly)) return false;
  f.write(makeFile(records));
  f.close();

  LoaderForm form(dir.path());
  form.comForm().setPortMessage([](const QString& text) { std::fprintf(stderr, "%s\n", qPrintable(text)); });
  form.Form_Load();
  // Fast enough for the line: the paced runs open at the baud they pace.
  form.SelectSpeed(baud == 9600 ? 0 : baud == 57600 ? 1 : 2);
  form.setFileChooser([path] { return path; });
  form.Load_Click();
  form.Commport->click();
  if (!form.uploadDialogue().BootReady) return false;

  QElapsedTimer clock;
  clock.start();
  form.BtnUpload->click();
  const double seconds = clock.elapsed() / 1000.0;
  const QString report = sim.finish();
  const auto gaps = BootSimProcess::gaps(report);
  const int lines = BootSimProcess::linesTaken(report);
  std::printf("%-9s %6d %8.2f %8.1f %8.1f %8.1f %8.1f  %s\n",
              baud > 0 ? qPrintable(QString::number(baud)) : "unpaced", lines, seconds, lines / seconds,
              gaps ? gaps->min : 0.0, gaps ? gaps->median : 0.0, gaps ? gaps->max : 0.0,
              qPrintable(BootSimProcess::verdict(report)));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int records = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  const int delayMs = argc > 2 ? std::max(150, std::atoi(argv[2])) : 150;
  std::printf("%d S1 records of 32 bytes (76-byte lines with CR LF), Delay %d ms\n", records, delayMs);
  std::printf("%-9s %6s %8s %8s %8s %8s %8s  %s\n", "baud", "lines", "seconds", "lines/s", "gap min",
              "median", "max", "bootsim verdict");
  for (long baud : {0L, 115200L, 9600L})
    if (!runOnce(baud, records, delayMs)) std::printf("%ld: run failed\n", baud);
  return 0;
}

// calvboot_bench [BAUD ...]: runs the whole programming sequence on the
// two-block sample against calvsim --baud BAUD (default 9600 57600 115200)
// and prints the run time beside the wire time of the frames sent.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <ComForm.h>
#include <EventYield.h>
#include <ImageBuffer.h>
#include <ModuleCommands.h>
#include <ProgramModule.h>
#include <RSfunctions.h>

#include <chrono>
#include <cstdio>

namespace {

class QuietView : public ProgramView {
 public:
  QString last;
  void setStatusText(const QString& text) override { last = text; }
  void setProgress(float) override {}
  void showWarning(const QString&, const QString&) override {}
};

void benchOne(int baud) {
  QTemporaryDir dir;
  const QString trace = dir.filePath("trace.txt");
  QProcess sim;
  sim.start(QStringLiteral(CALVSIM_PATH), {"--baud", QString::number(baud), "--trace", trace});
  const auto startDeadline = std::chrono::steady_clock::now() + std::chrono::seconds{5};
  while (!sim.canReadLine() && std::chrono::steady_clock::now() < startDeadline) sim.waitForReadyRead(100);
  const QString pty = QString::fromLocal8Bit(sim.readLine()).trimmed();
  if (pty.isEmpty()) {
    std::printf("baud %6d: calvsim did not start\n", baud);
    return;
  }
  QFile ini(dir.filePath("setup.ini"));
  if (ini.open(QIODevice::WriteOnly)) ini.write("[Ports]\r\nCOM1=" + pty.toLocal8Bit() + "\r\n");
  ini.close();

  RSfunctions::InitCommandTable();
  ComForm com(ComForm::Host::Calvboot, dir.path());
  com.setPortMessage([](const QString& t) { std::fprintf(stderr, "port: %s\n", qPrintable(t)); });
  ImageBuffer image;
  ModuleCommands commands(com, image);
  commands.ComPort = 1;
  commands.ComSpeed = baud >= 115200 ? 2 : baud >= 57600 ? 1 : 0;
  QuietView view;
  ProgramModule program(commands, image, view, dir.filePath("setup.ini"));

  const auto start = std::chrono::steady_clock::now();
  const bool ok = program.run(QStringLiteral(SAMPLE_PATH));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sim.terminate();
  sim.waitForFinished(5000);

  qint64 frames = 0, bytes = 0;
  QFile t(trace);
  if (t.open(QIODevice::ReadOnly))
    for (const QByteArray& line : t.readAll().split('\n'))
      if (!line.trimmed().isEmpty()) {
        ++frames;
        bytes += QByteArray::fromHex(line.trimmed()).size();
      }
  const double wire = double(bytes) * 10.0 / baud;
  std::printf("baud %6d: %s, %lld frames, %lld bytes sent, wire time of the frames %.2f s, run %.2f s "
              "(%.1f%% of the run), %.1f ms per frame for the reply, the port reopen and turnaround\n",
              baud, ok ? "Done with succes" : qPrintable(view.last), static_cast<long long>(frames),
              static_cast<long long>(bytes), wire, seconds, seconds > 0 ? wire / seconds * 100.0 : 0.0,
              frames ? (seconds - wire) / double(frames) * 1000.0 : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QList<int> bauds;
  for (int i = 1; i < argc; ++i) bauds << QByteArray(argv[i]).toInt();
  if (bauds.isEmpty()) bauds = {9600, 57600, 115200};
  for (int baud : bauds)
    if (baud > 0) benchOne(baud);
  return 0;
}

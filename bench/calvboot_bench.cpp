// calvboot_bench [--smoke] [--cli] [BAUD ...]: programs a two-block image
// (128 KiB of data) against calvsim --baud BAUD and compares the run with the
// line's floor, counted by calvsim: every byte both ways at 10 bits, plus the
// pauses calvsim was told to make. In-process through ProgramModule on a real
// QSerialPort, or with --cli through the calvboot program's --program run.
// Also reports calvboot's share of a core during the run.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <protocol/FrameRule.h>
#include <serial/SerialLink.h>
#include <protocol/ModuleCommands.h>
#include <programming/ProgramModule.h>
#include <protocol/RSfunctions.h>

#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "BenchSupport.h"

extern char** environ;

namespace {

class QuietView : public ProgramView {
 public:
  QString last;
  void setStatusText(const QString& text) override { last = text; }
  void setProgress(float) override {}
};

struct Run {
  bool ok = false;
  double wall = 0, cpu = 0;
  bench::LineCount line;
};

// The real calvboot program, its processor time from the kernel's account of the child.
bool runCli(const QString& file, const QString& device, int baud, double& cpu) {
  const QByteArray program = CALVBOOT_PATH, fileArg = file.toLocal8Bit(), deviceArg = device.toLocal8Bit(),
                   speed = QByteArray::number(baud);
  char* args[] = {const_cast<char*>(program.constData()), const_cast<char*>("--program"),
                  const_cast<char*>(fileArg.constData()),  const_cast<char*>("--device"),
                  const_cast<char*>(deviceArg.constData()), const_cast<char*>("--speed"),
                  const_cast<char*>(speed.constData()),     nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  cpu = bench::seconds(usage.ru_utime) + bench::seconds(usage.ru_stime);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Run programOnce(int baud, const QString& file, bool cli) {
  Run run;
  QTemporaryDir dir;
  const QString counters = dir.filePath("counters.txt");
  QProcess sim;
  sim.start(QStringLiteral(CALVSIM_PATH), {"--baud", QString::number(baud), "--counters", counters});
  const auto startDeadline = bench::Clock::now() + std::chrono::seconds{5};
  while (!sim.canReadLine() && bench::Clock::now() < startDeadline) sim.waitForReadyRead(100);
  const QString pty = QString::fromLocal8Bit(sim.readLine()).trimmed();
  if (pty.isEmpty()) return run;

  if (cli) {
    const auto start = bench::Clock::now();
    run.ok = runCli(file, pty, baud, run.cpu);
    run.wall = bench::since(start);
  } else {
    QFile ini(dir.filePath("setup.ini"));
    if (ini.open(QIODevice::WriteOnly)) ini.write("[Ports]\r\nCOM1=" + pty.toLocal8Bit() + "\r\n");
    ini.close();
    RSfunctions::InitCommandTable();
    SerialLink com(std::make_unique<FrameRule>(), dir.path());
    com.setPortMessage([](const QString& t) { std::fprintf(stderr, "port: %s\n", qPrintable(t)); });
    ModuleCommands commands(com);
    commands.ComPort = 1;
    commands.ComSpeed = baud >= 115200 ? 2 : baud >= 57600 ? 1 : 0;
    QuietView view;
    ProgramModule program(commands, view, dir.filePath("setup.ini"));
    const double cpu0 = bench::cpuSeconds();
    const auto start = bench::Clock::now();
    run.ok = program.run(file).outcome == RunOutcome::Done;
    run.wall = bench::since(start);
    run.cpu = bench::cpuSeconds() - cpu0;
    if (!run.ok) std::fprintf(stderr, "calvboot_bench: %s\n", qPrintable(view.last));
  }
  sim.terminate();
  sim.waitForFinished(5000);
  run.line = bench::readCounters(counters);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const bool smoke = bench::smokeRun(argc, argv);
  bool cli = false;
  QString note;  // --note TEXT: said after each figure, for a run under other conditions
  QList<int> bauds;
  for (int i = 1; i < argc; ++i) {
    if (QByteArray(argv[i]) == "--cli") cli = true;
    else if (QByteArray(argv[i]) == "--note" && i + 1 < argc) note = QStringLiteral(", ") + QString::fromLocal8Bit(argv[++i]);
    else if (const int b = QByteArray(argv[i]).toInt(); b > 0) bauds << b;
  }
  if (bauds.isEmpty()) bauds = {9600, 57600, 115200};

  QTemporaryDir dir;
  const QString file = dir.filePath("two-block.ldr");
  QFile f(file);
  if (!f.open(QIODevice::WriteOnly)) return 1;
  f.write(bench::ldrImage(2, smoke ? 256 : 65536));
  f.close();

  for (const int baud : bauds) {
    const Run r = programOnce(baud, file, cli);
    const QString how = cli ? QStringLiteral("calvboot --program") : QStringLiteral("programming");
    if (!r.ok || !r.line.valid()) {
      // An older calvsim counts nothing: the run's time still tells.
      bench::row(QStringLiteral("%1 at %2 baud%3").arg(how).arg(baud).arg(note), "-",
                 r.ok ? QStringLiteral("%1 s, no counters from calvsim").arg(r.wall, 0, 'f', 2) : QStringLiteral("run failed"),
                 smoke || r.ok ? "-" : "no");
      continue;
    }
    const double floor = r.line.floorSeconds();
    const double ratio = r.wall / floor;
    const QString limit = baud == 115200 ? QStringLiteral("1.05") : baud == 9600 ? QStringLiteral("1.02") : QString();
    bench::row(QStringLiteral("%1 / wire floor, %2 baud%3").arg(how).arg(baud).arg(note),
               limit.isEmpty() ? QStringLiteral("-") : QStringLiteral("<= ") + limit,
               QStringLiteral("%1 (%2 s / %3 s; %4 B out, %5 B back)")
                   .arg(ratio, 0, 'f', 3)
                   .arg(r.wall, 0, 'f', 2)
                   .arg(floor, 0, 'f', 2)
                   .arg(r.line.received)
                   .arg(r.line.sent),
               limit.isEmpty() ? "-" : bench::met(smoke, ratio <= limit.toDouble()));
    const double share = 100.0 * r.cpu / r.wall;
    bench::row(QStringLiteral("calvboot processor share, %1 at %2 baud%3").arg(how).arg(baud).arg(note), "< 10 %",
               QStringLiteral("%1 %").arg(share, 0, 'f', 1), bench::met(smoke, share < 10.0));
  }
  return 0;
}

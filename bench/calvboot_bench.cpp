// calvboot_bench [--smoke] [--cli] [BAUD ...]: programs a two-block image
// (128 KiB of data) against calvsim --baud BAUD and compares the run with the
// line's floor, counted by calvsim: every byte both ways at 10 bits, plus the
// pauses calvsim was told to make. In-process through ProgramModule on a real
// QSerialPort, or with --cli through the calvboot program's --program run,
// timed from outside as a user times the command, with where the time over
// the floor goes (from calvsim's timeline). Also reports calvboot's share of
// a core during the run.
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
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
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

// calvsim --timeline: when each frame's first byte was read, and when the
// last byte of each answer was due and was written.
struct Frame {
  double read = 0;
  int bytes = 0;
  bool answered = false;
  double due = 0, written = 0;
};

double fromNs(const QByteArray& text) { return double(text.toLongLong()) / 1e9; }

std::vector<Frame> readTimeline(const QString& path) {
  std::vector<Frame> frames;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return frames;
  for (const QByteArray& line : f.readAll().split('\n')) {
    const QList<QByteArray> p = line.split(' ');
    if (p.size() == 3 && p[0] == "frame") {
      frames.push_back({fromNs(p[1]), p[2].toInt()});
    } else if (p.size() == 4 && p[0] == "reply" && !frames.empty()) {
      frames.back().answered = true;
      frames.back().due = fromNs(p[1]);
      frames.back().written = fromNs(p[2]);
    }
  }
  return frames;
}

struct Run {
  bool ok = false;
  double wall = 0, cpu = 0;
  double spawned = 0, ended = 0;  // the run's (--cli: the command's) start and end on the monotonic clock
  double simCpu = -1;             // calvsim's processor time, up to the run's end
  bench::LineCount line;
  std::vector<Frame> frames;
};

double monotonic() { return std::chrono::duration<double>(bench::Clock::now().time_since_epoch()).count(); }

// The real calvboot program with the given arguments, timed from outside as
// `time` does (spawn to reaped), its processor time from the kernel's account.
bool runProgram(const QList<QByteArray>& arguments, Run& run) {
  QList<QByteArray> owned{QByteArray(CALVBOOT_PATH)};
  owned += arguments;
  std::vector<char*> args;
  for (QByteArray& a : owned) args.push_back(a.data());
  args.push_back(nullptr);
  // Standard output on a terminal, as a user's: the progress line is
  // redrawn there, and what the program prints is read as it comes.
  const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (terminal < 0) return false;
  ::fcntl(terminal, F_SETFD, FD_CLOEXEC);
  const int screen = ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0
                         ? ::open(::ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC)
                         : -1;
  if (screen < 0) {
    ::close(terminal);
    return false;
  }
  // Reads until the last holder of the terminal's other side has closed it.
  std::thread reader([terminal] {
    char buf[4096];
    while (::read(terminal, buf, sizeof buf) > 0) {
    }
  });
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, screen, 1);
  pid_t pid = 0;
  run.spawned = monotonic();
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  const bool reaped = rc == 0 && wait4(pid, &status, 0, &usage) == pid;
  run.ended = monotonic();
  if (rc == 0 && !reaped && pid > 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  ::close(screen);
  reader.join();
  ::close(terminal);
  if (!reaped) return false;
  run.wall = run.ended - run.spawned;
  run.cpu = bench::seconds(usage.ru_utime) + bench::seconds(usage.ru_stime);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool runCli(const QString& file, const QString& device, int baud, Run& run) {
  return runProgram({"--program", file.toLocal8Bit(), "--device", device.toLocal8Bit(), "--speed",
                     QByteArray::number(baud)},
                    run);
}

Run programOnce(int baud, const QString& file, bool cli) {
  Run run;
  QTemporaryDir dir;
  const QString counters = dir.filePath("counters.txt"), timeline = dir.filePath("timeline.txt");
  QProcess sim;
  sim.start(QStringLiteral(CALVSIM_PATH),
            {"--baud", QString::number(baud), "--counters", counters, "--timeline", timeline});
  const auto startDeadline = bench::Clock::now() + std::chrono::seconds{5};
  while (!sim.canReadLine() && bench::Clock::now() < startDeadline) sim.waitForReadyRead(100);
  const QString pty = QString::fromLocal8Bit(sim.readLine()).trimmed();
  if (pty.isEmpty()) return run;

  if (cli) {
    run.ok = runCli(file, pty, baud, run);
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
    run.spawned = monotonic();
    run.ok = program.run(file).outcome == RunOutcome::Done;
    run.ended = monotonic();
    run.wall = run.ended - run.spawned;
    run.cpu = bench::cpuSeconds() - cpu0;
    if (!run.ok) std::fprintf(stderr, "calvboot_bench: %s\n", qPrintable(view.last));
  }
  run.simCpu = bench::cpuSecondsOf(sim.processId());
  sim.terminate();
  sim.waitForFinished(5000);
  run.line = bench::readCounters(counters);
  run.frames = readTimeline(timeline);
  return run;
}

QString ms(double s) { return QString::number(s * 1e3, 'f', 0) + QStringLiteral(" ms"); }

// Where a command-line run's time over the line's floor goes, on calvsim's
// clock (the same monotonic clock as ours): from the spawn to the first
// frame's first byte; between each answer's last byte and the next frame's
// first (the program's turnaround: reading the reply, judging it, the next
// frame's making and writing; the file check sits in one of them); calvsim
// writing a byte later than it was due; from the last answer to the process
// reaped. The rest is what neither side accounts for.
void breakdown(const Run& r, const QString& how, int baud, const QString& note, double bare) {
  const auto& f = r.frames;
  const QString figure = QStringLiteral("%1 at %2 baud: where the time over the floor goes%3").arg(how).arg(baud).arg(note);
  if (f.empty() || !f.back().answered) return bench::row(figure, "-", "no timeline from calvsim", "-");
  const double startUp = f.front().read - r.spawned, end = r.ended - f.back().written;
  double paced = 0, late = 0, turnaround = 0, widest = 0;
  int widestAt = 0;
  std::vector<double> gaps, lates;
  for (std::size_t i = 0; i < f.size(); ++i) {
    if (!f[i].answered) continue;
    paced += f[i].due - f[i].read;
    late += f[i].written - f[i].due;
    lates.push_back(f[i].written - f[i].due);
    if (i + 1 == f.size()) break;
    const double gap = f[i + 1].read - f[i].written;
    gaps.push_back(gap);
    turnaround += gap;
    if (gap > widest) {
      widest = gap;
      widestAt = int(i + 2);
    }
  }
  const double floor = r.line.floorSeconds(), over = r.wall - floor;
  const double rest = r.wall - startUp - paced - late - turnaround - end;
  bench::row(figure, "-",
             QStringLiteral("%1 s over %2 s (ratio %3): start to first byte %4%5, turnaround %6 over %7 answers "
                            "(median %8 us, widest %9 before frame %10), calvsim's last answer byte late %11 "
                            "(median %12 us), last answer to end %13, unaccounted %14; processor: calvboot %15 s, calvsim %16 s")
                 .arg(over, 0, 'f', 3)
                 .arg(floor, 0, 'f', 2)
                 .arg(r.wall / floor, 0, 'f', 3)
                 .arg(ms(startUp),
                      bare == 0   ? QString()
                      : bare > 0 ? QStringLiteral(" (the bare program, --version: %1)").arg(ms(bare))
                                 : QStringLiteral(" (--version failed)"),
                      ms(turnaround))
                 .arg(gaps.size())
                 .arg(bench::median(gaps) * 1e6, 0, 'f', 0)
                 .arg(ms(widest))
                 .arg(widestAt)
                 .arg(ms(late))
                 .arg(bench::median(lates) * 1e6, 0, 'f', 0)
                 .arg(ms(end), ms(rest))
                 .arg(r.cpu, 0, 'f', 2)
                 .arg(r.simCpu, 0, 'f', 2),
             "-");
}

// The program started and ended with nothing to do: the floor of any run's start-up and end.
double bareStart() {
  std::vector<double> times;
  for (int i = 0; i < 5; ++i) {
    Run run;
    if (runProgram({"--version"}, run)) times.push_back(run.wall);
  }
  return times.empty() ? -1 : bench::median(times);
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
  const QString file = bench::twoBlockFile(dir, smoke);
  if (file.isEmpty()) return 1;

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
    breakdown(r, how, baud, note, cli ? bareStart() : 0);
  }
  return 0;
}

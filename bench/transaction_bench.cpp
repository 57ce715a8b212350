// transaction_bench [--smoke]: what one calvboot transaction costs against an
// unpaced calvsim, where its time goes, and what the reply wait costs the
// processor while a silent device keeps it waiting.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <protocol/FrameRule.h>
#include <serial/SerialLink.h>
#include <serial/EventYield.h>
#include <protocol/ModuleCommands.h>
#include <protocol/RSfunctions.h>
#include <serial/SerialPortControl.h>

#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "BenchSupport.h"

namespace {

using bench::Clock;

QString microseconds(double s) { return QString::number(s * 1e6, 'f', 0); }

// ProbeDevice's frame for address 1, as SendCommandFrame builds it.
const QByteArray kStatusFrame = QByteArray::fromHex("090100F804231037" "70");

// The steps of one transaction, timed one by one: the reopen, the write,
// the wait until the first reply byte is in ReplyBuffer, the rest.
struct Steps {
  double close = 0, open = 0, write = 0, firstByte = 0, rest = 0, wakeUps = 0;
};

bool stepOnce(SerialLink& com, Steps& sum) {
  auto t = Clock::now();
  auto lap = [&t] {
    const double s = bench::since(t);
    t = Clock::now();
    return s;
  };
  com.ReplyBuffer.clear();
  com.ClearMScommInput();
  com.CloseMScomm();
  sum.close += lap();
  com.SetupMScomm(1, 2);
  sum.open += lap();
  com.SendMScommString(kStatusFrame);
  sum.write += lap();
  const auto deadline = Clock::now() + std::chrono::seconds{2};
  bool first = false;
  while (Clock::now() < deadline) {
    yieldToEventLoop();
    sum.wakeUps += 1;
    if (!first && !com.ReplyBuffer.isEmpty()) {
      sum.firstByte += lap();
      first = true;
    }
    if (first && com.ReplyBuffer.size() == std::uint8_t(com.ReplyBuffer.at(0))) {
      sum.rest += lap();
      return true;
    }
  }
  return false;
}

QString startSim(QProcess& sim, const QStringList& args) {
  sim.start(QStringLiteral(CALVSIM_PATH), args);
  const auto deadline = Clock::now() + std::chrono::seconds{5};
  while (!sim.canReadLine() && Clock::now() < deadline) sim.waitForReadyRead(100);
  return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

bool writeIni(const QTemporaryDir& dir, const QString& device) {
  QFile ini(dir.filePath("setup.ini"));
  if (!ini.open(QIODevice::WriteOnly)) return false;
  ini.write("[Ports]\r\nCOM1=" + device.toLocal8Bit() + "\r\n");
  return true;
}

void transactions(bool smoke) {
  const int n = smoke ? 20 : 2000;
  QTemporaryDir dir;
  QProcess sim;
  const QString pty = startSim(sim, {});
  if (pty.isEmpty() || !writeIni(dir, pty)) {
    bench::row("transactions against unpaced calvsim", "-", "calvsim did not start", smoke ? "-" : "no");
    return;
  }
  RSfunctions::InitCommandTable();
  SerialLink com(std::make_unique<FrameRule>(), dir.path());
  ModuleCommands commands(com);
  commands.ComPort = 1;
  commands.ComSpeed = 2;

  // The real operation, as the programming sequence runs it.
  const double cpu0 = bench::cpuSeconds();
  auto start = Clock::now();
  int done = 0;
  for (int i = 0; i < n; ++i) done += commands.ProbeDevice() != 0;
  const double wall = bench::since(start), cpu = bench::cpuSeconds() - cpu0;
  bench::row("status queries per second, unpaced calvsim", "-",
             QStringLiteral("%1/s (%2 of %3 answered; %4 us processor each)")
                 .arg(done / wall, 0, 'f', 0)
                 .arg(done)
                 .arg(n)
                 .arg(microseconds(cpu / n)),
             "-");

  // Part of every open: the port number's device, looked up in setup.ini.
  const QString ini = dir.filePath("setup.ini");
  auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) SerialPortControl::deviceForPort(1, ini);
  const double lookup = bench::since(t0) / n;

  Steps sum;
  int timed = 0;
  for (int i = 0; i < n; ++i) timed += stepOnce(com, sum);
  if (timed == 0) return;
  auto per = [timed](double s) { return microseconds(s / timed); };
  bench::row("one transaction, where the time goes (us)", "-",
             QStringLiteral("close %1, open %2 (setup.ini look-up %3), write %4, first reply byte %5, rest of reply %6, "
                            "%7 wake-ups")
                 .arg(per(sum.close), per(sum.open), microseconds(lookup), per(sum.write), per(sum.firstByte),
                      per(sum.rest))
                 .arg(sum.wakeUps / timed, 0, 'f', 1),
             "-");
  sim.terminate();
  sim.waitForFinished(5000);
}

// What the line sees of one transaction once a run has started: the child
// below runs one transaction, then n more between two marks that strace
// shows; the device's opens and closes, line-setting writes, modem-line
// changes and lock files between the marks are counted. The serial work all
// happens on the main thread, so it alone is traced.
int syscallChild(const QString& dirPath, int n) {
  const QDir dir(dirPath);
  RSfunctions::InitCommandTable();
  SerialLink com(std::make_unique<FrameRule>(), dir.path());
  Steps sum;
  if (!stepOnce(com, sum)) return 1;
  ::access(qPrintable(dir.filePath("transaction-bench-start")), F_OK);
  int ok = 0;
  for (int i = 0; i < n; ++i) ok += stepOnce(com, sum);
  ::access(qPrintable(dir.filePath("transaction-bench-end")), F_OK);
  return ok == n ? 0 : 1;
}

void syscallCounts(bool smoke) {
  const int n = smoke ? 20 : 200;
  const QString figure = QStringLiteral("per transaction: device opens, closes, line-setting writes, modem-line "
                                        "changes, lock files");
  const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
  QTemporaryDir dir;
  QProcess sim;
  const QString pty = strace.isEmpty() ? QString() : startSim(sim, {});
  if (pty.isEmpty() || !writeIni(dir, pty)) {
    bench::row(figure, "0 each", strace.isEmpty() ? "strace not found" : "calvsim did not start", smoke ? "-" : "no");
    return;
  }
  const QString trace = dir.filePath("trace.txt");
  QProcess child;
  child.start(strace, {"-qq", "-o", trace, "-e", "trace=open,openat,close,ioctl,access",
                       QCoreApplication::applicationFilePath(), "--syscall-child", dir.path(), QString::number(n)});
  const bool ran = child.waitForFinished(60000) && child.exitCode() == 0;
  sim.terminate();
  sim.waitForFinished(5000);
  if (!ran) {
    bench::row(figure, "0 each", "traced run failed", smoke ? "-" : "no");
    return;
  }
  // Counted between the marks; the device's descriptors followed from its opens.
  static const QRegularExpression result(QStringLiteral("= (-?\\d+)"));
  static const QRegularExpression closed(QStringLiteral("^close\\((\\d+)\\)"));
  QSet<QString> deviceFds;
  bool counting = false;
  int opens = 0, closes = 0, settings = 0, modem = 0, locks = 0;
  QFile f(trace);
  f.open(QIODevice::ReadOnly);
  for (const QString& line : QString::fromLocal8Bit(f.readAll()).split(u'\n')) {
    if (line.contains(u"transaction-bench-start")) counting = true;
    if (line.contains(u"transaction-bench-end")) break;
    const QString fd = result.match(line).captured(1);
    if (line.startsWith(u"open") && line.contains(u'"' + pty + u'"') && !fd.startsWith(u'-')) {
      deviceFds.insert(fd);
      opens += counting;
    } else if (const auto m = closed.match(line); m.hasMatch() && deviceFds.remove(m.captured(1))) {
      closes += counting;
    }
    if (!counting || (!line.startsWith(u"ioctl") && !line.startsWith(u"open"))) continue;
    settings += line.contains(u"TCSETS");
    modem += line.contains(u"TIOCMBIS") || line.contains(u"TIOCMBIC") || line.contains(u"TIOCMSET");
    locks += line.startsWith(u"open") && line.contains(u"LCK..") && line.contains(u"O_CREAT");
  }
  auto per = [n](int count) { return QString::number(double(count) / n, 'g', 3); };
  bench::row(figure, "0 each",
             QStringLiteral("%1, %2, %3, %4, %5 (%6 transactions)")
                 .arg(per(opens), per(closes), per(settings), per(modem), per(locks))
                 .arg(n),
             bench::met(smoke, opens + closes + settings + modem + locks == 0));
}

// QSerialPort takes a lock file for the device at every open and removes it
// at close, in the first of these folders it may write to. Its cost on that
// folder's file system, beside the same on a memory file system.
double lockCycle(const QString& folder, int n) {
  const QString path = folder + QStringLiteral("/LCK..transaction_bench");
  const auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    QLockFile lock(path);
    if (!lock.tryLock()) return -1;
  }
  return bench::since(t0) / n;
}

void lockFiles(bool smoke) {
  const int n = smoke ? 5 : 500;
  QString used;
  for (const char* dir : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp", "/var/tmp"}) {
    const QFileInfo info(QString::fromLatin1(dir));
    if (info.isReadable() && info.isWritable()) {
      used = info.filePath();
      break;
    }
  }
  if (used.isEmpty()) return;
  const double here = lockCycle(used, n);
  const double memory = QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? lockCycle(QStringLiteral("/dev/shm"), n) : -1;
  bench::row("device lock file per reopen (QSerialPort's, us)", "-",
             QStringLiteral("%1 in %2%3").arg(microseconds(here), used,
                                               memory >= 0 ? QStringLiteral(", %1 on a memory file system").arg(microseconds(memory))
                                                           : QString()),
             "-");
}

// A device that never answers: a pseudo-terminal nobody reads.
void silentWait(bool smoke) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
  const int keeper = ::open(ptsname(master), O_RDWR | O_NOCTTY);
  QTemporaryDir dir;
  if (writeIni(dir, QString::fromLocal8Bit(ptsname(master)))) {
    RSfunctions::InitCommandTable();
    SerialLink com(std::make_unique<FrameRule>(), dir.path());
    Timing timing;
    if (smoke) timing.reply = std::chrono::milliseconds{300};
    ModuleCommands commands(com, timing);
    const double cpu0 = bench::cpuSeconds();
    const auto start = Clock::now();
    commands.ProbeDevice();
    const double wall = bench::since(start), share = 100.0 * (bench::cpuSeconds() - cpu0) / wall;
    bench::row(QStringLiteral("calvboot processor share, %1 s reply wait").arg(wall, 0, 'f', 1), "< 2 %",
               QStringLiteral("%1 %").arg(share, 0, 'f', 2), bench::met(smoke, share < 2.0));
  }
  ::close(keeper);
  ::close(master);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (argc == 4 && std::strcmp(argv[1], "--syscall-child") == 0)
    return syscallChild(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]));
  const bool smoke = bench::smokeRun(argc, argv);
  transactions(smoke);
  syscallCounts(smoke);
  lockFiles(smoke);
  silentWait(smoke);
  return 0;
}

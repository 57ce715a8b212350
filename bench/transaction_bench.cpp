// transaction_bench [--smoke]: what one calvboot transaction costs against an
// unpaced calvsim, where its time goes, and what the reply wait costs the
// processor while a silent device keeps it waiting.
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>

#include <ComForm.h>
#include <EventYield.h>
#include <ModuleCommands.h>
#include <RSfunctions.h>
#include <SerialPortControl.h>

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

bool stepOnce(ComForm& com, Steps& sum) {
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
  ComForm com(ComForm::Host::Calvboot, dir.path());
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
    ComForm com(ComForm::Host::Calvboot, dir.path());
    ModuleCommands commands(com);
    if (smoke) commands.ReplyTimeout = std::chrono::milliseconds{300};
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
  const bool smoke = bench::smokeRun(argc, argv);
  transactions(smoke);
  lockFiles(smoke);
  silentWait(smoke);
  return 0;
}

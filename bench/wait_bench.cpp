// wait_bench [--smoke]: the waits whose length and processor cost are
// figures, not pass-or-fail checks of the suite (a loaded machine stretches
// them): the settings lock's bounded wait; calvboot's window after its
// adapter is pulled out mid-run, and calvsim after its line closed; romlift's
// shipped wait for "OK" through the program; romlift's window in the fault
// matrix's waits, with how soon a pulled-out adapter ends the upload.
#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <app/CVboot.h>
#include <romlift/LoaderForm.h>
#include <romlift/RomliftSession.h>
#include <romlift/UploadDialogue.h>
#include <serial/ComForm.h>
#include <serial/EventYield.h>
#include <serial/SerialLink.h>
#include <serial/SerialPortControl.h>
#include <settings/IniFileHandler.h>
#include <settings/SettingsLock.h>
#include <sim/bootsim/SRecord.h>

#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "BenchSupport.h"

namespace {

using namespace std::chrono_literals;
using bench::Clock;

QString secondsText(double s) { return QString::number(s, 'f', 2) + QStringLiteral(" s"); }
QString percent(double share) { return QString::number(100.0 * share, 'f', 1) + QStringLiteral(" %"); }

void serveEventsFor(std::chrono::milliseconds span) {
  const auto until = Clock::now() + span;
  while (Clock::now() < until) yieldToEventLoop(std::chrono::milliseconds{50});
}

// A simulator as a child: the terminal it prints first.
QString startSim(QProcess& sim, const char* program, const QStringList& args) {
  sim.start(QString::fromLocal8Bit(program), args);
  const auto deadline = Clock::now() + 5s;
  while (!sim.canReadLine() && Clock::now() < deadline) sim.waitForReadyRead(100);
  return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// A write to setup.ini while another holder keeps its lock: refused after
// the lock's wait (2 s), which sleeps rather than polls.
void settingsLock(bool smoke) {
  const QString figure = QStringLiteral("settings lock held elsewhere: a write refused after");
  QTemporaryDir dir;
  const QString ini = dir.filePath(QStringLiteral("setup.ini"));
  const int fd = writeFile(ini, "[A]\r\nX=1\r\n")
                     ? ::open(QFile::encodeName(SettingsLock::lockFileFor(ini)).constData(), O_RDWR | O_CREAT, 0644)
                     : -1;
  if (fd < 0 || ::flock(fd, LOCK_EX) != 0) return bench::row(figure, "-", "run failed", smoke ? "-" : "no");
  const double cpu0 = bench::cpuSeconds();
  const auto start = Clock::now();
  const bool written = IniFileHandler::WriteIniValue(QStringLiteral("A"), QStringLiteral("X"), QStringLiteral("2"), ini);
  const double wall = bench::since(start), cpu = bench::cpuSeconds() - cpu0;
  ::close(fd);
  if (written) return bench::row(figure, "-", "written despite the lock", smoke ? "-" : "no");
  bench::row(figure, "2.0 to 2.5 s, < 50 ms processor",
             QStringLiteral("%1, %2 ms processor").arg(secondsText(wall)).arg(cpu * 1e3, 0, 'f', 1),
             bench::met(smoke, wall >= 2.0 && wall < 2.5 && cpu < 0.05));
}

// calvboot's window programs against calvsim, which closes its line at the
// first erase as a pulled-out adapter does: how soon the run ends after the
// loss, the window's share of a core while it then sits idle, and calvsim's
// processor time after its line closed.
void calvbootLostAdapter(bool smoke) {
  const QString figure = QStringLiteral("calvboot window, adapter lost mid-run:");
  QTemporaryDir dir, devices;
  const QString link = devices.filePath(QStringLiteral("ttyUSB0")), file = dir.filePath(QStringLiteral("one.ldr"));
  QProcess sim;
  if (!writeFile(file, bench::ldrImage(1, 256)) || startSim(sim, CALVSIM_PATH, {"--vanish-at", "erase", "--link", link}).isEmpty())
    return bench::row(figure, "-", "run failed", smoke ? "-" : "no");
  QByteArray ini = "[Ports]\r\nCOM1=" + link.toLocal8Bit() + "\r\n";
  for (int n = 2; n <= 16; ++n) ini += "COM" + QByteArray::number(n) + "=/none\r\n";
  ini += "[Calvsettings]\r\nFirmwareFile=" + file.toLocal8Bit() + "\r\n";
  writeFile(dir.filePath(QStringLiteral("setup.ini")), ini);
  Timing timing;
  timing.reply = 3s;
  CalvSession session(dir.path(), timing);
  CVboot window(session);
  window.dialogs.messageBox = [](const QString&, const QString&, QMessageBox::Icon) {};
  window.Form_Load();
  std::optional<Clock::time_point> lostAt;
  double cpuAtLoss = 0;
  QObject::connect(&session.link().MSComm1(), &SerialPortControl::deviceLost, [&] {
    lostAt = Clock::now();
    cpuAtLoss = bench::cpuSeconds();
  });
  window.BtnStart->click();
  if (!lostAt) {
    sim.terminate();
    sim.waitForFinished(5000);
    return bench::row(figure + QStringLiteral(" the loss"), "-", "not noticed", smoke ? "-" : "no");
  }
  const double toEnd = bench::since(*lostAt);
  const double simCpu = bench::cpuSecondsOf(sim.processId());
  serveEventsFor(smoke ? 500ms : 2000ms);
  const double share = (bench::cpuSeconds() - cpuAtLoss) / bench::since(*lostAt);
  const double simAfter = bench::cpuSecondsOf(sim.processId()) - simCpu;
  sim.terminate();
  sim.waitForFinished(5000);
  bench::row(figure + QStringLiteral(" loss to the run's end"), "< 1 s", secondsText(toEnd), bench::met(smoke, toEnd < 1.0));
  bench::row(figure + QStringLiteral(" the window's share of a core after the loss"), "< 5 %", percent(share),
             bench::met(smoke, share < 0.05));
  bench::row(QStringLiteral("calvsim's processor time after its line closed"), "< 0.1 s", secondsText(simAfter),
             bench::met(smoke, simAfter >= 0 && simAfter < 0.1));
}

// `romlift --upload` with a boot loader that never says "OK": from the last
// line sent to "Update Failed", stamped as the lines arrive.
void romliftShippedWait(bool smoke) {
  const QString figure = QStringLiteral("romlift --upload, no \"OK\": last line sent to \"Update Failed\" (shipped 5 s)");
  QTemporaryDir dir;
  QProcess sim;
  const QString program = dir.filePath(QStringLiteral("romlift"));
  const QString pty = QFile::copy(QStringLiteral(ROMLIFT_PATH), program) ? startSim(sim, BOOTSIM_PATH, {"--no-ok"}) : QString();
  if (pty.isEmpty()) return bench::row(figure, "-", "run failed", smoke ? "-" : "no");
  QProcess run;
  run.start(program, {"--upload", QStringLiteral(EXAMPLES_DIR "/romlift/dv-9.s19"), "--device", pty, "--delay", "150"});
  std::optional<Clock::time_point> lastSent, failed;
  const auto deadline = Clock::now() + 30s;
  while (!failed && Clock::now() < deadline && run.state() != QProcess::NotRunning) {
    run.waitForReadyRead(100);
    while (run.canReadLine()) {
      const QByteArray line = run.readLine().trimmed();
      if (line.contains(" lines sent") && line.contains("(100 %)")) lastSent = Clock::now();
      if (line == "Update Failed") failed = Clock::now();
    }
  }
  run.waitForFinished(10000);
  sim.terminate();
  sim.waitForFinished(5000);
  if (!lastSent || !failed) return bench::row(figure, "-", "run failed", smoke ? "-" : "no");
  const double wait = std::chrono::duration<double>(*failed - *lastSent).count();
  bench::row(figure, "5.05 to 5.8 s", secondsText(wait), bench::met(smoke, wait > 5.05 && wait < 5.8));
}

// romlift's window in some of the fault matrix's waits: the upload's time
// and its share of a core, from opening the port to the upload's end.
struct RomliftCase {
  const char* name;
  QStringList sim;
  std::chrono::milliseconds finalWait;
  double within;  // the longest the upload should take, 0: none
};

void romliftWindowWaits(bool smoke) {
  const RomliftCase cases[] = {
      {"no \"OK\" (0.6 s final wait)", {"--no-ok"}, 600ms, 0},
      {"adapter lost after the third line", {"--vanish-after", "3"}, 600ms, 3.0},
      {"adapter lost waiting for \"OK\" (5 s final wait)", {"--no-ok", "--vanish-after", "8", "--vanish-delay", "200"}, 5000ms, 3.0},
      {"adapter lost waiting for the announcement (3 s limit)",
       {"--no-announce", "--vanish-after", "0", "--vanish-delay", "300"}, 600ms, 1.5},
  };
  // A DV-9 file of the matrix's size: header, six data records, end record.
  QByteArray file = "S008000044562D3900F7\r\n";
  for (int r = 0; r < 6; ++r)
    file += QByteArray::fromStdString(SRecord::make('1', std::uint32_t(0x2000 + r * 6), std::vector<std::uint8_t>(6, 0x5A))) + "\r\n";
  file += QByteArray::fromStdString(SRecord::make('9', 0x2000, {})) + "\r\n";
  for (const RomliftCase& c : cases) {
    const QString figure = QStringLiteral("romlift window, %1:").arg(c.name);
    QTemporaryDir dir;
    QProcess sim;
    QStringList args = c.sim;
    if (!args.contains("--no-announce")) args << "--announce-repeat" << "50";
    const QString pty = startSim(sim, BOOTSIM_PATH, args);
    const QString path = dir.filePath(QStringLiteral("fw.s19"));
    if (pty.isEmpty() || !writeFile(path, file)) {
      bench::row(figure, "-", "run failed", smoke ? "-" : "no");
      continue;
    }
    IniFileHandler::WriteIniValue(QStringLiteral("Ports"), QStringLiteral("COM1"), pty, dir.filePath("setup.ini"));
    Timing timing;
    timing.finalWait = c.finalWait;
    RomliftSession session(RomliftSession::Start::Window, dir.path(), MessageSink{}, timing);
    LoaderForm form(session);
    session.link().setPortMessage([](const QString&) {});
    form.Form_Load();
    form.uploadDialogue().LineDelay = 150;
    form.setFileChooser([path] { return path; });
    form.Load_Click();
    form.uploadDialogue().setBootWaitLimit(3s);
    const double cpu0 = bench::cpuSeconds();
    const auto start = Clock::now();
    form.Commport->click();  // with no announcement, returns when the wait ends
    if (!c.sim.contains("--no-announce")) form.BtnUpload->click();
    const double took = bench::since(start), share = (bench::cpuSeconds() - cpu0) / took;
    sim.terminate();
    sim.waitForFinished(5000);
    bench::row(figure + QStringLiteral(" share of a core"), "< 50 %", percent(share), bench::met(smoke, share < 0.5));
    if (c.within > 0)
      bench::row(figure + QStringLiteral(" the upload's time"), QStringLiteral("< %1 s").arg(c.within, 0, 'f', 1),
                 secondsText(took), bench::met(smoke, took < c.within));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const bool smoke = bench::smokeRun(argc, argv);
  settingsLock(smoke);
  calvbootLostAdapter(smoke);
  romliftShippedWait(smoke);
  romliftWindowWaits(smoke);
  return 0;
}

// wait_load_bench [SECONDS]: processor time that calvboot's reply wait costs
// while a silent device keeps it waiting, beside a wait that polls the event
// loop without blocking (the classic tight loop), measured in one run.
#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <ComForm.h>
#include <ImageBuffer.h>
#include <ModuleCommands.h>
#include <RSfunctions.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Load {
  double wall;
  double cpu;
};

template <typename F>
Load measure(F&& wait) {
  const double cpu0 = cpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  wait();
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), cpuSeconds() - cpu0};
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;

  // A silent far end: a pseudo-terminal nobody answers on.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
  const QString slave = QString::fromLocal8Bit(ptsname(master));
  const int keeper = ::open(ptsname(master), O_RDWR | O_NOCTTY);

  QTemporaryDir dir;
  QFile ini(dir.filePath("setup.ini"));
  if (!ini.open(QIODevice::WriteOnly)) return 1;
  ini.write("[Ports]\r\nCOM1=" + slave.toLocal8Bit() + "\r\n");
  ini.close();

  RSfunctions::InitCommandTable();
  ComForm com(ComForm::Host::Calvboot, dir.path());
  ImageBuffer image;
  ModuleCommands commands(com, image);
  commands.ReplyTimeout = std::chrono::milliseconds(int(seconds * 1000));

  const Load blocking = measure([&] { commands.ProbeDevice(); });
  const Load spinning = measure([&] {
    const auto end = std::chrono::steady_clock::now() + commands.ReplyTimeout;
    while (std::chrono::steady_clock::now() < end) QCoreApplication::processEvents();
  });

  std::printf("reply wait against silence, %.1f s each\n", seconds);
  std::printf("%-28s %8s %8s %8s\n", "wait", "wall s", "cpu s", "load");
  std::printf("%-28s %8.2f %8.3f %7.1f%%\n", "calvboot (blocking yield)", blocking.wall, blocking.cpu,
              100 * blocking.cpu / blocking.wall);
  std::printf("%-28s %8.2f %8.3f %7.1f%%\n", "tight poll (for comparison)", spinning.wall, spinning.cpu,
              100 * spinning.cpu / spinning.wall);
  if (blocking.cpu > 0) std::printf("tight poll costs %.0f times the processor time\n", spinning.cpu / blocking.cpu);
  ::close(keeper);
  ::close(master);
  return 0;
}

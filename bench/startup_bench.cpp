// startup_bench [--smoke]: process start to main window shown, for calvboot
// and romlift, with 16 port numbers to probe of which 8 lead to a terminal.
// Each start is a fresh process (this program run again as the window) so
// that loading the libraries counts too.
#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include <app/CVboot.h>
#include <romlift/LoaderForm.h>
#include <romlift/RomliftSession.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BenchSupport.h"

extern char** environ;

namespace {

long long monotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(bench::Clock::now().time_since_epoch()).count();
}

// The child: what each program's main does without arguments, then the
// moment the window is on screen.
template <typename Window>
int showWindow(int argc, char** argv, const QString& folder) {
  QApplication app(argc, argv);
  Window window(folder);
  window.Form_Load();
  window.show();
  QCoreApplication::processEvents();
  std::printf("%lld\n", monotonicNs());
  return 0;
}

// calvboot's window over the session its main builds.
struct CalvbootWindow {
  explicit CalvbootWindow(const QString& folder) : session(folder), form(session) {}
  void Form_Load() { form.Form_Load(); }
  void show() { form.show(); }
  CalvSession session;
  CVboot form;
};

// romlift's window over the session its main builds.
struct RomliftWindow {
  explicit RomliftWindow(const QString& folder) : session(RomliftSession::Start::Window, folder, {}), form(session) {}
  void Form_Load() { form.Form_Load(); }
  void show() { form.show(); }
  RomliftSession session;
  LoaderForm form;
};

// Seconds from spawning the child to its window shown; negative on failure.
double startOnce(const char* self, const char* which, const QString& folder) {
  const QByteArray dir = folder.toLocal8Bit();
  int out[2];
  if (::pipe(out) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  char* args[] = {const_cast<char*>(self), const_cast<char*>("--child"), const_cast<char*>(which),
                  const_cast<char*>(dir.constData()), nullptr};
  const long long t0 = monotonicNs();
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, self, &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    return -1;
  }
  char buf[64] = {};
  const ssize_t n = ::read(out[0], buf, sizeof buf - 1);
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (n <= 0) return -1;
  return double(std::atoll(buf) - t0) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (argc == 4 && QByteArray(argv[1]) == "--child") {
    if (QByteArray(argv[2]) == "calvboot") return showWindow<CalvbootWindow>(argc, argv, QString::fromLocal8Bit(argv[3]));
    return showWindow<RomliftWindow>(argc, argv, QString::fromLocal8Bit(argv[3]));
  }
  const bool smoke = bench::smokeRun(argc, argv);

  // COM1..COM8 lead to terminals that are there, COM9..COM16 to none.
  QTemporaryDir dir;
  std::vector<int> fds;
  QByteArray ini = "[Ports]\r\n";
  for (int n = 1; n <= 16; ++n) {
    QByteArray device = dir.filePath(QStringLiteral("absent%1").arg(n)).toLocal8Bit();
    if (n <= 8) {
      const int master = posix_openpt(O_RDWR | O_NOCTTY);
      if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
      device = ptsname(master);
      fds.push_back(master);
      fds.push_back(::open(device.constData(), O_RDWR | O_NOCTTY));
    }
    ini += "COM" + QByteArray::number(n) + "=" + device + "\r\n";
  }
  QFile f(dir.filePath("setup.ini"));
  if (!f.open(QIODevice::WriteOnly) || f.write(ini) != ini.size()) return 1;
  f.close();

  for (const char* which : {"calvboot", "romlift"}) {
    std::vector<double> times;
    for (int i = 0; i < (smoke ? 1 : 7); ++i) {
      // Each start gets the folder as it was: the window may write to setup.ini.
      QFile::remove(dir.filePath("Log.txt"));
      QFile::remove(dir.filePath("setup.ini"));
      QFile g(dir.filePath("setup.ini"));
      if (g.open(QIODevice::WriteOnly)) g.write(ini);
      g.close();
      const double s = startOnce(argv[0], which, dir.path());
      if (s > 0) times.push_back(s);
    }
    const double m = bench::median(times);
    bench::row(QStringLiteral("%1 start-up to window shown, 16 port probes (8 present)").arg(which), "< 0.3 s",
               times.empty() ? QStringLiteral("run failed")
                             : QStringLiteral("%1 s (median of %2)").arg(m, 0, 'f', 3).arg(times.size()),
               bench::met(smoke, !times.empty() && m < 0.3));
  }
  for (int fd : fds) ::close(fd);
  return 0;
}

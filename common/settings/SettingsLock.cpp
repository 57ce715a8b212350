#include "SettingsLock.h"

#include "FileAccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// One descriptor per lock file and process, with its nesting depth: a second
// flock() on a new descriptor of the same file would wait for ourselves.
struct Held {
  int fd = -1;
  int depth = 0;
};

QHash<QString, Held>& heldLocks() {
  static QHash<QString, Held> held;
  return held;
}

}  // namespace

QString SettingsLock::lockFileFor(const QString& iniPath) {
  const QFileInfo ini(iniPath);
  const QString folder = QFileInfo(ini.absolutePath()).canonicalFilePath();
  const QString file = ini.fileName() + QStringLiteral(".lock");
  return folder.isEmpty() ? ini.absoluteFilePath() + QStringLiteral(".lock") : QDir(folder).filePath(file);
}

volatile std::sig_atomic_t SettingsLock::stopRequested = 0;

// A blocking flock(), which the kernel serves in turn (polling would starve
// beside a program that writes often), woken by a timer signal aimed at this
// thread. The timer repeats, so a signal that comes just before flock()
// blocks is followed by another.
bool SettingsLock::lockWithin(int fd, std::chrono::milliseconds limit) {
  using namespace std::chrono;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK) return false;
  static const int wake = [] {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};  // only to interrupt the wait: no SA_RESTART
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGRTMIN + 4, &sa, nullptr);
    return SIGRTMIN + 4;
  }();
  sigevent ev{};
  ev.sigev_notify = SIGEV_THREAD_ID;
  ev.sigev_signo = wake;
  ev._sigev_un._tid = ::gettid();  // sigev_notify_thread_id, which older C libraries lack
  timer_t timer;
  if (::timer_create(CLOCK_MONOTONIC, &ev, &timer) != 0) return false;
  const auto deadline = steady_clock::now() + limit;
  // Woken every 50 ms, not only at the limit, so that a stop signal (whose
  // handler lets flock() restart) is seen soon.
  const auto ns = std::min<long long>(duration_cast<nanoseconds>(limit).count(), 50'000'000);
  itimerspec when{};
  when.it_value = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  when.it_interval = {0, 50'000'000};
  ::timer_settime(timer, 0, &when, nullptr);
  bool had = false;
  while (!(had = ::flock(fd, LOCK_EX) == 0) && errno == EINTR && steady_clock::now() < deadline &&
         !stopRequested) {
  }
  ::timer_delete(timer);
  return had;
}

SettingsLock::SettingsLock(const QString& iniPath) {
  key_ = lockFileFor(iniPath);
  Held& held = heldLocks()[key_];
  if (held.depth > 0) {
    ++held.depth;
    locked_ = true;
    return;
  }
  const QByteArray native = QFile::encodeName(key_);
  // Never through a symbolic link: in a folder a group shares, a member could
  // point the lock file at something of another user's.
  constexpr int kFlags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  int fd = ::open(native.constData(), O_RDWR | kFlags);
  // A lock file another user made may be read-only for us; flock() works on
  // a read-only descriptor all the same.
  if (fd < 0 && errno == EACCES) fd = ::open(native.constData(), O_RDONLY | kFlags);
  // A folder we may not write to gets no lock file, even when run as root.
  if (fd < 0 && errno == ENOENT && writableForUs(QFileInfo(key_).absolutePath()))
    fd = ::open(native.constData(), O_RDWR | O_CREAT | kFlags, 0666);
  struct stat st {};
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd);
    fd = -1;
    errno = ELOOP;
  }
  if (fd < 0) {
    if (errno == ELOOP) refusal_ = QStringLiteral("%1 is not a plain file").arg(key_);
    const QFileInfo lockFile(key_);
    unlockedWhy_ = writableForUs(lockFile.absolutePath())
                       ? QStringLiteral("the lock file %1 cannot be opened").arg(QDir::toNativeSeparators(key_))
                       : QStringLiteral("the folder %1 is not writable, so its lock file %2 cannot be made")
                             .arg(QDir::toNativeSeparators(lockFile.absolutePath()), lockFile.fileName());
    heldLocks().remove(key_);
    return;
  }
  if (!lockWithin(fd, kWait)) {
    ::close(fd);
    heldLocks().remove(key_);
    refusal_ = stopRequested ? QStringLiteral("stopped while another program held %1").arg(key_)
                             : QStringLiteral("another program held %1 for %2 s").arg(key_).arg(kWait.count());
    return;
  }
  held.fd = fd;
  held.depth = 1;
  locked_ = true;
}

SettingsLock::~SettingsLock() {
  if (!locked_) return;
  auto it = heldLocks().find(key_);
  if (it == heldLocks().end()) return;
  if (--it->depth > 0) return;
  ::flock(it->fd, LOCK_UN);
  ::close(it->fd);
  heldLocks().erase(it);
}

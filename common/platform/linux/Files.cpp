#include <platform/Files.h>

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

QString reasonOf(int code) { return QString::fromLocal8Bit(std::strerror(code)); }

File::Failure failureOf(int code) {
  switch (code) {
    case ENOENT: return File::Failure::Missing;
    case EACCES: return File::Failure::Denied;
    case ELOOP: return File::Failure::Link;
    case ENOTDIR: return File::Failure::NotFolder;
    case ENXIO: return File::Failure::NotRegular;  // a FIFO without a reader, a socket
    default: return File::Failure::Other;
  }
}

int flagsOf(const OpenMode& mode) {
  int flags = mode.access == OpenMode::Read ? O_RDONLY : mode.access == OpenMode::Write ? O_WRONLY : O_RDWR;
  if (mode.append) flags |= O_APPEND;
  if (mode.create) flags |= O_CREAT;
  return flags;
}

// Every byte written, retried after a short write or a signal.
bool writeAll(int fd, const QByteArray& bytes) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

void closeKeepingErrno(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

}  // namespace

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), failure_(other.failure_), error_(other.error_) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (isOpen()) closeKeepingErrno(int(handle_));
    handle_ = std::exchange(other.handle_, -1);
    failure_ = other.failure_;
    error_ = other.error_;
  }
  return *this;
}

File::~File() {
  if (isOpen()) closeKeepingErrno(int(handle_));
}

bool File::failed() {
  error_ = errno;
  return false;
}

QString File::errorText() const { return reasonOf(error_); }

qint64 File::size() {
  const off_t end = ::lseek(int(handle_), 0, SEEK_END);
  if (end < 0) failed();
  return end;
}

std::optional<char> File::byteAt(qint64 offset) {
  char byte = 0;
  if (::pread(int(handle_), &byte, 1, offset) != 1) {
    failed();
    return std::nullopt;
  }
  return byte;
}

std::optional<QByteArray> File::readAll() {
  QByteArray bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::pread(int(handle_), buffer, sizeof buffer, bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      failed();
      return std::nullopt;
    }
    if (n == 0) return bytes;
    bytes.append(buffer, n);
  }
}

bool File::write(const QByteArray& bytes) { return writeAll(int(handle_), bytes) || failed(); }

bool File::sync() { return ::fsync(int(handle_)) == 0 || failed(); }

bool File::truncate(qint64 size) { return ::ftruncate(int(handle_), size) == 0 || failed(); }

// A blocking flock(), which the kernel serves in turn (polling would starve
// beside a program that writes often), woken by a timer signal aimed at this
// thread. The timer repeats, so a signal that comes just before flock()
// blocks is followed by another.
bool File::lockWithin(std::chrono::milliseconds limit, const std::function<bool()>& stopped) {
  using namespace std::chrono;
  const int fd = int(handle_);
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK) return failed();
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
  if (::timer_create(CLOCK_MONOTONIC, &ev, &timer) != 0) return failed();
  const auto deadline = steady_clock::now() + limit;
  // Woken every 50 ms, not only at the limit, so that a stop request (whose
  // handler lets flock() restart) is seen soon.
  const auto ns = std::min<long long>(duration_cast<nanoseconds>(limit).count(), 50'000'000);
  itimerspec when{};
  when.it_value = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  when.it_interval = {0, 50'000'000};
  ::timer_settime(timer, 0, &when, nullptr);
  bool had = false;
  while (!(had = ::flock(fd, LOCK_EX) == 0) && errno == EINTR && steady_clock::now() < deadline &&
         !(stopped && stopped())) {
  }
  if (!had) failed();
  ::timer_delete(timer);
  return had;
}

void File::unlock() { ::flock(int(handle_), LOCK_UN); }

bool File::close() {
  if (!isOpen()) return true;
  const bool ok = ::close(int(std::exchange(handle_, -1))) == 0;
  return ok || failed();
}

File openRegular(const QString& folder, const QString& path, const OpenMode& mode) {
  File file;
  const auto fail = [&file](File::Failure failure) {
    file.error_ = errno;
    file.failure_ = failure;
    return std::move(file);
  };
  int dir = AT_FDCWD;
  QString name = path;
  if (!folder.isEmpty()) {
    dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return fail(File::Failure::Other);  // the folder itself: the system's reason says it
    const QStringList parts = path.split(u'/');
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
      // Each folder on the way opened without following a link.
      const int next = ::openat(dir, QFile::encodeName(parts[i]).constData(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      closeKeepingErrno(dir);
      if (next < 0) return fail(errno == ENOTDIR ? File::Failure::NotFolder : failureOf(errno));
      dir = next;
    }
    name = parts.last();
  }
  const int fd = ::openat(dir, QFile::encodeName(name).constData(),
                          flagsOf(mode) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  if (dir != AT_FDCWD) closeKeepingErrno(dir);
  if (fd < 0) return fail(failureOf(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = ENXIO;
    return fail(File::Failure::NotRegular);
  }
  // Reads and writes may wait as usual; only the open itself could have hung.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  file.handle_ = fd;
  return file;
}

bool writableForUs(const QString& path) {
  const QByteArray native = QFile::encodeName(path);
  if (::geteuid() != 0) return ::access(native.constData(), W_OK) == 0;
  struct stat st {};
  if (::stat(native.constData(), &st) != 0) return false;
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

Entry entryAt(const QString& path) {
  struct stat st {};
  if (::lstat(QFile::encodeName(path).constData(), &st) != 0) return Entry::Missing;
  return S_ISREG(st.st_mode) ? Entry::RegularFile : Entry::Other;
}

bool readableByAll(const QString& path) {
  struct stat st {};
  return ::stat(QFile::encodeName(path).constData(), &st) == 0 && (st.st_mode & S_IROTH) != 0;
}

bool replaceByRename(const QString& filePath, const QByteArray& content, NewFile newFile, QString* why) {
  const QByteArray native = QFile::encodeName(filePath);
  const auto fail = [why] {
    if (why) *why = reasonOf(errno);
    return false;
  };
  // mkstemp() creates the temporary file exclusively and rename() replaces
  // the name itself, so neither follows a link planted meanwhile.
  struct stat old {};
  const bool hadOld = ::lstat(native.constData(), &old) == 0 && S_ISREG(old.st_mode);
  QByteArray temp = native + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return fail();
  const mode_t mask = ::umask(0);
  ::umask(mask);
  const mode_t fresh = newFile == NewFile::GroupOnly ? 0660 : 0666 & ~mask;
  bool ok = ::fchmod(fd, hadOld ? old.st_mode & 07777 : fresh) == 0;
  // Run as root, the new file would belong to root and lock its owner out.
  if (ok && hadOld && ::geteuid() == 0) ok = ::fchown(fd, old.st_uid, old.st_gid) == 0;
  ok = ok && writeAll(fd, content) && ::fdatasync(fd) == 0;
  if (!ok) closeKeepingErrno(fd);
  ok = ok && ::close(fd) == 0;
  if (ok && ::rename(temp.constData(), native.constData()) == 0) return true;
  fail();
  ::unlink(temp.constData());
  return false;
}

void syncFolderOf(const QString& path) {
  const int dir = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_CLOEXEC);
  if (dir < 0) return;
  ::fsync(dir);
  ::close(dir);
}

}  // namespace platform

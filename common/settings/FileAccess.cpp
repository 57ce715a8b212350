#include "FileAccess.h"

#include "SettingsFolder.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstring>

#include <fcntl.h>

bool isConfinedPath(const QString& relative) {
  if (relative.isEmpty() || relative.startsWith(u'/') || relative.contains(QChar(0))) return false;
  for (const QString& part : relative.split(u'/'))
    if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")) return false;
  return true;
}

int openForAppend(const QString& folder, const QString& path, mode_t mode, QString& error) {
  // Read as well where allowed, so that the caller can look at the file's end.
  constexpr int kFlags = O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  const QString shown = folder.isEmpty() ? path : QDir(folder).filePath(path);
  const auto fail = [&](const QString& why) {
    error = QStringLiteral("%1: %2").arg(shown, why);
    return -1;
  };
  int fd = -1;
  if (folder.isEmpty()) {
    fd = ::open(QFile::encodeName(path).constData(), kFlags, mode);
    if (fd < 0 && errno == EACCES) fd = ::open(QFile::encodeName(path).constData(), (kFlags & ~O_RDWR) | O_WRONLY, mode);
  } else {
    if (!isConfinedPath(path)) return fail(QStringLiteral("not a path inside %1").arg(folder));
    int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return fail(QString::fromLocal8Bit(std::strerror(errno)));
    const QStringList parts = path.split(u'/');
    for (qsizetype i = 0; i + 1 < parts.size() && dir >= 0; ++i) {
      // Each folder on the way opened without following a link.
      const int next = ::openat(dir, QFile::encodeName(parts[i]).constData(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      const int saved = errno;
      ::close(dir);
      dir = next;
      errno = saved;
    }
    if (dir >= 0) {
      fd = ::openat(dir, QFile::encodeName(parts.last()).constData(), kFlags, mode);
      if (fd < 0 && errno == EACCES)
        fd = ::openat(dir, QFile::encodeName(parts.last()).constData(), (kFlags & ~O_RDWR) | O_WRONLY, mode);
      const int saved = errno;
      ::close(dir);
      errno = saved;
    }
  }
  if (fd < 0) {
    if (errno == ELOOP || errno == ENOTDIR) return fail(QStringLiteral("a symbolic link on the way, not followed"));
    if (errno == ENXIO) return fail(QStringLiteral("not a regular file"));
    return fail(QString::fromLocal8Bit(std::strerror(errno)));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail(QStringLiteral("not a regular file"));
  }
  // Writes must not fail with EAGAIN later; the open itself was what could block.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

std::optional<QByteArray> readNoFollow(const QString& filePath) {
  const int fd = ::open(QFile::encodeName(filePath).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  QFile in;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !in.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
    ::close(fd);
    return std::nullopt;
  }
  return in.readAll();
}

bool writeAll(int fd, const QByteArray& content) {
  qsizetype done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.constData() + done, static_cast<size_t>(content.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

bool replaceFileContent(const QString& filePath, const QByteArray& content, bool exists) {
  const QFileInfo info(filePath);
  const QByteArray native = QFile::encodeName(filePath);
  if (writableForUs(info.absolutePath())) {
    // New content goes to a temporary file beside the old one and is renamed
    // over it, so a crash mid-write leaves either the old or the new file.
    // mkstemp() creates it exclusively and rename() replaces the name itself,
    // so neither follows a link planted meanwhile.
    struct stat old {};
    const bool hadOld = exists && ::lstat(native.constData(), &old) == 0 && S_ISREG(old.st_mode);
    QByteArray temp = native + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    // The station's setup.ini may hold the line's database password: its
    // group shares it, other accounts do not see it. An old file keeps the
    // mode someone gave it.
    const mode_t fresh = SettingsFolder::isStationFolder(info.absolutePath()) ? 0660 : 0666 & ~mask;
    bool ok = ::fchmod(fd, hadOld ? old.st_mode & 07777 : fresh) == 0;
    // Run as root, the new file would belong to root and lock its owner out.
    if (ok && hadOld && ::geteuid() == 0) ok = ::fchown(fd, old.st_uid, old.st_gid) == 0;
    ok = ok && writeAll(fd, content) && ::fdatasync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.constData(), native.constData()) == 0) return true;
    ::unlink(temp.constData());
    return false;
  }
  // A folder we may not write to leaves only an in-place rewrite of an
  // existing writable file, as the classic writer does: written over from
  // the start and only then cut to its new length, so that a reader never
  // finds it empty or cut short.
  if (!exists) return false;
  const int fd = ::open(native.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  ok = ok && ::lseek(fd, 0, SEEK_SET) == 0 && writeAll(fd, content) && ::ftruncate(fd, content.size()) == 0 &&
       ::fdatasync(fd) == 0;
  return ::close(fd) == 0 && ok;
}


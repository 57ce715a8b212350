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

int openRegularAt(int dir, const QString& name, int flags, mode_t mode) {
  const int fd = ::openat(dir, QFile::encodeName(name).constData(),
                          flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = ENXIO;
    return -1;
  }
  // Reads and writes may wait as usual; only the open itself could have hung.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int openForAppend(const QString& folder, const QString& path, mode_t mode, QString& error) {
  const QString shown = folder.isEmpty() ? path : QDir(folder).filePath(path);
  const auto fail = [&](const QString& why) {
    error = QStringLiteral("%1: %2").arg(shown, why);
    return -1;
  };
  int dir = AT_FDCWD;
  QString name = path;
  if (!folder.isEmpty()) {
    if (!isConfinedPath(path)) return fail(QStringLiteral("not a path inside %1").arg(folder));
    dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return fail(QString::fromLocal8Bit(std::strerror(errno)));
    const QStringList parts = path.split(u'/');
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
      // Each folder on the way opened without following a link.
      const int next = ::openat(dir, QFile::encodeName(parts[i]).constData(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      const int saved = errno;
      ::close(dir);
      errno = saved;
      if (next < 0) return fail(errno == ELOOP || errno == ENOTDIR ? QStringLiteral("a symbolic link on the way, not followed")
                                                                   : QString::fromLocal8Bit(std::strerror(errno)));
      dir = next;
    }
    name = parts.last();
  }
  // Read as well where allowed, so that the caller can look at the file's end.
  int fd = openRegularAt(dir, name, O_RDWR | O_APPEND | O_CREAT, mode);
  if (fd < 0 && errno == EACCES) fd = openRegularAt(dir, name, O_WRONLY | O_APPEND | O_CREAT, mode);
  const int saved = errno;
  if (dir != AT_FDCWD) ::close(dir);
  errno = saved;
  if (fd >= 0) return fd;
  if (errno == ELOOP || errno == ENOTDIR) return fail(QStringLiteral("a symbolic link on the way, not followed"));
  if (errno == ENXIO) return fail(QStringLiteral("not a regular file"));
  return fail(QString::fromLocal8Bit(std::strerror(errno)));
}

std::optional<QByteArray> readNoFollow(const QString& filePath) {
  const int fd = openRegularAt(AT_FDCWD, filePath, O_RDONLY);
  if (fd < 0) return std::nullopt;
  QFile in;
  if (!in.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
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
  const int fd = openRegularAt(AT_FDCWD, filePath, O_WRONLY);
  if (fd < 0) return false;
  const bool ok = writeAll(fd, content) && ::ftruncate(fd, content.size()) == 0 && ::fdatasync(fd) == 0;
  return ::close(fd) == 0 && ok;
}


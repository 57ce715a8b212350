#include "FileAccess.h"

#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>

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
    bool ok = ::fchmod(fd, hadOld ? old.st_mode & 07777 : 0666 & ~mask) == 0;
    // Run as root, the new file would belong to root and lock its owner out.
    if (ok && hadOld && ::geteuid() == 0) ok = ::fchown(fd, old.st_uid, old.st_gid) == 0;
    ok = ok && writeAll(fd, content) && ::fdatasync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.constData(), native.constData()) == 0) return true;
    ::unlink(temp.constData());
    return false;
  }
  // A folder we may not write to leaves only an in-place rewrite of an
  // existing writable file, as the classic writer does.
  if (!exists) return false;
  const int fd = ::open(native.constData(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  const bool ok = writeAll(fd, content);
  return ::close(fd) == 0 && ok;
}


#include "SettingsLock.h"

#include "FileAccess.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>

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

QString SettingsLock::lockFileFor(const QString& iniPath) { return iniPath + QStringLiteral(".lock"); }

SettingsLock::SettingsLock(const QString& iniPath) {
  const QString path = lockFileFor(iniPath);
  key_ = QFileInfo(path).absoluteFilePath();
  Held& held = heldLocks()[key_];
  if (held.depth > 0) {
    ++held.depth;
    locked_ = true;
    return;
  }
  const QByteArray native = QFile::encodeName(path);
  int fd = ::open(native.constData(), O_RDWR | O_CLOEXEC);
  // A folder we may not write to gets no lock file, even when run as root.
  if (fd < 0 && errno == ENOENT && writableForUs(QFileInfo(path).absolutePath()))
    fd = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    heldLocks().remove(key_);
    return;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    ::close(fd);
    heldLocks().remove(key_);
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

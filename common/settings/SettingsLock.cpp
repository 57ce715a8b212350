#include "SettingsLock.h"

#include <QDir>
#include <QFileInfo>

#include <map>

#include <platform/StopRequests.h>

namespace {

// One open lock file per thread, with its nesting depth: a second lock on
// another opening of the same file would wait for ourselves. Per thread, not
// per process: runs on several ports at once each claim in a thread of their
// own, and one must wait for another's lock as for another program's.
struct Held {
  platform::File file;
  int depth = 0;
};

std::map<QString, Held>& heldLocks() {
  thread_local std::map<QString, Held> held;
  return held;
}

}  // namespace

QString SettingsLock::lockFileFor(const QString& iniPath) {
  const QFileInfo ini(iniPath);
  const QString folder = QFileInfo(ini.absolutePath()).canonicalFilePath();
  const QString file = ini.fileName() + QStringLiteral(".lock");
  return folder.isEmpty() ? ini.absoluteFilePath() + QStringLiteral(".lock") : QDir(folder).filePath(file);
}

bool SettingsLock::lockWithin(platform::File& file, std::chrono::milliseconds limit) {
  return file.lockWithin(limit, [] { return platform::stopRequested(); });
}

SettingsLock::SettingsLock(const QString& iniPath) {
  using platform::File;
  using platform::OpenMode;
  key_ = lockFileFor(iniPath);
  Held& held = heldLocks()[key_];
  if (held.depth > 0) {
    ++held.depth;
    locked_ = true;
    return;
  }
  // Never through a symbolic link: in a folder a group shares, a member could
  // point the lock file at something of another user's.
  File file = platform::openRegular({}, key_, {OpenMode::ReadWrite});
  // A lock file another user made may be read-only for us; the lock works on
  // a file opened for reading all the same.
  if (file.failure() == File::Failure::Denied) file = platform::openRegular({}, key_, {OpenMode::Read});
  // A folder we may not write to gets no lock file, even when run as root.
  if (file.failure() == File::Failure::Missing && platform::writableForUs(QFileInfo(key_).absolutePath()))
    file = platform::openRegular({}, key_, {.access = OpenMode::ReadWrite, .create = true});
  if (!file.isOpen()) {
    if (file.failure() == File::Failure::Link || file.failure() == File::Failure::NotRegular)
      refusal_ = QStringLiteral("%1 is not a plain file").arg(key_);
    const QFileInfo lockFile(key_);
    unlockedWhy_ = platform::writableForUs(lockFile.absolutePath())
                       ? QStringLiteral("the lock file %1 cannot be opened").arg(QDir::toNativeSeparators(key_))
                       : QStringLiteral("the folder %1 is not writable, so its lock file %2 cannot be made")
                             .arg(QDir::toNativeSeparators(lockFile.absolutePath()), lockFile.fileName());
    heldLocks().erase(key_);
    return;
  }
  if (!lockWithin(file, kWait)) {
    heldLocks().erase(key_);
    refusal_ = platform::stopRequested()
                   ? QStringLiteral("stopped while another program held %1").arg(key_)
                   : QStringLiteral("another program held %1 for %2 s").arg(key_).arg(kWait.count());
    return;
  }
  held.file = std::move(file);
  held.depth = 1;
  locked_ = true;
}

SettingsLock::~SettingsLock() {
  if (!locked_) return;
  auto it = heldLocks().find(key_);
  if (it == heldLocks().end()) return;
  if (--it->second.depth > 0) return;
  it->second.file.unlock();
  heldLocks().erase(it);
}

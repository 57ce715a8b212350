#pragma once

#include <QString>

#include <chrono>

#include <platform/Files.h>

// An exclusive lock on the settings beside one setup.ini, shared by every
// process that uses that file: a lock on the file "<setup.ini>.lock". Held only for
// one read-change-write of the file, never across a serial transaction, so
// that no other program waits long for it.
// Re-entrant within a process: a nested lock on the same file just counts.
// The wait is bounded: a lock that another process keeps (one stopped with
// Ctrl+Z) refuses after kWait instead of freezing this one.
// Where the lock file cannot be made (a read-only folder) the lock is not
// held and the caller goes on as before.
class SettingsLock {
 public:
  static constexpr auto kWait = std::chrono::seconds{2};

  explicit SettingsLock(const QString& iniPath);
  ~SettingsLock();
  SettingsLock(const SettingsLock&) = delete;
  SettingsLock& operator=(const SettingsLock&) = delete;

  bool locked() const { return locked_; }
  // Not had in time, or the lock file is not a plain file: writing now could
  // lose another program's change, so the caller must not write.
  bool refused() const { return !refusal_.isEmpty(); }
  const QString& refusal() const { return refusal_; }
  // Why no lock file could be opened or made (a read-only folder), when so.
  const QString& unlockedWhy() const { return unlockedWhy_; }
  // Beside the file's canonical path, so that two spellings of one
  // setup.ini share one lock.
  static QString lockFileFor(const QString& iniPath);
  // An exclusive lock on file, waiting at most `limit`; false when not had.
  // A stop request (platform::stopRequested) ends the wait at once, so that
  // a stopped run ends without sitting out the wait.
  static bool lockWithin(platform::File& file, std::chrono::milliseconds limit);

 private:
  QString key_;
  QString refusal_;
  QString unlockedWhy_;
  bool locked_ = false;
};

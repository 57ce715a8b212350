#pragma once

#include <QString>

// An exclusive lock on the settings beside one setup.ini, shared by every
// process that uses that file: flock() on "<setup.ini>.lock". Steps that
// read a value, act on it and write it back (the fixture's serial number)
// hold it so that two runs from the same folder never interleave them.
// Re-entrant within a process: a nested lock on the same file just counts.
// Where the lock file cannot be made (a read-only folder) the lock is not
// held and the caller goes on as before; locked() tells.
class SettingsLock {
 public:
  explicit SettingsLock(const QString& iniPath);
  ~SettingsLock();
  SettingsLock(const SettingsLock&) = delete;
  SettingsLock& operator=(const SettingsLock&) = delete;

  bool locked() const { return locked_; }
  static QString lockFileFor(const QString& iniPath);

 private:
  QString key_;
  bool locked_ = false;
};

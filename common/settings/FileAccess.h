#pragma once

#include <QFile>
#include <QString>

#include <sys/stat.h>
#include <unistd.h>

// Whether we may write to a file or folder. Root passes every permission
// check; a read-only setup.ini or program folder must stay read-only for the
// programs all the same, so look at the mode bits then.
inline bool writableForUs(const QString& path) {
  const QByteArray native = QFile::encodeName(path);
  if (::geteuid() != 0) return ::access(native.constData(), W_OK) == 0;
  struct stat st {};
  if (::stat(native.constData(), &st) != 0) return false;
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

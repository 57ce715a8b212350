#pragma once

#include <QFile>
#include <QString>

#include <optional>

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

// Files in a folder a group shares (the station folder) are never opened
// through a symbolic link: a member could point one at another user's file.

// The one way a file in a shared folder is opened: name relative to dir
// (AT_FDCWD for a plain path), never through a link in its last part, never
// waiting on the open (a FIFO is refused, not waited on), not inherited,
// and only when it is a regular file (otherwise -1 with errno ENXIO).
int openRegularAt(int dir, const QString& name, int flags, mode_t mode = 0);
// A relative path that stays below its folder: not empty, not absolute, no
// ".." or "." component, no empty component.
bool isConfinedPath(const QString& relative);
// Opens a file to append to, creating it with `mode` when missing. The open
// never waits (a FIFO is refused, not waited on), the descriptor is not
// inherited, and only a regular file is used. With `folder`, `path` is
// relative to it (isConfinedPath) and no symbolic link is followed anywhere
// below the folder; without it, none in the last component. -1 with `error`
// naming the file and why.
int openForAppend(const QString& folder, const QString& path, mode_t mode, QString& error);

// The file's bytes; nothing when it cannot be read or is not a plain file.
std::optional<QByteArray> readNoFollow(const QString& filePath);
// Everything written, retried after a short write or a signal.
bool writeAll(int fd, const QByteArray& bytes);
// The whole file replaced by content: a temporary file beside it, on disk,
// then renamed over it, so a crash leaves the old or the new file. Where the
// folder is not ours to write, an existing file is rewritten in place. The
// file keeps its mode; a new one in the station folder is made 0660.
bool replaceFileContent(const QString& filePath, const QByteArray& content, bool exists);

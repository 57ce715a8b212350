#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

#include <platform/Files.h>

// Files in a folder a group shares (the station folder) are never opened
// through a symbolic link: a member could point one at another user's file.
// The operating system's part is platform::openRegular and its kin.

// A relative path that stays below its folder: not empty, not absolute, no
// ".." or "." component, no empty component.
bool isConfinedPath(const QString& relative);
// Opens a file to append to, creating it when missing; read as well where
// allowed, so that the caller can look at the file's end. The open never
// waits (a FIFO is refused, not waited on), the file is not inherited, and
// only a regular file is used. With `folder`, `path` is relative to it
// (isConfinedPath) and no symbolic link is followed anywhere below the
// folder; without it, none in the last component. Not open, with `error`
// naming the file and why, on failure.
platform::File openForAppend(const QString& folder, const QString& path, QString& error);

// The file's bytes; nothing when it cannot be read or is not a plain file.
std::optional<QByteArray> readNoFollow(const QString& filePath);
// The whole file replaced by content: a temporary file beside it, on disk,
// then renamed over it, so a crash leaves the old or the new file. Where the
// folder is not ours to write, an existing file is rewritten in place. The
// file keeps its mode; a new one in the station folder is made 0660. False,
// with the system's reason in `why` when given, on failure.
bool replaceFileContent(const QString& filePath, const QByteArray& content, bool exists, QString* why = nullptr);

#include "FileAccess.h"

#include "SettingsFolder.h"

#include <QDir>
#include <QFileInfo>

bool isConfinedPath(const QString& relative) {
  if (relative.isEmpty() || relative.startsWith(u'/') || relative.contains(QChar(0))) return false;
  for (const QString& part : relative.split(u'/'))
    if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")) return false;
  return true;
}

platform::File openForAppend(const QString& folder, const QString& path, QString& error) {
  using platform::File;
  using platform::OpenMode;
  const QString shown = folder.isEmpty() ? path : QDir(folder).filePath(path);
  if (!folder.isEmpty() && !isConfinedPath(path)) {
    error = QStringLiteral("%1: not a path inside %2").arg(shown, folder);
    return {};
  }
  File file = platform::openRegular(folder, path, {.access = OpenMode::ReadWrite, .append = true, .create = true});
  if (file.failure() == File::Failure::Denied)
    file = platform::openRegular(folder, path, {.access = OpenMode::Write, .append = true, .create = true});
  if (file.isOpen()) return file;
  QString why;
  switch (file.failure()) {
    case File::Failure::Link:
    case File::Failure::NotFolder: why = QStringLiteral("a symbolic link on the way, not followed"); break;
    case File::Failure::NotRegular: why = QStringLiteral("not a regular file"); break;
    default: why = file.errorText(); break;
  }
  error = QStringLiteral("%1: %2").arg(shown, why);
  return file;
}

std::optional<QByteArray> readNoFollow(const QString& filePath) {
  platform::File file = platform::openRegular({}, filePath, {platform::OpenMode::Read});
  if (!file.isOpen()) return std::nullopt;
  return file.readAll();
}

bool replaceFileContent(const QString& filePath, const QByteArray& content, bool exists, QString* why) {
  const QString folder = QFileInfo(filePath).absolutePath();
  if (platform::writableForUs(folder)) {
    // The station's setup.ini may hold the line's database password: its
    // group shares it, other accounts do not see it. An old file keeps the
    // mode someone gave it.
    return platform::replaceByRename(
        filePath, content, SettingsFolder::isStationFolder(folder) ? platform::NewFile::GroupOnly : platform::NewFile::AsUsual,
        why);
  }
  // A folder we may not write to leaves only an in-place rewrite of an
  // existing writable file, as the classic writer does: written over from
  // the start and only then cut to its new length, so that a reader never
  // finds it empty or cut short.
  if (!exists) return false;
  platform::File file = platform::openRegular({}, filePath, {platform::OpenMode::Write});
  const bool ok = file.isOpen() && file.write(content) && file.truncate(content.size()) && file.sync();
  if (file.close() && ok) return true;
  if (why) *why = file.errorText();
  return false;
}

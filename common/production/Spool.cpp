#include "Spool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QSet>

#include <settings/FileAccess.h>
#include <settings/SettingsLock.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

QByteArray toLine(const RunRecord& record) {
  QJsonObject object;
  for (const auto& column : RunRecord::columns())
    object.insert(QLatin1String(column.name), record.*column.field);
  return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<RunRecord> fromLine(const QByteArray& line) {
  const QJsonObject object = QJsonDocument::fromJson(line).object();
  RunRecord record;
  for (const auto& column : RunRecord::columns())
    record.*column.field = object.value(QLatin1String(column.name)).toString();
  if (record.uid.isEmpty()) return std::nullopt;
  return record;
}

// The spool sits beside setup.ini, in a folder a group may share: read and
// written as setup.ini is, never through a symbolic link.
QList<QByteArray> readLines(const QString& path) {
  QList<QByteArray> lines = readNoFollow(path).value_or(QByteArray()).split('\n');
  lines.removeAll(QByteArray());
  return lines;
}

}  // namespace

Spool::Spool(QString iniPath)
    : iniPath_(std::move(iniPath)),
      path_(QFileInfo(iniPath_).dir().filePath(QStringLiteral("production-spool.jsonl"))) {}

QString Spool::append(const RunRecord& record) {
  SettingsLock lock(iniPath_);
  const int fd = ::open(QFile::encodeName(path_).constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                        0666);
  const bool kept = fd >= 0 && writeAll(fd, toLine(record)) && ::fsync(fd) == 0;
  const QString why = QString::fromLocal8Bit(std::strerror(errno));
  if (fd >= 0) ::close(fd);
  return kept ? QString() : QStringLiteral("cannot keep the record in %1: %2").arg(path_, why);
}

bool Spool::deliver(const std::function<bool(const RunRecord&)>& store, QString& error) {
  QList<QByteArray> lines;
  {
    SettingsLock lock(iniPath_);
    lines = readLines(path_);
  }
  if (lines.isEmpty()) return true;
  // Stored outside the lock: a slow database must not hold up the station.
  // A second run delivering the same records meanwhile is harmless, since
  // the store ignores a uid it has.
  QSet<QByteArray> delivered;
  bool all = true;
  for (const QByteArray& line : lines) {
    const auto record = fromLine(line);
    if (!record) continue;  // unreadable: kept for a person to look at
    if (!store(*record)) {
      all = false;
      break;
    }
    delivered.insert(line);
  }
  if (delivered.isEmpty()) return all;

  SettingsLock lock(iniPath_);
  // Without the lock another run could append meanwhile, and the rewrite
  // would lose its record; the delivered ones stay and go again, harmlessly.
  if (lock.refused()) {
    error = QStringLiteral("%1 not rewritten: %2").arg(path_, lock.refusal());
    return false;
  }
  QList<QByteArray> keep;
  for (const QByteArray& line : readLines(path_))
    if (!delivered.contains(line)) keep << line;
  if (keep.isEmpty()) {
    if (QFile::remove(path_)) return all;
  }
  QByteArray content;
  for (const QByteArray& line : keep) content += line + '\n';
  if (!replaceFileContent(path_, content, true)) {
    error = QStringLiteral("cannot rewrite %1: %2").arg(path_, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
  }
  return all;
}

#include "Spool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QSaveFile>
#include <QSet>

#include <settings/SettingsLock.h>

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

QList<QByteArray> readLines(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  QList<QByteArray> lines = file.readAll().split('\n');
  lines.removeAll(QByteArray());
  return lines;
}

}  // namespace

Spool::Spool(QString iniPath)
    : iniPath_(std::move(iniPath)),
      path_(QFileInfo(iniPath_).dir().filePath(QStringLiteral("production-spool.jsonl"))) {}

QString Spool::append(const RunRecord& record) {
  SettingsLock lock(iniPath_);
  QFile file(path_);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
    return QStringLiteral("cannot keep the record in %1: %2").arg(path_, file.errorString());
  const QByteArray line = toLine(record);
  if (file.write(line) != line.size() || !file.flush() || ::fsync(file.handle()) != 0)
    return QStringLiteral("cannot keep the record in %1: %2").arg(path_, file.errorString());
  return {};
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
  QList<QByteArray> keep;
  for (const QByteArray& line : readLines(path_))
    if (!delivered.contains(line)) keep << line;
  if (keep.isEmpty()) {
    if (QFile::remove(path_)) return all;
  }
  QSaveFile file(path_);
  bool written = file.open(QIODevice::WriteOnly);
  for (const QByteArray& line : keep) written = written && file.write(line + '\n') == line.size() + 1;
  // On disk before it replaces the old spool: a crash leaves one or the other.
  written = written && file.flush() && ::fsync(file.handle()) == 0;
  if (!written || !file.commit()) {
    error = QStringLiteral("cannot rewrite %1: %2").arg(path_, file.errorString());
    return false;
  }
  return all;
}

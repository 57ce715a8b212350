#include "Spool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QSet>

#include <platform/Files.h>
#include <settings/FileAccess.h>
#include <settings/SettingsLock.h>

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
// Nothing when the file cannot be read (a missing one included).
std::optional<QList<QByteArray>> readLines(const QString& path) {
  const std::optional<QByteArray> bytes = readNoFollow(path);
  if (!bytes) return std::nullopt;
  QList<QByteArray> lines = bytes->split('\n');
  lines.removeAll(QByteArray());
  return lines;
}

}  // namespace

Spool::Spool(QString iniPath)
    : iniPath_(std::move(iniPath)),
      path_(QFileInfo(iniPath_).dir().filePath(QStringLiteral("production-spool.jsonl"))) {}

QString Spool::append(const RunRecord& record) {
  const QString why = QStringLiteral("cannot keep the record in %1: ").arg(path_);
  SettingsLock lock(iniPath_);
  // Unlocked, a delivery rewriting the spool meanwhile would drop this record.
  if (!lock.locked())
    return why + (lock.refused() ? lock.refusal() : QStringLiteral("no lock file beside %1").arg(iniPath_));
  QString error;
  platform::File file = openForAppend(QFileInfo(path_).absolutePath(), QFileInfo(path_).fileName(), error);
  if (!file.isOpen()) return why + error;
  const qint64 size = file.size();
  QByteArray bytes = toLine(record);
  // A line left unfinished (by a crash) must not swallow this record.
  const char last = size > 0 ? file.byteAt(size - 1).value_or('\n') : '\n';
  if (last != '\n') bytes.prepend('\n');
  const bool kept = size >= 0 && file.write(bytes) && file.sync();
  const QString reason = file.errorText();
  // Cut back to the old size, so no partial line stays behind.
  if (!kept && size >= 0 && file.truncate(size)) file.sync();
  return kept ? QString() : why + reason;
}

bool Spool::deliver(const std::function<bool(const RunRecord&)>& store, QString& error) {
  QList<QByteArray> lines;
  {
    SettingsLock lock(iniPath_);
    if (platform::entryAt(path_) == platform::Entry::Other) {
      // Planted there by someone: neither read through nor written to.
      error = QStringLiteral("%1 is not a plain file: not read").arg(path_);
      return true;
    }
    lines = readLines(path_).value_or(QList<QByteArray>());
  }
  if (lines.isEmpty()) return true;
  // Stored outside the lock: a slow database must not hold up the station.
  // A second run delivering the same records meanwhile is harmless, since
  // the store ignores a uid it has.
  QSet<QByteArray> delivered;
  QList<QByteArray> unreadable;
  bool all = true;
  for (const QByteArray& line : lines) {
    const auto record = fromLine(line);
    if (!record) {
      // Moved aside for a person to look at; it must not hold back the
      // records behind it, nor hide among them.
      unreadable << line;
      continue;
    }
    if (!store(*record)) {
      all = false;
      break;
    }
    delivered.insert(line);
  }
  if (delivered.isEmpty() && unreadable.isEmpty()) return all;

  SettingsLock lock(iniPath_);
  // Without the lock another run could append meanwhile, and the rewrite
  // would lose its record; the delivered ones stay and go again, harmlessly.
  if (lock.refused()) {
    error = QStringLiteral("%1 not rewritten: %2").arg(path_, lock.refusal());
    return false;
  }
  if (!unreadable.isEmpty()) {
    const QString aside = QFileInfo(path_).completeBaseName() + QStringLiteral(".unreadable");
    QString openError;
    platform::File file = openForAppend(QFileInfo(path_).absolutePath(), aside, openError);
    QByteArray bytes;
    for (const QByteArray& line : unreadable) bytes += line + '\n';
    const bool moved = file.isOpen() && file.write(bytes) && file.sync();
    const QString asidePath = QFileInfo(path_).dir().filePath(aside);
    if (!moved) {
      error = QStringLiteral("%1 holds %2 unreadable line(s), not moved aside: %3")
                  .arg(path_).arg(unreadable.size()).arg(file.isOpen() ? file.errorText() : openError);
      unreadable.clear();
    } else {
      error = QStringLiteral("%1 unreadable line(s) of %2 moved to %3").arg(unreadable.size()).arg(path_, asidePath);
    }
  }
  const QSet<QByteArray> gone = delivered + QSet<QByteArray>(unreadable.begin(), unreadable.end());
  // Read again under the lock: runs may have appended meanwhile. A spool that
  // cannot be read now is left as it is, never taken for an empty one.
  const std::optional<QList<QByteArray>> now = readLines(path_);
  if (!now && !QFileInfo::exists(path_) && !QFileInfo(path_).isSymLink()) return all;  // another run emptied it
  if (!now) {
    error += (error.isEmpty() ? QString() : QStringLiteral("; ")) +
             QStringLiteral("cannot read %1 again: delivered records stay in it").arg(path_);
    return false;
  }
  QList<QByteArray> keep;
  for (const QByteArray& line : *now)
    if (!gone.contains(line)) keep << line;
  if (keep.isEmpty()) {
    if (QFile::remove(path_)) return all;
  }
  QByteArray content;
  for (const QByteArray& line : keep) content += line + '\n';
  QString reason;
  if (!replaceFileContent(path_, content, true, &reason)) {
    error += (error.isEmpty() ? QString() : QStringLiteral("; ")) + QStringLiteral("cannot rewrite %1: %2").arg(path_, reason);
    return false;
  }
  return all;
}

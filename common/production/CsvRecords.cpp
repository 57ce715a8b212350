#include "CsvRecords.h"

#include <QDir>

#include <platform/Files.h>
#include <platform/StopRequests.h>
#include <settings/FileAccess.h>
#include <settings/SettingsLock.h>

namespace CsvRecords {

QByteArray field(const QString& text) {
  QByteArray bytes = text.toUtf8();
  // A spreadsheet would run a field that starts like a formula: shown as text instead.
  if (!bytes.isEmpty() && QByteArrayView("=+-@\t\r").contains(bytes.front())) bytes.prepend('\'');
  if (!bytes.contains(',') && !bytes.contains('"') && !bytes.contains('\r') && !bytes.contains('\n')) return bytes;
  bytes.replace('"', "\"\"");
  return '"' + bytes + '"';
}

QByteArray headerLine() {
  QByteArray out;
  for (const auto& column : RunRecord::columns()) out += (out.isEmpty() ? "" : ",") + QByteArray(column.name);
  return out + "\r\n";
}

QByteArray line(const RunRecord& record) {
  QByteArray out;
  bool first = true;
  for (const auto& column : RunRecord::columns()) {
    if (!first) out += ',';
    out += field(record.*column.field);
    first = false;
  }
  return out + "\r\n";
}

Appended append(const QString& folder, const QString& path, const RunRecord& record) {
  QString error;
  platform::File file = openForAppend(folder, path, error);
  if (!file.isOpen()) return {QStringLiteral("cannot open ") + error};
  const QString shown = folder.isEmpty() ? path : QDir(folder).filePath(path);
  // Whole lines from every run, and one header: the size is judged under
  // the lock. Another program may keep the file locked: the wait is bounded.
  if (!SettingsLock::lockWithin(file, SettingsLock::kWait))
    return {platform::stopRequested()
                ? QStringLiteral("stopped while another program held %1").arg(shown)
                : QStringLiteral("another program held %1 for %2 s").arg(shown).arg(SettingsLock::kWait.count()),
            true};
  const qint64 size = file.size();
  QByteArray bytes = line(record);
  if (size == 0) bytes.prepend(headerLine());
  if (!file.write(bytes) || !file.sync()) {
    const QString why = file.errorText();
    // A partial line would corrupt the next record: take it back.
    if (size >= 0 && file.truncate(size)) file.sync();
    return {QStringLiteral("cannot write %1: %2").arg(shown, why)};
  }
  // A new file's name must reach the disk too, or a crash can lose the file.
  if (size == 0) platform::syncFolderOf(shown);
  return {};
}

}  // namespace CsvRecords

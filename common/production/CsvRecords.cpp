#include "CsvRecords.h"

#include <QFile>
#include <QFileInfo>

#include <settings/FileAccess.h>
#include <settings/SettingsLock.h>

#include <QDir>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// A new file's name must reach the disk too, or a crash can lose the file.
void syncFolder(const QString& path) {
  const int dir = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_CLOEXEC);
  if (dir < 0) return;
  ::fsync(dir);
  ::close(dir);
}

QString reason() { return QString::fromLocal8Bit(std::strerror(errno)); }

}  // namespace

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
  const int fd = openForAppend(folder, path, 0666, error);
  if (fd < 0) return {QStringLiteral("cannot open ") + error};
  const QString shown = folder.isEmpty() ? path : QDir(folder).filePath(path);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  // Whole lines from every run, and one header: the size is judged under
  // the lock. Another program may keep the file locked: the wait is bounded.
  if (!SettingsLock::lockWithin(fd, SettingsLock::kWait))
    return {SettingsLock::stopRequested
                ? QStringLiteral("stopped while another program held %1").arg(shown)
                : QStringLiteral("another program held %1 for %2 s").arg(shown).arg(SettingsLock::kWait.count()),
            true};
  const off_t size = ::lseek(fd, 0, SEEK_END);
  QByteArray bytes = line(record);
  if (size == 0) bytes.prepend(headerLine());
  if (!writeAll(fd, bytes) || ::fsync(fd) != 0) {
    const QString why = reason();
    // A partial line would corrupt the next record: take it back.
    if (size >= 0 && ::ftruncate(fd, size) == 0) ::fsync(fd);
    return {QStringLiteral("cannot write %1: %2").arg(shown, why)};
  }
  if (size == 0) syncFolder(shown);
  return {};
}

}  // namespace CsvRecords

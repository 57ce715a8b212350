#include "CsvRecords.h"

#include <QFile>
#include <QFileInfo>

#include <settings/FileAccess.h>

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

QString append(const QString& path, const RunRecord& record) {
  const QByteArray native = QFile::encodeName(path);
  const int fd = ::open(native.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return QStringLiteral("cannot open %1: %2").arg(path, reason());
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  // Whole lines from every run, and one header: the size is judged under the lock.
  while (::flock(fd, LOCK_EX) < 0)
    if (errno != EINTR) return QStringLiteral("cannot lock %1: %2").arg(path, reason());
  const off_t size = ::lseek(fd, 0, SEEK_END);
  QByteArray bytes = line(record);
  if (size == 0) bytes.prepend(headerLine());
  if (!writeAll(fd, bytes) || ::fsync(fd) != 0) {
    const QString why = reason();
    // A partial line would corrupt the next record: take it back.
    if (size >= 0 && ::ftruncate(fd, size) == 0) ::fsync(fd);
    return QStringLiteral("cannot write %1: %2").arg(path, why);
  }
  if (size == 0) syncFolder(path);
  return {};
}

}  // namespace CsvRecords

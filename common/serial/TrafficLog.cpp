#include "TrafficLog.h"

#include <QFile>
#include <QFileDevice>
#include <QFileInfo>

TrafficLog::TrafficLog(QString fileName, std::function<QDateTime()> clock)
    : fileName_(std::move(fileName)), clock_(std::move(clock)) {}

QStringList TrafficLog::headerLines(const QString& timestamp) {
  const QString border(kHeaderWidth, u'*');
  const QString blankLine = u'*' + QString(kHeaderWidth - 2, u' ') + u'*';
  return {
      border,
      QStringLiteral("*   Logfile for serial comunication between PC and Kestrune products") + QString(38, u' ') +
          u'*',
      blankLine,
      QStringLiteral("*   Start time : ") + timestamp + QString(70, u' ') + u'*',
      blankLine,
      border,
  };
}

void TrafficLog::startFresh() {
  if (QFileInfo(fileName_).isFile()) {
    // A read-only file from an earlier run must go too.
    QFile::setPermissions(fileName_, QFile::permissions(fileName_) | QFileDevice::WriteOwner | QFileDevice::WriteUser);
    if (!QFile::remove(fileName_)) {
      // Cannot delete (e.g. the folder is write-protected): empty it instead,
      // so the new log still starts with its header. Failing that, lines drop.
      QFile file(fileName_);
      if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.close();
    }
  }
  const QStringList lines = headerLines(LogTimestamp());
  for (const QString& line : lines) LogWriteLine(line, false);
}

bool TrafficLog::LogWriteLine(const QString& text, bool withTimestamp) {
  // Open, append, close for every line: the file is complete after each one.
  QFile file(fileName_);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) return true;
  QByteArray line = (withTimestamp ? LogTimestamp() + u' ' + text : text).toLatin1();
  line += "\r\n";
  file.write(line);
  file.close();
  return true;
}

QString TrafficLog::LogTimestamp() const {
  return clock_().toString(QStringLiteral("dd.MM.yyyy hh.mm.ss"));
}

#include "TrafficLog.h"

#include <QFile>
#include <QFileDevice>
#include <QFileInfo>

#include <platform/Files.h>


// Log.txt is never opened through a symbolic link: the log may sit in a
// folder a group shares, where a member could point it at another user's
// file. Nor into a FIFO or device put there: the open does not wait, and
// only a regular file is written (platform::openRegular).

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
  const QFileInfo old(fileName_);
  // A read-only file from an earlier run goes too; a link goes itself, what
  // it points at stays untouched.
  if ((old.isSymLink() || old.isFile()) && !QFile::remove(fileName_) && !old.isSymLink()) {
    // Cannot delete (e.g. the folder is write-protected): empty it instead,
    // so the new log still starts with its header. Failing that, lines drop.
    QFile::setPermissions(fileName_, QFile::permissions(fileName_) | QFileDevice::WriteOwner | QFileDevice::WriteUser);
    platform::File file = platform::openRegular({}, fileName_, {platform::OpenMode::Write});
    if (file.isOpen()) file.truncate(0);
  }
  const QStringList lines = headerLines(LogTimestamp());
  for (const QString& line : lines) LogWriteLine(line, false);
}

bool TrafficLog::LogWriteLine(const QString& text, bool withTimestamp) {
  // Open, append, close for every line: the file is complete after each one.
  platform::File file =
      platform::openRegular({}, fileName_, {.access = platform::OpenMode::Write, .append = true, .create = true});
  if (!file.isOpen()) {
    if (!refusalSaid_ && platform::entryAt(fileName_) == platform::Entry::Other) {
      refusalSaid_ = true;
      if (messages_) messages_(fileName_ + QStringLiteral(" is not a regular file: the traffic log is not written"));
    }
    return true;
  }
  QByteArray line = (withTimestamp ? LogTimestamp() + u' ' + text : text).toLatin1();
  line += "\r\n";
  file.write(line);
  return true;
}

QString TrafficLog::LogTimestamp() const {
  return clock_().toString(QStringLiteral("dd.MM.yyyy hh.mm.ss"));
}

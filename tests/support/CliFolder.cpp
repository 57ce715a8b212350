#include "CliFolder.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>

#include <csignal>

#include "PtyBench.h"

QString CliFolder::Result::lastLine() const {
  const QStringList lines = out.split(u'\n', Qt::SkipEmptyParts);
  return lines.isEmpty() ? QString() : lines.last();
}

CliFolder::CliFolder(const QString& program) : program_(dir_.filePath(QFileInfo(program).fileName())) {
  QFile::copy(program, program_);
}

void CliFolder::writeIni(const QByteArray& text) const {
  writeFile(path(QStringLiteral("setup.ini")), text);
}

QByteArray CliFolder::ini() const { return fileBytes(path(QStringLiteral("setup.ini"))); }

std::unique_ptr<QProcess> CliFolder::start(const QStringList& args) const {
  auto process = std::make_unique<QProcess>();
  process->setWorkingDirectory(dir_.path());
  process->start(program_, args);
  process->waitForStarted(5000);
  return process;
}

CliFolder::Result CliFolder::finish(QProcess& process, const QString& interruptAt, int signal) {
  Result r;
  QDeadlineTimer deadline(60000);
  bool interrupted = interruptAt.isEmpty();
  while (process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
    process.waitForReadyRead(50);
    r.out += QString::fromLocal8Bit(process.readAllStandardOutput());
    if (!interrupted && r.out.contains(interruptAt)) {
      ::kill(pid_t(process.processId()), signal);
      interrupted = true;
    }
  }
  if (process.state() != QProcess::NotRunning) process.kill();
  process.waitForFinished(5000);
  r.out += QString::fromLocal8Bit(process.readAllStandardOutput());
  r.err = QString::fromLocal8Bit(process.readAllStandardError());
  r.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  return r;
}

#include "CliFolder.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "PtyBench.h"

QString CliFolder::Result::lastLine() const {
  const QStringList lines = out.split(u'\n', Qt::SkipEmptyParts);
  return lines.isEmpty() ? QString() : lines.last();
}

double CliFolder::Result::seenAt(const QString& text) const {
  const qsizetype at = out.indexOf(text);
  for (const auto& [length, seconds] : arrivals)
    if (at >= 0 && length >= at + text.size()) return seconds;
  return -1;
}

unsigned lineSpeed(const QString& device) {
  const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios modes{};
  const bool read = fd >= 0 && ::tcgetattr(fd, &modes) == 0;
  if (fd >= 0) ::close(fd);
  return read ? unsigned(::cfgetospeed(&modes)) : 0;
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
  QElapsedTimer clock;
  clock.start();
  bool interrupted = interruptAt.isEmpty();
  while (process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
    process.waitForReadyRead(50);
    r.out += QString::fromLocal8Bit(process.readAllStandardOutput());
    r.arrivals.emplace_back(r.out.size(), clock.elapsed() / 1000.0);
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

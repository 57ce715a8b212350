#include "PtyBench.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>

#include <IniFileHandler.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

PseudoTerminal::PseudoTerminal() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master_ < 0) return;
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    ::close(master_);
    master_ = -1;
    return;
  }
  slavePath_ = QString::fromLocal8Bit(::ptsname(master_));
  // Raw on both sides: no echo, no CR/LF translation, all 256 byte values pass.
  termios tio{};
  if (::tcgetattr(master_, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(master_, TCSANOW, &tio);
  }
  slaveKeeper_ = ::open(slavePath_.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slaveKeeper_ >= 0 && ::tcgetattr(slaveKeeper_, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(slaveKeeper_, TCSANOW, &tio);
  }
}

PseudoTerminal::~PseudoTerminal() {
  if (slaveKeeper_ >= 0) ::close(slaveKeeper_);
  if (master_ >= 0) ::close(master_);
}

bool PseudoTerminal::write(const QByteArray& bytes) {
  qsizetype done = 0;
  QDeadlineTimer deadline(5000);
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.constData() + done, size_t(bytes.size() - done));
    if (n > 0) {
      done += n;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

static QByteArray readSome(int fd) {
  QByteArray out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, n);
      continue;
    }
    break;  // EAGAIN, EIO (no slave open) or end: nothing more now
  }
  return out;
}

QByteArray PseudoTerminal::read(int count, std::chrono::milliseconds timeout) {
  QByteArray got;
  QDeadlineTimer deadline(timeout);
  while (got.size() < count) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    got += readSome(master_);
    if (got.size() >= count || deadline.hasExpired()) break;
    pollfd p{master_, POLLIN, 0};
    ::poll(&p, 1, 2);
  }
  return got;
}

QByteArray PseudoTerminal::readUntilQuiet(std::chrono::milliseconds quiet,
                                          std::chrono::milliseconds timeout) {
  QByteArray got;
  QDeadlineTimer deadline(timeout);
  QDeadlineTimer quietDeadline(quiet);
  while (!deadline.hasExpired() && !quietDeadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const QByteArray more = readSome(master_);
    if (!more.isEmpty()) {
      got += more;
      quietDeadline.setRemainingTime(quiet);
    }
    pollfd p{master_, POLLIN, 0};
    ::poll(&p, 1, 2);
  }
  return got;
}

void PseudoTerminal::drain() { (void)readSome(master_); }

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  QDeadlineTimer deadline(timeout);
  while (!pred()) {
    if (deadline.hasExpired()) return pred();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    pollfd none{};
    ::poll(&none, 0, 1);
  }
  return true;
}

QString writePortsIni(const QString& dir, int comNumber, const QString& devicePath) {
  const QString path = QDir(dir).filePath(QStringLiteral("setup.ini"));
  IniFileHandler::WriteIniValue(QStringLiteral("Ports"), QStringLiteral("COM%1").arg(comNumber),
                                devicePath, path);
  return path;
}

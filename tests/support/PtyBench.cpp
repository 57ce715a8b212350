#include "PtyBench.h"

#include <QAction>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <settings/IniFileHandler.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstdlib>
#include <limits>
#include <utility>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Raw: no echo, no CR/LF translation, all 256 byte values pass.
void makeRaw(int fd) {
  termios tio{};
  if (fd >= 0 && ::tcgetattr(fd, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
  }
}

// Serves the program's events, then waits briefly for the master side.
void serveAndWait(int fd, short events) {
  QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  pollfd p{fd, events, 0};
  ::poll(&p, 1, 2);
}

QByteArray readSome(int fd) {
  QByteArray out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, n);
  return out;  // stops at EAGAIN, EIO (no slave open) or end
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master_ >= 0 && (::grantpt(master_) != 0 || ::unlockpt(master_) != 0)) ::close(std::exchange(master_, -1));
  if (master_ < 0) return;
  slavePath_ = QString::fromLocal8Bit(::ptsname(master_));
  makeRaw(master_);
  slaveKeeper_ = ::open(slavePath_.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  makeRaw(slaveKeeper_);
}

PseudoTerminal::~PseudoTerminal() {
  if (slaveKeeper_ >= 0) ::close(slaveKeeper_);
  if (master_ >= 0) ::close(master_);
}

unsigned PseudoTerminal::lineSpeed() const {
  termios tio{};
  return ::tcgetattr(master_, &tio) == 0 ? ::cfgetospeed(&tio) : 0;
}

bool PseudoTerminal::write(const QByteArray& bytes) {
  qsizetype done = 0;
  const QDeadlineTimer deadline(5000);
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.constData() + done, size_t(bytes.size() - done));
    if (n > 0)
      done += n;
    else if ((n < 0 && errno != EAGAIN && errno != EINTR) || deadline.hasExpired())
      return false;
    else
      serveAndWait(master_, POLLOUT);  // the line is full: let the program read
  }
  return true;
}

// Reads until count bytes arrived, timeout passed or (quiet > 0) nothing new came for quiet.
static QByteArray collect(int fd, qsizetype count, std::chrono::milliseconds quiet, std::chrono::milliseconds timeout) {
  QByteArray got;
  const QDeadlineTimer deadline(timeout);
  QDeadlineTimer quietDeadline(quiet > quiet.zero() ? quiet : timeout);
  while (got.size() < count && !deadline.hasExpired() && !quietDeadline.hasExpired()) {
    serveAndWait(fd, POLLIN);
    const QByteArray more = readSome(fd);
    got += more;
    if (!more.isEmpty() && quiet > quiet.zero()) quietDeadline.setRemainingTime(quiet);
  }
  return got;
}

QByteArray PseudoTerminal::read(int count, std::chrono::milliseconds timeout) {
  return collect(master_, count, {}, timeout);
}

QByteArray PseudoTerminal::readUntilQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout) {
  return collect(master_, std::numeric_limits<qsizetype>::max(), quiet, timeout);
}

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const QDeadlineTimer deadline(timeout);
  while (!pred()) {
    if (deadline.hasExpired()) return pred();
    serveAndWait(-1, 0);  // a negative descriptor is ignored: just a short sleep
  }
  return true;
}

QString writePortsIni(const QString& dir, int comNumber, const QString& devicePath) {
  const QString path = QDir(dir).filePath(QStringLiteral("setup.ini"));
  IniFileHandler::WriteIniValue(QStringLiteral("Ports"), QStringLiteral("COM%1").arg(comNumber), devicePath, path);
  return path;
}

QByteArray fileBytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& content) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

QStringList checkedItems(const QList<QAction*>& items) {
  QStringList names;
  for (const QAction* a : items)
    if (a->isChecked()) names << a->objectName();
  return names;
}

void idleFor(std::chrono::milliseconds span) {
  QEventLoop loop;
  QTimer::singleShot(span, &loop, &QEventLoop::quit);
  loop.exec();
}

static LineModes withLine(const QString& device, bool cook) {
  LineModes m;
  const int fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios t{};
  if (fd < 0) return m;
  if (::tcgetattr(fd, &t) == 0 && cook) {
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN | ECHOCTL | ECHOKE;
    ::tcsetattr(fd, TCSANOW, &t);
    ::tcgetattr(fd, &t);
  }
  ::close(fd);
  return {unsigned(t.c_iflag), unsigned(t.c_oflag), unsigned(t.c_lflag)};
}

bool LineModes::echoes() const { return (lflag & (ECHO | ICANON)) != 0; }
LineModes lineModes(const QString& device) { return withLine(device, false); }
LineModes cookLine(const QString& device) { return withLine(device, true); }

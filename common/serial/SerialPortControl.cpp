#include "SerialPortControl.h"

#include <settings/IniFileHandler.h>

#include "EventYield.h"
#include "PortPermission.h"

#include <QFile>
#include <QTimer>

#include <cstdio>
#include <limits>
#include <optional>
#include <utility>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#endif

namespace {

constexpr int kHighestPort = 16;
constexpr qint32 kHighestBaud = 4'000'000;
// What a healthy line may take beyond its wire time before its output queue
// shrinks (USB adapters' latency, the driver's own scheduling).
constexpr auto kDrainMargin = std::chrono::seconds{1};

struct LineSettings {
  qint32 baud = 9600;
  QSerialPort::Parity parity = QSerialPort::NoParity;
  QSerialPort::DataBits dataBits = QSerialPort::Data8;
  QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// "9600,N,8,1": baud, parity letter, data bits, stop bits.
std::optional<LineSettings> parseSettings(const QString& text) {
  const QStringList parts = text.split(u',');
  if (parts.size() != 4) return std::nullopt;
  LineSettings s;

  bool ok = false;
  const qint64 baud = parts[0].trimmed().toLongLong(&ok);
  if (!ok || baud <= 0 || baud > kHighestBaud) return std::nullopt;
  s.baud = qint32(baud);

  const QString parity = parts[1].trimmed().toUpper();
  if (parity == u"N") s.parity = QSerialPort::NoParity;
  else if (parity == u"E") s.parity = QSerialPort::EvenParity;
  else if (parity == u"O") s.parity = QSerialPort::OddParity;
  else if (parity == u"M") s.parity = QSerialPort::MarkParity;
  else if (parity == u"S") s.parity = QSerialPort::SpaceParity;
  else return std::nullopt;

  const int bits = parts[2].trimmed().toInt(&ok);
  if (!ok || bits < 5 || bits > 8) return std::nullopt;
  s.dataBits = QSerialPort::DataBits(bits);

  const QString stop = parts[3].trimmed();
  if (stop == u"1") s.stopBits = QSerialPort::OneStop;
  else if (stop == u"1.5") s.stopBits = QSerialPort::OneAndHalfStop;
  else if (stop == u"2") s.stopBits = QSerialPort::TwoStop;
  else return std::nullopt;
  return s;
}

#ifdef Q_OS_UNIX
int kernelQueue(int fd, unsigned long request) {
  int n = 0;
  if (fd < 0 || ::ioctl(fd, request, &n) != 0 || n < 0) return 0;
  return n;
}

// The kernel's close waits up to half a minute for output that a stalled
// device never takes: the queue gets its wire time, then what is left goes.
void settleOutput(int fd, std::chrono::nanoseconds byteTime) {
  int left = kernelQueue(fd, TIOCOUTQ);
  if (left == 0) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds{100} + byteTime * left * 2;
  while ((left = kernelQueue(fd, TIOCOUTQ)) > 0 && std::chrono::steady_clock::now() < deadline)
    ::usleep(2000);
  if (left > 0) ::tcflush(fd, TCOFLUSH);
}

bool isLostDeviceError(int err) { return err == EIO || err == ENXIO || err == ENODEV; }

// A terminal that has been hung up (adapter pulled out, far end of a
// pseudo-terminal closed) answers every query with one of those errors.
bool descriptorGone(int fd) {
  termios tio{};
  return fd >= 0 && ::tcgetattr(fd, &tio) != 0 && isLostDeviceError(errno);
}

// QSerialPort puts back, at every close, the settings it found at the open.
// A line found in the terminal's default mode (canonical, echoing) would
// then echo what the equipment sends straight back to it after the close,
// and at the next open until the switch to raw mode. So a line used for
// traffic is closed on a duplicate of our own: QSerialPort's restore goes to
// /dev/null put in its descriptor's place, and the line stays raw (the
// kernel keeps its settings for the next open, by either program).
// The line itself is closed before QSerialPort's close removes its lock
// file, so that no other program finds the lock gone but the line still
// held exclusively ("already open").
void closeLeavingRaw(QSerialPort& port) {
  const int fd = int(port.handle());
  int line = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const bool swapped = line >= 0 && null >= 0 && ::dup2(null, fd) == fd;
  if (!swapped) {
    std::fprintf(stderr, "Serial port %s: could not keep the line raw at its close (%s); it is left as found at the open\n",
                 port.portName().toLocal8Bit().constData(), std::strerror(errno));
    if (line >= 0) ::close(line);
    line = -1;
  }
  if (null >= 0) ::close(null);
  if (line >= 0) {
    ::ioctl(line, TIOCNXCL);
    ::close(line);
  }
  port.close();
}
#endif

}  // namespace

struct SerialPortControl::Private {
  QSerialPort port;
  QString iniPath;
  QString deviceOverride;
  int commPort = 1;
  QString settings = QStringLiteral("9600,N,8,1");
  LineSettings line;
  int inBufferSize = 1024;
  int outBufferSize = 512;
  int inputLen = 0;
  InputMode inputMode = InputMode::Text;
  int rThreshold = 0;
  QString lastOpenError;
  // Bytes taken from QSerialPort but not yet read by the program. Draining
  // Qt's buffer at once keeps "waiting" in one place we control.
  QByteArray received;
  bool collecting = false;  // inside collectWaiting(): no receive events
  bool losing = false;      // closing a lost device: its own errors are moot
  // Closed for the program, but the descriptor kept: a close followed by a
  // setup of the same device at the same settings (calvboot does that before
  // every frame) then costs a discard of input instead of a reopen, which a
  // USB adapter pays with a dozen control transfers and a DTR pulse.
  bool kept = false;
  unsigned keptGeneration = 0;
  bool lookOnly = false;  // an open that only tests the port changes nothing
  bool leaveRaw = false;  // the open descriptor was opened for traffic
  // What the descriptor was opened for: a setup asking for anything else
  // closes it for real and opens anew.
  QString openDevice;
  QString openSettings;
  InputMode openMode = InputMode::Text;
  // The driver's serial flags before low latency was asked for, to put back
  // at the real close.
  std::optional<int> flagsBeforeLowLatency;
};

SerialPortControl::SerialPortControl(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {
  d->port.setParent(this);
  connect(&d->port, &QSerialPort::readyRead, this, [this] {
    const QByteArray bytes = d->port.readAll();
    if (!d->kept) deliverReceived(bytes);  // a closed port receives nothing
  });
  connect(&d->port, &QSerialPort::errorOccurred, this, &SerialPortControl::onPortError);
}

void SerialPortControl::deliverReceived(const QByteArray& bytes) {
  d->received += bytes;
  if (d->collecting) return;
  if (d->rThreshold > 0 && d->received.size() >= d->rThreshold) emit commEvent(comEvReceive);
}

void SerialPortControl::onPortError(QSerialPort::SerialPortError error) {
  if (d->losing || !d->port.isOpen()) return;
#ifdef Q_OS_UNIX
  // A hung-up line reads as nothing and Qt reports a read error with a
  // stale errno, leaving its notifier firing; and Qt calls a full output
  // queue (EAGAIN) a resource error, as it does a device that is gone. The
  // descriptor tells.
  const bool lost = error != QSerialPort::NoError && descriptorGone(d->port.handle());
#else
  const bool lost = error == QSerialPort::ResourceError;
#endif
  if (lost) loseDevice();
}

void SerialPortControl::loseDevice() {
  // Closed at once, so no notifier keeps firing on a dead descriptor.
  const QString device = d->openDevice;
  const bool wasKept = d->kept;
  d->losing = true;
  release();
  d->losing = false;
  // A port the program had closed already is not lost to it: its next setup
  // opens anew and reports what it finds.
  if (!wasKept) emit deviceLost(device);
}

#ifdef Q_OS_LINUX
// Asks the driver to hand over short replies at once (an FTDI adapter holds
// them up to its 16 ms latency timer otherwise). Drivers without the notion
// ignore it; a pseudo-terminal refuses it, which is no error.
static std::optional<int> askLowLatency(int fd) {
  serial_struct info{};
  if (::ioctl(fd, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY)) return std::nullopt;
  const int before = info.flags;
  info.flags |= ASYNC_LOW_LATENCY;
  if (::ioctl(fd, TIOCSSERIAL, &info) != 0) return std::nullopt;
  return before;
}

static void restoreLatency(int fd, int flags) {
  serial_struct info{};
  if (::ioctl(fd, TIOCGSERIAL, &info) != 0) return;
  info.flags = (info.flags & ~ASYNC_LOW_LATENCY) | (flags & ASYNC_LOW_LATENCY);
  ::ioctl(fd, TIOCSSERIAL, &info);
}
#endif

void SerialPortControl::release() {
  d->kept = false;
  ++d->keptGeneration;
  if (d->port.isOpen()) {
#ifdef Q_OS_LINUX
    if (d->flagsBeforeLowLatency) restoreLatency(int(d->port.handle()), *d->flagsBeforeLowLatency);
#endif
#ifdef Q_OS_UNIX
    settleOutput(int(d->port.handle()), byteTime());
    if (d->leaveRaw) closeLeavingRaw(d->port);
#endif
    if (d->port.isOpen()) d->port.close();
  }
  d->flagsBeforeLowLatency.reset();
  d->received.clear();
}

SerialPortControl::~SerialPortControl() { release(); }

void SerialPortControl::setPortsIniPath(const QString& iniPath) { d->iniPath = iniPath; }
QString SerialPortControl::portsIniPath() const { return d->iniPath; }

QString SerialPortControl::deviceForPort(int n, const QString& iniPath) {
  if (n < 1 || n > kHighestPort) return {};
  if (!iniPath.isEmpty()) {
    const QString mapped = IniFileHandler::ReadIniValue(QStringLiteral("Ports"), QStringLiteral("COM%1").arg(n),
                                                        QString(), iniPath);
    if (!mapped.isEmpty()) return mapped;
  }
#ifdef Q_OS_WIN
  return QStringLiteral("COM%1").arg(n);
#else
  if (n <= 8) return QStringLiteral("/dev/ttyUSB%1").arg(n - 1);
  if (n <= 12) return QStringLiteral("/dev/ttyACM%1").arg(n - 9);
  return QStringLiteral("/dev/ttyS%1").arg(n - 13);
#endif
}

void SerialPortControl::setDeviceOverride(const QString& device) { d->deviceOverride = device; }

void SerialPortControl::setCommPort(int n) { d->commPort = n; }
int SerialPortControl::commPort() const { return d->commPort; }

bool SerialPortControl::setSettings(const QString& settings) {
  const auto parsed = parseSettings(settings);
  if (!parsed) return false;
  if (portOpen()) {
    // Applied at once on an open port, as a running line may be re-timed.
    d->port.setBaudRate(parsed->baud);
    d->port.setParity(parsed->parity);
    d->port.setDataBits(parsed->dataBits);
    d->port.setStopBits(parsed->stopBits);
    d->openSettings = settings;
  }
  d->line = *parsed;
  d->settings = settings;
  return true;
}
QString SerialPortControl::settings() const { return d->settings; }

// The driver sizes are kept as properties only: a small Qt read buffer would
// hold back bytes in the kernel, and the system buffers are larger anyway.
void SerialPortControl::setInBufferSize(int bytes) { d->inBufferSize = bytes; }
int SerialPortControl::inBufferSize() const { return d->inBufferSize; }
void SerialPortControl::setOutBufferSize(int bytes) { d->outBufferSize = bytes; }
int SerialPortControl::outBufferSize() const { return d->outBufferSize; }
void SerialPortControl::setInputLen(int n) { d->inputLen = n < 0 ? 0 : n; }
int SerialPortControl::inputLen() const { return d->inputLen; }
void SerialPortControl::setInputMode(InputMode mode) { d->inputMode = mode; }
SerialPortControl::InputMode SerialPortControl::inputMode() const { return d->inputMode; }
void SerialPortControl::setRThreshold(int n) { d->rThreshold = n < 0 ? 0 : n; }
int SerialPortControl::rThreshold() const { return d->rThreshold; }

int SerialPortControl::inBufferCount() const {
  if (!portOpen()) return int(d->received.size());
  qint64 n = d->received.size() + d->port.bytesAvailable();
#ifdef Q_OS_UNIX
  n += kernelQueue(d->port.handle(), FIONREAD);
#endif
  return int(qMin<qint64>(n, std::numeric_limits<int>::max()));
}

void SerialPortControl::setInBufferCount(int n) {
  if (n != 0) return;  // only 0 (discard) means anything
  d->received.clear();
  if (d->port.isOpen()) d->port.clear(QSerialPort::Input);  // Qt's buffer and the driver's
}

int SerialPortControl::outBufferCount() const {
  if (!portOpen()) return 0;
  qint64 n = d->port.bytesToWrite();
#ifdef Q_OS_UNIX
  n += kernelQueue(d->port.handle(), TIOCOUTQ);
#endif
  return int(qMin<qint64>(n, std::numeric_limits<int>::max()));
}

void SerialPortControl::setOutBufferCount(int n) {
  if (n != 0) return;
  if (portOpen()) d->port.clear(QSerialPort::Output);  // a kept line still sends what it took
}

void SerialPortControl::setLookOnly(bool lookOnly) { d->lookOnly = lookOnly; }

bool SerialPortControl::portOpen() const { return d->port.isOpen() && !d->kept; }

QString SerialPortControl::lastOpenErrorText() const { return d->lastOpenError; }

#ifdef Q_OS_UNIX
// Opens the device ourselves, past Qt's lock file, and closes it again:
// 0 when it opens, else the system's reason.
static int openError(const QString& device) {
  const int fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}
#endif

bool SerialPortControl::accessRefused(const QString& device) {
#ifdef Q_OS_UNIX
  const int err = openError(device);
  return err == EACCES || err == EPERM;
#else
  Q_UNUSED(device);
  return false;
#endif
}

#ifdef Q_OS_UNIX
// Qt reports both a lock held by another program and a refused open as
// PermissionError. Opening the device ourselves tells them apart.
static int classifyPermissionError(const QString& device, QString& reason) {
  const int err = openError(device);
  if (err == 0) return SerialPortControl::kErrPortInUse;  // openable, so Qt's lock file stopped it
  switch (err) {
    case EBUSY:
      return SerialPortControl::kErrPortInUse;  // exclusive use by another program
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return SerialPortControl::kErrNoSuchPort;
    case EACCES:
    case EPERM:
      reason = QString::fromLocal8Bit(std::strerror(err)) + QStringLiteral(". ") + PortPermission::hintFor(device);
      return SerialPortControl::kErrOpenFailed;
    default:
      reason = QString::fromLocal8Bit(std::strerror(err));
      return SerialPortControl::kErrOpenFailed;
  }
}
#endif

int SerialPortControl::setPortOpen(bool open) {
  if (!open) {
    if (portOpen()) {
      // Kept until the event loop runs again: a setup of the same line before
      // then takes the descriptor over; otherwise the device is released.
      d->kept = true;
      const unsigned generation = ++d->keptGeneration;
      QTimer::singleShot(0, this, [this, generation] {
        if (d->kept && d->keptGeneration == generation) release();
      });
    }
    d->received.clear();
    return 0;
  }
  if (portOpen()) return kErrPortInUse;

  d->lastOpenError.clear();
  const QString device = d->deviceOverride.isEmpty() ? deviceForPort(d->commPort, d->iniPath) : d->deviceOverride;
  if (d->kept) {
    bool same = device == d->openDevice && d->settings == d->openSettings && d->inputMode == d->openMode;
#ifdef Q_OS_UNIX
    same = same && !descriptorGone(int(d->port.handle()));
#endif
    if (same) {
      // What a reopen would have lost: everything received until now.
      d->kept = false;
      ++d->keptGeneration;
      d->port.clear(QSerialPort::Input);
      d->received.clear();
      d->leaveRaw = d->leaveRaw || !d->lookOnly;  // a line once used for traffic stays raw
      return 0;
    }
    release();
  }
  if (device.isEmpty()) {
    d->lastOpenError = QStringLiteral("no device for port number %1").arg(d->commPort);
    return kErrNoSuchPort;
  }
#ifdef Q_OS_UNIX
  // A "Ports" entry is anyone's in a shared station folder: only a terminal
  // device is opened, never a FIFO that blocks or a file that takes bytes.
  struct stat st {};
  if (::stat(QFile::encodeName(device).constData(), &st) == 0 && !S_ISCHR(st.st_mode)) {
    d->lastOpenError = QStringLiteral("not a character device");
    const QString entry = d->deviceOverride.isEmpty() && !d->iniPath.isEmpty()
                              ? QStringLiteral(" ([Ports] COM%1 in %2)").arg(d->commPort).arg(d->iniPath)
                              : QString();
    std::fprintf(stderr, "Cannot open serial port COM%d (%s): not a character device%s\n", d->commPort,
                 device.toLocal8Bit().constData(), entry.toLocal8Bit().constData());
    return kErrOpenFailed;
  }
#endif

  d->port.setPortName(device);
  d->port.setBaudRate(d->line.baud);
  d->port.setParity(d->line.parity);
  d->port.setDataBits(d->line.dataBits);
  d->port.setStopBits(d->line.stopBits);
  d->port.setFlowControl(QSerialPort::NoFlowControl);
  d->port.clearError();
  d->received.clear();
  if (d->port.open(QIODevice::ReadWrite)) {
    d->openDevice = device;
    d->openSettings = d->settings;
    d->openMode = d->inputMode;
    d->leaveRaw = !d->lookOnly;
#ifdef Q_OS_LINUX
    d->flagsBeforeLowLatency = askLowLatency(int(d->port.handle()));
#endif
    return 0;
  }

  const QSerialPort::SerialPortError error = d->port.error();
  QString reason = d->port.errorString();
  d->port.clearError();
  int number = kErrOpenFailed;
  switch (error) {
    case QSerialPort::DeviceNotFoundError:
      number = kErrNoSuchPort;
      break;
    case QSerialPort::OpenError:
      number = kErrPortInUse;
      break;
    case QSerialPort::PermissionError:
#ifdef Q_OS_UNIX
      number = classifyPermissionError(device, reason);
#endif
      break;
    default:
      number = kErrOpenFailed;
      break;
  }
  d->lastOpenError = reason;
  // A refused device usually means a missing membership of the serial-port
  // group: said plainly even for a look. A setup for traffic names every failure.
  if (number == kErrOpenFailed || !d->lookOnly) {
    std::fprintf(stderr, "Cannot open serial port COM%d (%s): %s\n", d->commPort,
                 device.toLocal8Bit().constData(), reason.toLocal8Bit().constData());
  }
  return number;
}

bool SerialPortControl::output(const QByteArray& bytes) {
  if (!portOpen()) return false;
  if (bytes.isEmpty()) return true;
  if (d->port.write(bytes) != bytes.size()) return false;
  // Qt writes only when the event loop runs; push to the driver now so a
  // caller that pauses without yielding still has its bytes on the line.
  // Whatever the driver cannot take yet stays queued, in order.
  for (int pass = 0; pass < 64 && d->port.bytesToWrite() > 0; ++pass) {
    const qint64 before = d->port.bytesToWrite();
    if (!d->port.flush() || d->port.bytesToWrite() >= before) break;
  }
  return portOpen();  // a write that found the device gone closed it
}

SerialPortControl::Drain SerialPortControl::drainOutput(const std::function<bool()>& stopWaiting) {
  if (!portOpen()) return Drain::Closed;
  // Not tcdrain: it has no time limit, and a device that stops taking bytes
  // would hold the program there, deaf to the event loop and to Ctrl+C.
  const auto queued = [this] {
    qint64 n = d->port.bytesToWrite();
#ifdef Q_OS_UNIX
    n += kernelQueue(int(d->port.handle()), TIOCOUTQ);
#endif
    return n;
  };
  qint64 least = queued();
  if (least == 0) return Drain::Drained;  // the usual case: no yield, no delay before the pause

  using Clock = std::chrono::steady_clock;
  // Twice the wire time of what is left, from the last time it shrank.
  const auto allowance = [this](qint64 bytes) { return kDrainMargin + byteTime() * bytes * 2; };
  auto progressAt = Clock::now();
  auto deadline = progressAt + allowance(least);
  const auto end = waitFor(
      [&](bool) -> std::optional<Drain> {
        if (!portOpen()) return Drain::Closed;
        d->port.flush();
        const qint64 left = queued();
        if (left == 0) return Drain::Drained;
        if (stopWaiting && stopWaiting()) return Drain::Stopped;
        const auto now = Clock::now();
        if (left < least) {
          least = left;
          progressAt = now;
          deadline = now + allowance(left);
        }
        if (now > deadline) return Drain::Stalled;
        return std::nullopt;
      },
      std::nullopt, std::chrono::milliseconds{1});
  if (end == Drain::Stalled) {
    const QString device = d->openDevice;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - progressAt);
    d->port.clear(QSerialPort::Output);  // nothing more for a device that takes nothing
    release();
    emit lineStalled(device, int(qMin<qint64>(least, std::numeric_limits<int>::max())), waited);
  }
  return end;
}

std::chrono::nanoseconds SerialPortControl::byteTime() const {
  const int parityBits = d->line.parity == QSerialPort::NoParity ? 0 : 1;
  const int stopBits = d->line.stopBits == QSerialPort::OneStop ? 1 : 2;
  const long long bits = 1 + int(d->line.dataBits) + parityBits + stopBits;
  return std::chrono::nanoseconds{bits * 1'000'000'000LL / d->line.baud};
}

void SerialPortControl::collectWaiting() {
  if (!portOpen()) return;
  d->received += d->port.readAll();
#ifdef Q_OS_UNIX
  // Bytes the driver holds but Qt has not fetched yet (no event served since
  // they arrived) are waiting too. Let Qt fetch them now, without raising a
  // receive event from inside the read.
  const bool wasCollecting = std::exchange(d->collecting, true);
  for (int pass = 0; pass < 64 && kernelQueue(d->port.handle(), FIONREAD) > 0; ++pass) {
    if (!d->port.waitForReadyRead(0)) break;
    d->received += d->port.readAll();
  }
  d->collecting = wasCollecting;
#endif
}

QByteArray SerialPortControl::input() {
  collectWaiting();
  if (d->inputLen == 0 || d->received.size() <= d->inputLen) return std::exchange(d->received, {});
  QByteArray head = d->received.left(d->inputLen);
  d->received.remove(0, d->inputLen);
  return head;
}

#include "LinuxPort.h"

#include <platform/PortPermission.h>

#include <QFile>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

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
void closeLeavingRaw(QSerialPort& port, const MessageSink& sink) {
  const int fd = int(port.handle());
  int line = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const bool swapped = line >= 0 && null >= 0 && ::dup2(null, fd) == fd;
  if (!swapped) {
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    if (sink)
      sink(QStringLiteral("Serial port %1: could not keep the line raw at its close (%2); it is left as found at the open")
               .arg(port.portName(), reason));
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

// Asks the driver to hand over short replies at once (an FTDI adapter holds
// them up to its 16 ms latency timer otherwise). Drivers without the notion
// ignore it; a pseudo-terminal refuses it, which is no error.
std::optional<int> askLowLatency(int fd) {
  serial_struct info{};
  if (::ioctl(fd, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY)) return std::nullopt;
  const int before = info.flags;
  info.flags |= ASYNC_LOW_LATENCY;
  if (::ioctl(fd, TIOCSSERIAL, &info) != 0) return std::nullopt;
  return before;
}

void restoreLatency(int fd, int flags) {
  serial_struct info{};
  if (::ioctl(fd, TIOCGSERIAL, &info) != 0) return;
  info.flags = (info.flags & ~ASYNC_LOW_LATENCY) | (flags & ASYNC_LOW_LATENCY);
  ::ioctl(fd, TIOCSSERIAL, &info);
}

// Opens the device ourselves, past Qt's lock file, and closes it again:
// 0 when it opens, else the system's reason.
int openError(const QString& device) {
  const int fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

// Qt reports both a lock held by another program and a refused open as
// PermissionError. Opening the device ourselves tells them apart.
Port::OpenResult classifyPermissionError(const QString& device, const QString& qtReason) {
  using E = Port::OpenError;
  const int err = openError(device);
  if (err == 0) return {E::InUse, qtReason};  // openable, so Qt's lock file stopped it
  switch (err) {
    case EBUSY:
      return {E::InUse, qtReason};  // exclusive use by another program
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return {E::NoSuchPort, qtReason};
    case EACCES:
    case EPERM:
      return {E::Refused,
              QString::fromLocal8Bit(std::strerror(err)) + QStringLiteral(". ") + PortPermission::hintFor(device)};
    default:
      return {E::Other, QString::fromLocal8Bit(std::strerror(err))};
  }
}

QSerialPort::Parity qtParity(LineSettings::Parity parity) {
  switch (parity) {
    case LineSettings::Parity::Even: return QSerialPort::EvenParity;
    case LineSettings::Parity::Odd: return QSerialPort::OddParity;
    case LineSettings::Parity::Mark: return QSerialPort::MarkParity;
    case LineSettings::Parity::Space: return QSerialPort::SpaceParity;
    case LineSettings::Parity::None: break;
  }
  return QSerialPort::NoParity;
}

QSerialPort::StopBits qtStopBits(LineSettings::StopBits stop) {
  switch (stop) {
    case LineSettings::StopBits::OneAndHalf: return QSerialPort::OneAndHalfStop;
    case LineSettings::StopBits::Two: return QSerialPort::TwoStop;
    case LineSettings::StopBits::One: break;
  }
  return QSerialPort::OneStop;
}

Port::LineStatus modemLineFailure(int err) {
  // A pseudo-terminal has no modem lines: that is no fault of the line.
  return err == ENOTTY || err == EINVAL ? Port::LineStatus::NoSuchLines : Port::LineStatus::Failed;
}

Port::LineStatus setModemLine(int fd, int line, bool on) {
  if (fd < 0) return Port::LineStatus::NotOpen;
  if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return Port::LineStatus::Done;
  return modemLineFailure(errno);
}

}  // namespace

LinuxPort::LinuxPort() {
  QObject::connect(&port_, &QSerialPort::readyRead, &port_, [this] {
    if (fetching_) return;  // read() takes them
    const QByteArray bytes = port_.readAll();
    if (events_.received) events_.received(bytes);
  });
  QObject::connect(&port_, &QSerialPort::errorOccurred, &port_, [this](QSerialPort::SerialPortError error) { onError(error); });
}

LinuxPort::~LinuxPort() { close(); }

void LinuxPort::setEvents(Events events) { events_ = std::move(events); }
void LinuxPort::setMessageSink(MessageSink sink) { sink_ = std::move(sink); }

int LinuxPort::fd() const { return port_.isOpen() ? int(port_.handle()) : -1; }

void LinuxPort::onError(QSerialPort::SerialPortError error) {
  if (closing_ || !port_.isOpen()) return;
  // A hung-up line reads as nothing and Qt reports a read error with a
  // stale errno, leaving its notifier firing; and Qt calls a full output
  // queue (EAGAIN) a resource error, as it does a device that is gone. The
  // descriptor tells.
  if (error != QSerialPort::NoError && descriptorGone(fd()) && events_.lost) events_.lost();
}

Port::OpenResult LinuxPort::open(const QString& device, const LineSettings& line, Use use) {
  close();
  device_ = device;
  // A "Ports" entry is anyone's in a shared station folder: only a terminal
  // device is opened, never a FIFO that blocks or a file that takes bytes.
  struct stat st {};
  if (::stat(QFile::encodeName(device).constData(), &st) == 0 && !S_ISCHR(st.st_mode))
    return {OpenError::NotCharacterDevice, QStringLiteral("not a character device")};

  port_.setPortName(device);
  apply(line);
  port_.setFlowControl(QSerialPort::NoFlowControl);
  port_.clearError();
  if (port_.open(QIODevice::ReadWrite)) {
    leaveRaw_ = use == Use::Traffic;
    flagsBeforeLowLatency_ = askLowLatency(fd());
    return {};
  }

  const QSerialPort::SerialPortError error = port_.error();
  const QString reason = port_.errorString();
  port_.clearError();
  switch (error) {
    case QSerialPort::DeviceNotFoundError: return {OpenError::NoSuchPort, reason};
    case QSerialPort::OpenError: return {OpenError::InUse, reason};
    case QSerialPort::PermissionError: return classifyPermissionError(device, reason);
    default: return {OpenError::Other, reason};
  }
}

void LinuxPort::useForTraffic() { leaveRaw_ = true; }

void LinuxPort::close() {
  if (port_.isOpen()) {
    closing_ = true;
    if (flagsBeforeLowLatency_) restoreLatency(fd(), *flagsBeforeLowLatency_);
    settleOutput(fd(), line_.byteTime());
    if (leaveRaw_) closeLeavingRaw(port_, sink_);
    if (port_.isOpen()) port_.close();
    closing_ = false;
  }
  flagsBeforeLowLatency_.reset();
}

bool LinuxPort::isOpen() const { return port_.isOpen(); }
QString LinuxPort::device() const { return device_; }

bool LinuxPort::apply(const LineSettings& line) {
  line_ = line;
  // Each setter applies at once on an open port, and at the open otherwise.
  const bool baud = port_.setBaudRate(line.baud);
  const bool parity = port_.setParity(qtParity(line.parity));
  const bool bits = port_.setDataBits(QSerialPort::DataBits(line.dataBits));
  const bool stop = port_.setStopBits(qtStopBits(line.stopBits));
  return baud && parity && bits && stop;
}

bool LinuxPort::write(const QByteArray& bytes) {
  if (!port_.isOpen()) return false;
  if (port_.write(bytes) != bytes.size()) return false;
  // Qt writes only when the event loop runs; push to the driver now so a
  // caller that pauses without yielding still has its bytes on the line.
  // Whatever the driver cannot take yet stays queued, in order.
  for (int pass = 0; pass < 64 && port_.isOpen() && port_.bytesToWrite() > 0; ++pass) {
    const qint64 before = port_.bytesToWrite();
    if (!port_.flush() || port_.bytesToWrite() >= before) break;
  }
  return true;
}

void LinuxPort::flush() {
  if (port_.isOpen()) port_.flush();
}

QByteArray LinuxPort::read() {
  if (!port_.isOpen()) return {};
  QByteArray bytes = port_.readAll();
  // Bytes the driver holds but Qt has not fetched yet (no event served since
  // they arrived) are waiting too. Let Qt fetch them now, without handing
  // them out as an arrival from inside the read.
  const bool wasFetching = std::exchange(fetching_, true);
  for (int pass = 0; pass < 64 && kernelQueue(fd(), FIONREAD) > 0; ++pass) {
    if (!port_.waitForReadyRead(0) || !port_.isOpen()) break;
    bytes += port_.readAll();
  }
  fetching_ = wasFetching;
  return bytes;
}

qint64 LinuxPort::bytesReady() const {
  if (!port_.isOpen()) return 0;
  return port_.bytesAvailable() + kernelQueue(fd(), FIONREAD);
}

qint64 LinuxPort::outputQueued() const {
  if (!port_.isOpen()) return 0;
  return port_.bytesToWrite() + kernelQueue(fd(), TIOCOUTQ);
}

void LinuxPort::discardInput() {
  if (port_.isOpen()) port_.clear(QSerialPort::Input);  // Qt's buffer and the driver's
}

void LinuxPort::discardOutput() {
  if (port_.isOpen()) port_.clear(QSerialPort::Output);
}

bool LinuxPort::isGone() const { return descriptorGone(fd()); }

Port::LineStatus LinuxPort::setDtr(bool on) { return setModemLine(fd(), TIOCM_DTR, on); }
Port::LineStatus LinuxPort::setRts(bool on) { return setModemLine(fd(), TIOCM_RTS, on); }

Port::ModemLines LinuxPort::modemLines() const {
  ModemLines lines;
  const int descriptor = fd();
  if (descriptor < 0) return lines;
  int bits = 0;
  if (::ioctl(descriptor, TIOCMGET, &bits) != 0) {
    lines.status = modemLineFailure(errno);
    return lines;
  }
  lines.status = LineStatus::Done;
  lines.cts = bits & TIOCM_CTS;
  lines.dsr = bits & TIOCM_DSR;
  lines.cd = bits & TIOCM_CD;
  return lines;
}

std::unique_ptr<Port> makeSystemPort() { return std::make_unique<LinuxPort>(); }

QString PortPermission::hintFor(const QString& device) {
  struct stat st {};
  if (::stat(device.toLocal8Bit().constData(), &st) != 0) return {};
  const group* g = ::getgrgid(st.st_gid);
  const passwd* p = ::getpwuid(::geteuid());
  const QString groupName = g ? QString::fromLocal8Bit(g->gr_name) : QString::number(st.st_gid);
  const QString userName = p ? QString::fromLocal8Bit(p->pw_name) : QString::number(::geteuid());
  const bool groupMayUse = st.st_gid != 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  return hint(device, groupName, userName, groupMayUse);
}

bool PortPermission::accessRefused(const QString& device) {
  const int err = openError(device);
  return err == EACCES || err == EPERM;
}

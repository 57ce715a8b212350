#include "WinPort.h"
#include "SystemError.h"

#include <QMetaObject>
#include <QTimer>
#include <QWinEventNotifier>

#include <chrono>
#include <string>
#include <utility>

struct WinPort::Operation {
  OVERLAPPED ov{};
  QByteArray buffer;  // a write's bytes, a read's room
  DWORD mask = 0;     // what WaitCommEvent saw
  bool pending = false;
  bool discarded = false;  // purged by us: its abort is no news of the device

  Operation() { ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~Operation() {
    if (ov.hEvent) ::CloseHandle(ov.hEvent);
  }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  bool valid() const { return ov.hEvent != nullptr; }
  bool done() const { return !pending || HasOverlappedIoCompleted(&ov); }
  void restart() {
    HANDLE event = ov.hEvent;
    ov = OVERLAPPED{};
    ov.hEvent = event;
    pending = false;
  }
};

namespace {

constexpr DWORD kInQueue = 4096;
constexpr DWORD kOutQueue = 4096;
constexpr DWORD kCommEvents = EV_RXCHAR | EV_ERR | EV_BREAK;
// How often an open line is asked whether its device is still there: not
// every driver ends the pending WaitCommEvent when an adapter is pulled out.
constexpr std::chrono::milliseconds kWatchEvery{250};
// The most a call waits for the driver to finish an operation it cancelled.
constexpr DWORD kCancelWaitMs = 200;
// The pause before asking again a driver that ended a read with nothing.
constexpr std::chrono::milliseconds kReadAgain{10};
// ERROR_NO_SUCH_DEVICE, which mingw-w64's headers lack.
constexpr DWORD kNoSuchDevice = 433;

// What a line whose device went away (an adapter pulled out, Wine's
// pseudo-terminal hung up: EIO arrives as ERROR_NOT_READY) answers.
bool isLostDeviceError(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case kNoSuchDevice:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BROKEN_PIPE:
      return true;
    default:
      return false;
  }
}

Port::LineStatus modemLineFailure(DWORD error) {
  // Wine's pseudo-terminal and some virtual ports have no modem lines: that
  // is no fault of the line.
  switch (error) {
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_PARAMETER:
    case ERROR_CALL_NOT_IMPLEMENTED:
      return Port::LineStatus::NoSuchLines;
    default:
      return Port::LineStatus::Failed;
  }
}

// COM3 is opened as \\.\COM3 (COM10 and up have no other name); a path the
// "Ports" section gives is used as it is.
std::wstring systemName(const QString& device) {
  QString name = device;
  if (!name.startsWith(QLatin1String("\\\\")) && !name.contains(u'\\') && !name.contains(u'/') && !name.contains(u':'))
    name.prepend(QLatin1String("\\\\.\\"));
  return name.toStdWString();
}

Port::OpenResult openFailure(DWORD error) {
  using E = Port::OpenError;
  const QString reason = platform::systemErrorText(error);
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_DEV_NOT_EXIST:
    case kNoSuchDevice:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
      return {E::NoSuchPort, reason};
    // A serial device is exclusive by nature: another program holding it
    // is refused with "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return {E::InUse, reason};
    default:
      return {E::Other, reason};
  }
}

void setLine(DCB& dcb, const LineSettings& line, bool dtr, bool rts) {
  dcb.BaudRate = DWORD(line.baud);
  dcb.ByteSize = BYTE(line.dataBits);
  switch (line.parity) {
    case LineSettings::Parity::None: dcb.Parity = NOPARITY; break;
    case LineSettings::Parity::Even: dcb.Parity = EVENPARITY; break;
    case LineSettings::Parity::Odd: dcb.Parity = ODDPARITY; break;
    case LineSettings::Parity::Mark: dcb.Parity = MARKPARITY; break;
    case LineSettings::Parity::Space: dcb.Parity = SPACEPARITY; break;
  }
  switch (line.stopBits) {
    case LineSettings::StopBits::One: dcb.StopBits = ONESTOPBIT; break;
    case LineSettings::StopBits::OneAndHalf: dcb.StopBits = ONE5STOPBITS; break;
    case LineSettings::StopBits::Two: dcb.StopBits = TWOSTOPBITS; break;
  }
  // Raw bytes both ways: no flow control, no character replaced or dropped,
  // and a line error does not abort the reads and writes in flight.
  dcb.fBinary = TRUE;
  dcb.fParity = line.parity != LineSettings::Parity::None;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;
  // Drivers refuse a DCB whose two flow characters are the same, even unused.
  if (dcb.XonChar == dcb.XoffChar) {
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
  }
}

// A notifier may be dropped from inside its own signal (a callback that
// closes the port): it is stopped now and deleted later.
void dropNotifier(std::unique_ptr<QWinEventNotifier>& notifier) {
  if (!notifier) return;
  notifier->setEnabled(false);
  notifier.release()->deleteLater();
}

// Waits a bounded time for the driver to finish an operation; true when it did.
bool settle(const WinPort::Operation& op, DWORD ms) {
  return op.done() || ::WaitForSingleObject(op.ov.hEvent, ms) == WAIT_OBJECT_0 || op.done();
}

}  // namespace

WinPort::WinPort() = default;

WinPort::~WinPort() { close(); }

void WinPort::setEvents(Events events) { events_ = std::move(events); }
void WinPort::setMessageSink(MessageSink sink) { sink_ = std::move(sink); }

Port::OpenResult WinPort::open(const QString& device, const LineSettings& line, Use use) {
  close();
  device_ = device;
  line_ = line;
  const std::wstring name = systemName(device);
  // A "Ports" entry is anyone's in a shared station folder: a file or folder
  // named there is never opened as a line.
  if (!name.starts_with(L"\\\\.\\") && ::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES)
    return {OpenError::NotCharacterDevice, QStringLiteral("not a serial device")};

  // Sharing 0: a serial device is exclusive by nature.
  HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return openFailure(::GetLastError());
  const auto giveUp = [handle](OpenError error, const QString& reason) {
    ::CloseHandle(handle);
    return OpenResult{error, reason};
  };

  DCB found{};
  found.DCBlength = sizeof found;
  // Only a line answers GetCommState (a pipe or a console does not).
  if (::GetFileType(handle) == FILE_TYPE_PIPE || !::GetCommState(handle, &found))
    return giveUp(OpenError::NotCharacterDevice, QStringLiteral("not a serial device"));
  COMMTIMEOUTS foundTimeouts{};
  ::GetCommTimeouts(handle, &foundTimeouts);
  ::SetupComm(handle, kInQueue, kOutQueue);  // a wish: drivers may keep their own sizes

  // DTR and RTS raised at the open, as the Linux terminal layer does.
  DCB dcb = found;
  setLine(dcb, line, true, true);
  if (!::SetCommState(handle, &dcb)) return giveUp(OpenError::Other, platform::systemErrorText(::GetLastError()));
  // Reads return at once with what is there; writes have no time limit
  // (they are never waited on, and a stalled line is purged).
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  if (!::SetCommTimeouts(handle, &timeouts)) return giveUp(OpenError::Other, platform::systemErrorText(::GetLastError()));
  DWORD errors = 0;
  ::ClearCommError(handle, &errors, nullptr);
  if (!::SetCommMask(handle, kCommEvents)) return giveUp(OpenError::Other, platform::systemErrorText(::GetLastError()));

  auto commWait = std::make_unique<Operation>();
  auto reading = std::make_unique<Operation>();
  if (!commWait->valid() || !reading->valid()) return giveUp(OpenError::Other, platform::systemErrorText(::GetLastError()));

  handle_ = handle;
  ++generation_;
  dcbAtOpen_ = found;
  timeoutsAtOpen_ = foundTimeouts;
  restoreAtClose_ = use == Use::Look;
  dtrOn_ = rtsOn_ = true;
  lost_ = false;
  commWait_ = std::move(commWait);
  reading_ = std::move(reading);
  receive_ = Receive::Events;
  watch_ = std::make_unique<QTimer>();
  watch_->setInterval(kWatchEvery);
  QObject::connect(watch_.get(), &QTimer::timeout, &anchor_, [this] {
    if (!checkLine() || !reapWrites(false)) return lose();
    // A wait or read the driver would not start is asked for again.
    if (receive_ == Receive::Events) armCommEvent();
    else armRead();
  });
  watch_->start();
  watchEvent(*commWait_);
  armCommEvent();
  return {};
}

void WinPort::useForTraffic() { restoreAtClose_ = false; }

void WinPort::watchEvent(Operation& op) {
  dropNotifier(notifier_);
  notifier_ = std::make_unique<QWinEventNotifier>(op.ov.hEvent);
  QObject::connect(notifier_.get(), &QWinEventNotifier::activated, &anchor_, [this] {
    if (receive_ == Receive::Events) onCommEvent();
    else onReadDone();
  });
}

void WinPort::armCommEvent() {
  Operation& wait = *commWait_;
  if (wait.pending || lost_) return;
  wait.restart();
  wait.mask = 0;
  if (::WaitCommEvent(handle_, &wait.mask, &wait.ov)) {
    // Ended at once: served from the event loop as any other end.
    wait.pending = true;
    ::SetEvent(wait.ov.hEvent);
    return;
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_IO_PENDING) {
    wait.pending = true;
    // Bytes that came before the wait began do not end it on every driver.
    DWORD errors = 0;
    COMSTAT stat{};
    if (::ClearCommError(handle_, &errors, &stat) && stat.cbInQue > 0) postDelivery();
    return;
  }
  if (failedForGood(error)) loseLater();
  else if (error == ERROR_OPERATION_ABORTED || error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_PARAMETER) useReads();
  // Otherwise the watch asks again.
}

void WinPort::onCommEvent() {
  if (!isOpen() || lost_) return;
  Operation& wait = *commWait_;
  if (!wait.pending || !HasOverlappedIoCompleted(&wait.ov)) return;
  wait.pending = false;
  DWORD unused = 0;
  const DWORD error = ::GetOverlappedResult(handle_, &wait.ov, &unused, FALSE) ? 0 : ::GetLastError();
  ::ResetEvent(wait.ov.hEvent);
  if (error != 0) {
    if (failedForGood(error)) return lose();
    // The line answers, but its driver cannot wait on events: Wine's
    // pseudo-terminal has no modem status and cancels every wait at once.
    if (error == ERROR_OPERATION_ABORTED) return useReads();
    return;  // the watch asks again
  }
  bool gone = false;
  const QByteArray bytes = readWaiting(&gone);
  const unsigned generation = generation_;
  deliver(bytes, gone);
  if (generation == generation_ && !lost_) armCommEvent();
}

void WinPort::useReads() {
  receive_ = Receive::Reads;
  watchEvent(*reading_);
  armRead();
}

void WinPort::armRead() {
  Operation& op = *reading_;
  if (op.pending || lost_) return;
  op.restart();
  op.buffer.resize(qsizetype(kInQueue));
  DWORD got = 0;
  if (::ReadFile(handle_, op.buffer.data(), kInQueue, &got, &op.ov)) {
    op.pending = true;
    ::SetEvent(op.ov.hEvent);
    return;
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_IO_PENDING) {
    op.pending = true;
    return;
  }
  if (failedForGood(error)) loseLater();
  // Otherwise the watch asks again.
}

QByteArray WinPort::takeRead(bool* gone) {
  Operation& op = *reading_;
  if (!op.pending || !HasOverlappedIoCompleted(&op.ov)) return {};
  op.pending = false;
  DWORD got = 0;
  const DWORD error = ::GetOverlappedResult(handle_, &op.ov, &got, FALSE) ? 0 : ::GetLastError();
  ::ResetEvent(op.ov.hEvent);
  *gone = error != 0 && failedForGood(error);
  return op.buffer.left(qsizetype(got));
}

void WinPort::onReadDone() {
  if (!isOpen() || lost_) return;
  if (!reading_->pending || !HasOverlappedIoCompleted(&reading_->ov)) return;
  bool gone = false;
  QByteArray bytes = takeRead(&gone);
  // What arrived after the read ended goes with it, as an event's delivery
  // takes the whole queue: a receiver that discards the input after each
  // chunk (romlift's rule) would otherwise drop the rest of a reply ("K").
  if (!bytes.isEmpty() && !gone) bytes += readWaiting(&gone);
  const unsigned generation = generation_;
  deliver(bytes, gone);
  if (generation != generation_ || lost_) return;
  if (bytes.isEmpty()) {
    // A driver that ends a read at once with nothing is asked again after
    // a pause, not in a loop.
    QTimer::singleShot(kReadAgain, &anchor_, [this, generation] {
      if (generation == generation_ && receive_ == Receive::Reads) armRead();
    });
    return;
  }
  armRead();
}

void WinPort::postDelivery() {
  QMetaObject::invokeMethod(
      &anchor_,
      [this, generation = generation_] {
        if (generation != generation_ || lost_ || receive_ != Receive::Events) return;
        bool gone = false;
        const QByteArray bytes = readWaiting(&gone);
        deliver(bytes, gone);
      },
      Qt::QueuedConnection);
}

void WinPort::deliver(const QByteArray& bytes, bool gone) {
  if (!bytes.isEmpty() && events_.received) {
    const unsigned generation = generation_;
    events_.received(bytes);
    if (generation != generation_) return;  // the callback closed or reopened the port
  }
  if (gone) lose();
}

QByteArray WinPort::readWaiting(bool* gone) {
  QByteArray bytes;
  if (!isOpen() || lost_ || !reading_) return bytes;
  for (int pass = 0; pass < 64; ++pass) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!::ClearCommError(handle_, &errors, &stat)) {
      *gone = failedForGood(::GetLastError());
      break;
    }
    if (stat.cbInQue == 0) break;
    Operation& op = *reading_;
    op.restart();
    op.buffer.resize(qsizetype(stat.cbInQue));
    DWORD got = 0;
    DWORD error = 0;
    if (!::ReadFile(handle_, op.buffer.data(), stat.cbInQue, &got, &op.ov)) {
      error = ::GetLastError();
      if (error == ERROR_IO_PENDING) {
        // The time-outs make a read return at once; a driver that does not
        // is given a moment, then cancelled, keeping what it read.
        bool cancelled = false;
        if (::WaitForSingleObject(op.ov.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
          ::CancelIoEx(handle_, &op.ov);
          cancelled = true;
        }
        error = ::GetOverlappedResult(handle_, &op.ov, &got, TRUE) ? 0 : ::GetLastError();
        if (cancelled && error == ERROR_OPERATION_ABORTED) error = 0;
      }
    }
    bytes.append(op.buffer.constData(), qsizetype(got));
    if (error != 0) {
      *gone = failedForGood(error);
      break;
    }
    if (got < stat.cbInQue) break;
  }
  return bytes;
}

bool WinPort::reapWrites(bool all) const {
  bool healthy = true;
  for (auto it = writes_.begin(); it != writes_.end();) {
    Operation& op = **it;
    if (all) settle(op, kCancelWaitMs);
    if (!op.done()) {
      ++it;
      continue;
    }
    DWORD done = 0;
    if (!::GetOverlappedResult(handle_, &op.ov, &done, FALSE) && !op.discarded && isLostDeviceError(::GetLastError()))
      healthy = false;
    it = writes_.erase(it);
  }
  return healthy;
}

void WinPort::cancelWrites() const {
  for (auto& op : writes_) op->discarded = true;
  ::PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR);
  reapWrites(true);
}

void WinPort::lose() {
  if (lost_ || closing_ || !isOpen()) return;
  lost_ = true;
  if (watch_) watch_->stop();
  if (notifier_) notifier_->setEnabled(false);
  if (events_.lost) events_.lost();  // the callback decides: the port never closes itself
}

void WinPort::loseLater() const {
  // Found by a query: told from the event loop, not from inside the query.
  auto* self = const_cast<WinPort*>(this);
  QMetaObject::invokeMethod(
      &self->anchor_,
      [self, generation = generation_] {
        if (generation == self->generation_) self->lose();
      },
      Qt::QueuedConnection);
}

bool WinPort::checkLine() const {
  if (!isOpen()) return true;
  DWORD errors = 0;
  COMSTAT stat{};
  return ::ClearCommError(handle_, &errors, &stat) || !isLostDeviceError(::GetLastError());
}

bool WinPort::failedForGood(DWORD error) const {
  // An aborted operation is news of the device only when the line no longer
  // answers: Wine aborts waits on a healthy pseudo-terminal.
  return !checkLine() || (isLostDeviceError(error) && error != ERROR_OPERATION_ABORTED);
}

void WinPort::close() {
  if (!isOpen()) return;
  closing_ = true;
  ++generation_;
  if (watch_) {
    // Perhaps inside its own signal (a lost line's callback closing it).
    watch_->stop();
    watch_.release()->deleteLater();
  }
  dropNotifier(notifier_);

  // What is queued gets its wire time, then what the device never took is
  // purged: a close must not wait on a stalled device.
  if (!lost_) {
    const qint64 queued = outputQueued();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds{100} + line_.byteTime() * queued * 2;
    while (queued > 0 && outputQueued() > 0 && std::chrono::steady_clock::now() < deadline) ::Sleep(2);
  }
  cancelWrites();
  if (restoreAtClose_) {
    ::SetCommState(handle_, &dcbAtOpen_);
    ::SetCommTimeouts(handle_, &timeoutsAtOpen_);
  }
  ::SetCommMask(handle_, 0);  // ends a pending WaitCommEvent
  ::PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR);  // ends a read in flight
  ::CancelIoEx(handle_, nullptr);
  if (commWait_) settle(*commWait_, kCancelWaitMs);
  if (reading_) settle(*reading_, kCancelWaitMs);
  reapWrites(true);
  ::CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;

  // An operation the driver never finished may still be written to by it:
  // its memory is left to the driver rather than freed under it.
  if (commWait_ && !commWait_->done()) (void)commWait_.release();
  if (reading_ && !reading_->done()) (void)reading_.release();
  commWait_.reset();
  reading_.reset();
  for (auto& op : writes_) (void)op.release();
  writes_.clear();
  receive_ = Receive::Events;
  lost_ = false;
  closing_ = false;
}

bool WinPort::isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
QString WinPort::device() const { return device_; }

bool WinPort::apply(const LineSettings& line) {
  line_ = line;
  if (!isOpen()) return true;  // taken at the open
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(handle_, &dcb)) return false;
  // The modem lines stay as the program set them.
  setLine(dcb, line, dtrOn_, rtsOn_);
  return ::SetCommState(handle_, &dcb);
}

bool WinPort::write(const QByteArray& bytes) {
  if (!isOpen() || lost_) return false;
  if (!reapWrites(false)) {
    lose();
    return false;
  }
  if (bytes.isEmpty()) return true;
  auto op = std::make_unique<Operation>();
  if (!op->valid()) return false;
  op->buffer = bytes;  // shared, never changed: its data stays where the driver reads it
  DWORD done = 0;
  if (::WriteFile(handle_, op->buffer.constData(), DWORD(op->buffer.size()), &done, &op->ov)) return true;
  const DWORD error = ::GetLastError();
  if (error == ERROR_IO_PENDING) {
    // Queued in the driver, in order behind the writes before it.
    op->pending = true;
    writes_.push_back(std::move(op));
    return true;
  }
  if (isLostDeviceError(error)) lose();
  return false;
}

void WinPort::flush() {
  // Every write is the driver's at once: nothing waits on our side.
  if (isOpen() && !lost_ && !reapWrites(false)) lose();
}

QByteArray WinPort::read() {
  if (!isOpen() || lost_) return {};
  bool gone = false;
  QByteArray bytes;
  if (receive_ == Receive::Reads) {
    // A read in flight that has ended holds the first of what is waiting,
    // the queue the rest (never read while that read is still the driver's);
    // the next one is started (what it finds arrives as usual).
    bytes = takeRead(&gone);
    if (!gone && !reading_->pending) bytes += readWaiting(&gone);
    if (!gone) armRead();
  } else {
    bytes = readWaiting(&gone);
  }
  if (gone) loseLater();
  return bytes;
}

qint64 WinPort::bytesReady() const {
  if (!isOpen()) return 0;
  DWORD errors = 0;
  COMSTAT stat{};
  // An ended read in flight holds bytes not read yet, too.
  const qint64 taken = receive_ == Receive::Reads && reading_ && reading_->pending && HasOverlappedIoCompleted(&reading_->ov)
                           ? qint64(reading_->ov.InternalHigh)
                           : 0;
  if (::ClearCommError(handle_, &errors, &stat)) return taken + stat.cbInQue;
  if (isLostDeviceError(::GetLastError())) loseLater();
  return taken;
}

qint64 WinPort::outputQueued() const {
  if (!isOpen()) return 0;
  if (!reapWrites(false)) loseLater();
  qint64 pending = 0;
  for (const auto& op : writes_) pending += op->buffer.size();
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(handle_, &errors, &stat)) {
    if (isLostDeviceError(::GetLastError())) loseLater();
    return pending;
  }
  // Some drivers count their pending writes in cbOutQue as well; counting
  // them twice only lengthens a wait for the line to drain, never ends it early.
  return pending + stat.cbOutQue;
}

void WinPort::discardInput() {
  if (!isOpen()) return;
  ::PurgeComm(handle_, PURGE_RXCLEAR);
  if (receive_ == Receive::Reads && reading_->pending && HasOverlappedIoCompleted(&reading_->ov)) {
    bool gone = false;
    takeRead(&gone);
    if (gone) return loseLater();
    armRead();
  }
}

void WinPort::discardOutput() {
  if (isOpen()) cancelWrites();
}

bool WinPort::isGone() const { return isOpen() && (lost_ || !checkLine()); }

Port::LineStatus WinPort::setDtr(bool on) {
  if (!isOpen()) return LineStatus::NotOpen;
  if (!::EscapeCommFunction(handle_, on ? SETDTR : CLRDTR)) return modemLineFailure(::GetLastError());
  dtrOn_ = on;
  return LineStatus::Done;
}

Port::LineStatus WinPort::setRts(bool on) {
  if (!isOpen()) return LineStatus::NotOpen;
  if (!::EscapeCommFunction(handle_, on ? SETRTS : CLRRTS)) return modemLineFailure(::GetLastError());
  rtsOn_ = on;
  return LineStatus::Done;
}

Port::ModemLines WinPort::modemLines() const {
  ModemLines lines;
  if (!isOpen()) return lines;
  DWORD status = 0;
  if (!::GetCommModemStatus(handle_, &status)) {
    lines.status = modemLineFailure(::GetLastError());
    return lines;
  }
  lines.status = LineStatus::Done;
  lines.cts = status & MS_CTS_ON;
  lines.dsr = status & MS_DSR_ON;
  lines.cd = status & MS_RLSD_ON;
  return lines;
}

std::unique_ptr<Port> makeSystemPort() { return std::make_unique<WinPort>(); }

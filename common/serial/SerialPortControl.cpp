#include "SerialPortControl.h"

#include <QDir>

#include <platform/PortListing.h>
#include <platform/PortPermission.h>
#include <settings/IniFileHandler.h>

#include "AdapterIdentity.h"
#include "EventYield.h"

#include <QTimer>

#include <limits>
#include <optional>
#include <utility>

namespace {

constexpr int kHighestPort = 16;
// What a healthy line may take beyond its wire time before its output queue
// shrinks (USB adapters' latency, the driver's own scheduling).
constexpr auto kDrainMargin = std::chrono::seconds{1};

int clampToInt(qint64 n) { return int(qMin<qint64>(n, std::numeric_limits<int>::max())); }

// The USB serial number of the adapter behind a kernel tty; empty when the
// system knows none (a pseudo-terminal, a port on the main board).
QString serialBehind(const QString& tty) { return tty.isEmpty() ? QString() : AdapterIdentity::of(tty).serial; }

// A binding may come from a file anyone in the group writes: it reaches the
// operator's terminal without its control characters.
QString printable(QString text) {
  for (QChar& c : text)
    if (!c.isPrint()) c = u'?';
  return text;
}

}  // namespace

struct SerialPortControl::Private {
  std::unique_ptr<Port> port;
  MessageSink messages;
  WaitClock* clock = &WaitClock::system();
  QString iniPath;
  QString deviceOverride;
  QString adapterOverride, adapterOrigin;  // bindAdapter()
  bool adapterRefused = false;
  int commPort = 1;
  QString settings = QStringLiteral("9600,N,8,1");
  LineSettings line;
  int inBufferSize = 1024;
  int outBufferSize = 512;
  int inputLen = 0;
  InputMode inputMode = InputMode::Text;
  int rThreshold = 0;
  QString lastOpenError;
  // Bytes taken from the port but not yet read by the program. Taking the
  // port's bytes at once keeps "waiting" in one place we control.
  QByteArray received;
  // Closed for the program, but the descriptor kept: a close followed by a
  // setup of the same device at the same settings (calvboot does that before
  // every frame) then costs a discard of input instead of a reopen, which a
  // USB adapter pays with a dozen control transfers and a DTR pulse.
  bool kept = false;
  unsigned keptGeneration = 0;
  bool lookOnly = false;  // an open that only tests the port changes nothing
  // What the port was opened with: a setup asking for anything else closes
  // it for real and opens anew.
  QString openSettings;
  InputMode openMode = InputMode::Text;
  // The device asked for at the open: a bound port opens the kernel's own
  // node of its adapter instead.
  QString openRequested;

  void say(const QString& text) const {
    if (messages) messages(text);
  }
};

SerialPortControl::SerialPortControl(QObject* parent) : SerialPortControl(nullptr, parent) {}

SerialPortControl::SerialPortControl(std::unique_ptr<Port> port, QObject* parent)
    : QObject(parent), d(std::make_unique<Private>()) {
  d->port = port ? std::move(port) : makeSystemPort();
  d->port->setEvents({
      .received =
          [this](const QByteArray& bytes) {
            if (!d->kept) deliverReceived(bytes);  // a closed port receives nothing
          },
      .lost = [this] { loseDevice(); },
  });
}

void SerialPortControl::setMessageSink(MessageSink sink) {
  d->port->setMessageSink(sink);
  d->messages = std::move(sink);
}

void SerialPortControl::setWaitClock(WaitClock& clock) { d->clock = &clock; }

void SerialPortControl::deliverReceived(const QByteArray& bytes) {
  d->received += bytes;
  if (d->rThreshold > 0 && d->received.size() >= d->rThreshold) emit commEvent(comEvReceive);
}

void SerialPortControl::loseDevice() {
  // Closed at once, so no notifier keeps firing on a dead descriptor.
  const QString device = d->port->device();
  const bool wasKept = d->kept;
  release();
  // A port the program had closed already is not lost to it: its next setup
  // opens anew and reports what it finds.
  if (!wasKept) emit deviceLost(device);
}

void SerialPortControl::release() {
  d->kept = false;
  ++d->keptGeneration;
  d->port->close();
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

QString SerialPortControl::adapterForPort(int n, const QString& iniPath) {
  if (n < 1 || n > kHighestPort || iniPath.isEmpty()) return {};
  return IniFileHandler::ReadIniValue(QStringLiteral("Adapters"), QStringLiteral("COM%1").arg(n), QString(), iniPath);
}

void SerialPortControl::bindAdapter(const QString& serial, const QString& origin) {
  // A kept descriptor was checked against the old binding: the next setup opens anew.
  if (d->kept && serial != d->adapterOverride) release();
  d->adapterOverride = serial;
  d->adapterOrigin = origin;
}

bool SerialPortControl::adapterRefused() const { return d->adapterRefused; }

struct SerialPortControl::Binding {
  QString serial;  // empty: no binding
  QString origin;
};

SerialPortControl::Binding SerialPortControl::binding() const {
  if (!d->adapterOverride.isEmpty()) return {d->adapterOverride, d->adapterOrigin};
  // setup.ini binds numbers only; a device given for the run is not COM<n>.
  if (!d->deviceOverride.isEmpty()) return {};
  const QString serial = adapterForPort(d->commPort, d->iniPath);
  if (serial.isEmpty()) return {};
  return {serial,
          QStringLiteral("[Adapters] COM%1 in %2").arg(d->commPort).arg(QDir::toNativeSeparators(d->iniPath))};
}

int SerialPortControl::refuseAdapter(const QString& device, const Binding& binding, const QString& found) {
  d->adapterRefused = true;
  d->lastOpenError = QStringLiteral("adapter serial %1 expected, found %2 (%3)")
                         .arg(printable(binding.serial), found.isEmpty() ? QStringLiteral("none") : printable(found),
                              printable(binding.origin));
  // A device given for the run is the slot's name; a number names itself.
  const QString port = d->deviceOverride.isEmpty() ? QStringLiteral("COM%1 (%2)").arg(d->commPort).arg(device)
                                                   : device;
  d->say(QStringLiteral("Cannot open serial port %1: %2").arg(port, d->lastOpenError));
  return kErrOpenFailed;
}

void SerialPortControl::setCommPort(int n) { d->commPort = n; }
int SerialPortControl::commPort() const { return d->commPort; }

bool SerialPortControl::setSettings(const QString& settings) {
  const auto parsed = LineSettings::parse(settings);
  if (!parsed) return false;
  if (portOpen()) {
    // Applied at once on an open port, as a running line may be re-timed.
    d->port->apply(*parsed);
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
  return clampToInt(d->received.size() + d->port->bytesReady());
}

void SerialPortControl::setInBufferCount(int n) {
  if (n != 0) return;  // only 0 (discard) means anything
  d->received.clear();
  d->port->discardInput();
}

int SerialPortControl::outBufferCount() const {
  if (!portOpen()) return 0;
  return clampToInt(d->port->outputQueued());
}

void SerialPortControl::setOutBufferCount(int n) {
  if (n != 0) return;
  if (portOpen()) d->port->discardOutput();  // a kept line still sends what it took
}

void SerialPortControl::setLookOnly(bool lookOnly) { d->lookOnly = lookOnly; }

bool SerialPortControl::portOpen() const { return d->port->isOpen() && !d->kept; }

QString SerialPortControl::lastOpenErrorText() const { return d->lastOpenError; }

bool SerialPortControl::accessRefused(const QString& device) { return PortPermission::accessRefused(device); }

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
  d->adapterRefused = false;
  Port& port = *d->port;
  const QString requested = d->deviceOverride.isEmpty() ? deviceForPort(d->commPort, d->iniPath) : d->deviceOverride;
  if (d->kept) {
    // A kept descriptor was checked against its binding when it was opened.
    const bool same = requested == d->openRequested && d->settings == d->openSettings && d->inputMode == d->openMode &&
                      !port.isGone();
    if (same) {
      // What a reopen would have lost: everything received until now.
      d->kept = false;
      ++d->keptGeneration;
      port.discardInput();
      d->received.clear();
      if (!d->lookOnly) port.useForTraffic();  // a line once used for traffic stays raw
      return 0;
    }
    release();
  }
  if (requested.isEmpty()) {
    d->lastOpenError = QStringLiteral("no device for port number %1").arg(d->commPort);
    return kErrNoSuchPort;
  }

  const Binding bound = binding();
  QString device = requested;
  QString tty;
  if (!bound.serial.isEmpty()) {
    tty = AdapterIdentity::ttyName(requested);
    if (const QString found = serialBehind(tty); found != bound.serial) return refuseAdapter(requested, bound, found);
    // The kernel's own node of the adapter just checked: a link, or a name
    // in a folder others write, may lead elsewhere once checked.
    device = platform::devicePathOf(tty);
  }

  d->received.clear();
  const Port::OpenResult opened = port.open(device, d->line, d->lookOnly ? Port::Use::Look : Port::Use::Traffic);
  if (opened.ok()) {
    // An adapter swapped between the look and the open: nothing was sent yet.
    if (!bound.serial.isEmpty()) {
      if (const QString found = serialBehind(tty); found != bound.serial) {
        release();
        return refuseAdapter(requested, bound, found);
      }
    }
    d->openSettings = d->settings;
    d->openMode = d->inputMode;
    d->openRequested = requested;
    return 0;
  }
  d->lastOpenError = opened.reason;
  const auto portText = QStringLiteral("Cannot open serial port COM%1 (%2): ").arg(d->commPort).arg(device);
  if (opened.error == Port::OpenError::NotCharacterDevice) {
    // The entry is named only when there is one: the system's own name for
    // the number (COM1 on Windows) can be no serial device as well.
    const bool fromEntry = d->deviceOverride.isEmpty() && !d->iniPath.isEmpty() &&
                           device != deviceForPort(d->commPort, QString());
    const QString entry = fromEntry ? QStringLiteral(" ([Ports] COM%1 in %2)")
                                          .arg(d->commPort)
                                          .arg(QDir::toNativeSeparators(d->iniPath))
                                    : QString();
    d->say(portText + opened.reason + entry);
    return kErrOpenFailed;
  }
  int number = kErrOpenFailed;
  switch (opened.error) {
    case Port::OpenError::NoSuchPort: number = kErrNoSuchPort; break;
    case Port::OpenError::InUse: number = kErrPortInUse; break;
    default: number = kErrOpenFailed; break;
  }
  // A refused device usually means a missing membership of the serial-port
  // group: said plainly even for a look. A setup for traffic names every failure.
  if (number == kErrOpenFailed || !d->lookOnly) d->say(portText + opened.reason);
  return number;
}

bool SerialPortControl::output(const QByteArray& bytes) {
  if (!portOpen()) return false;
  if (bytes.isEmpty()) return true;
  if (!d->port->write(bytes)) return false;
  return portOpen();  // a write that found the device gone closed it
}

SerialPortControl::Drain SerialPortControl::drainOutput(const std::function<bool()>& stopWaiting) {
  if (!portOpen()) return Drain::Closed;
  // Not tcdrain: it has no time limit, and a device that stops taking bytes
  // would hold the program there, deaf to the event loop and to Ctrl+C.
  Port& port = *d->port;
  qint64 least = port.outputQueued();
  if (least == 0) return Drain::Drained;  // the usual case: no yield, no delay before the pause

  WaitClock& clock = *d->clock;
  // Twice the wire time of what is left, from the last time it shrank.
  const auto allowance = [this](qint64 bytes) { return kDrainMargin + byteTime() * bytes * 2; };
  auto progressAt = clock.now();
  auto deadline = progressAt + allowance(least);
  const auto end = waitFor(
      [&](bool) -> std::optional<Drain> {
        if (!portOpen()) return Drain::Closed;
        port.flush();
        const qint64 left = port.outputQueued();
        if (left == 0) return Drain::Drained;
        if (stopWaiting && stopWaiting()) return Drain::Stopped;
        const auto now = clock.now();
        if (left < least) {
          least = left;
          progressAt = now;
          deadline = now + allowance(left);
        }
        if (now > deadline) return Drain::Stalled;
        return std::nullopt;
      },
      std::nullopt, std::chrono::milliseconds{1}, clock);
  if (end == Drain::Stalled) {
    const QString device = port.device();
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(clock.now() - progressAt);
    port.discardOutput();  // nothing more for a device that takes nothing
    release();
    emit lineStalled(device, clampToInt(least), waited);
  }
  return end;
}

std::chrono::nanoseconds SerialPortControl::byteTime() const { return d->line.byteTime(); }

void SerialPortControl::collectWaiting() {
  if (!portOpen()) return;
  d->received += d->port->read();
}

QByteArray SerialPortControl::input() {
  collectWaiting();
  if (d->inputLen == 0 || d->received.size() <= d->inputLen) return std::exchange(d->received, {});
  QByteArray head = d->received.left(d->inputLen);
  d->received.remove(0, d->inputLen);
  return head;
}

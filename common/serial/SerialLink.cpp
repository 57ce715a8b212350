#include "SerialLink.h"

#include <QCoreApplication>
#include <QDir>

#include <settings/LenientNumber.h>

#include "HexText.h"
#include "LineSpeed.h"

namespace {

constexpr std::uint8_t kHighestPort = 16;

}  // namespace

QString SerialLink::rxLine(const QByteArray& bytes) { return QStringLiteral("RX: ") + HexText::HexStringToReadable(bytes); }

SerialLink::SerialLink(std::unique_ptr<ReceiveRule> rule, const QString& programFolder, const Timing& timing,
                       QObject* parent, std::unique_ptr<Port> port)
    : QObject(parent),
      rule_(std::move(rule)),
      port_(std::make_unique<SerialPortControl>(std::move(port))),
      log_(std::make_unique<TrafficLog>(QDir(programFolder).filePath(QStringLiteral("Log.txt")), timing.clock)),
      clock_(timing.waits) {
  setObjectName(QStringLiteral("SerialLink"));
  port_->setObjectName(QStringLiteral("MSComm1"));
  port_->setWaitClock(*clock_);
  // The port's own lines (open failures, a line not left raw) read without
  // the program's name, the link's with it.
  port_->setMessageSink([this](const QString& text) {
    if (messages_) messages_(text);
  });
  log_->setMessageSink([this](const QString& text) {
    if (messages_) messages_(text);
  });
  port_->setPortsIniPath(QDir(programFolder).filePath(QStringLiteral("setup.ini")));
  connect(port_.get(), &SerialPortControl::commEvent, this, &SerialLink::MSComm1_OnComm);
  // One line for the operator and in the serial window, never in Log.txt,
  // which holds traffic only; callers then find the port closed.
  connect(port_.get(), &SerialPortControl::deviceLost, this, [this](const QString& device) {
    lost_ = true;
    if (!portFailure_) portFailure_ = QString();
    const QString text = QStringLiteral("COM%1 lost: %2 is gone, port closed").arg(port_->commPort()).arg(device);
    tell(text);
    emit rxText(text);
    emit deviceLost(device);
  });
  connect(port_.get(), &SerialPortControl::lineStalled, this,
          [this](const QString& device, int pending, std::chrono::milliseconds waited) {
            tell(QStringLiteral("COM%1 stalled: %2 took none of %3 bytes in %4 ms, port closed")
                          .arg(port_->commPort())
                          .arg(device)
                          .arg(pending)
                          .arg(waited.count()));
            portMessage(QStringLiteral("Comm Port stalled"));
          });
  LogFileName = log_->fileName();
}

SerialLink::~SerialLink() = default;

void SerialLink::setPortMessage(PortMessage message) { portMessage_ = std::move(message); }

void SerialLink::setMessageSink(MessageSink sink) { messages_ = std::move(sink); }

void SerialLink::tell(const QString& text) const {
  if (messages_) messages_(QCoreApplication::applicationName() + QStringLiteral(": ") + text);
}

// ---- Port setup and line modes ----

bool SerialLink::SetupMScomm(std::uint8_t ComPort, std::uint8_t ComSpeed) {
  return setup(Flavour::Normal, ComPort, ComSpeed);
}

bool SerialLink::SetupMScommForProduction(std::uint8_t ComPort, std::uint8_t ComSpeed) {
  return setup(Flavour::Production, ComPort, ComSpeed);
}

bool SerialLink::SetupMScommAsBinary(std::uint8_t ComPort, std::uint8_t ComSpeed) {
  return setup(Flavour::Binary, ComPort, ComSpeed);
}

bool SerialLink::setup(Flavour flavour, std::uint8_t ComPort, std::uint8_t ComSpeed) {
  CloseMScomm();
  lost_ = false;
  if (flavour == Flavour::Normal && (ComPort == 0 || ComPort > kHighestPort)) return false;

  SerialPortControl& comm = *port_;
  comm.setCommPort(ComPort);
  if (const auto speed = LineSpeed::fromCode(ComSpeed))
    comm.setSettings(speed->lineSettings());
  else if (flavour == Flavour::Production)
    comm.setSettings(LineSpeed().lineSettings());
  // An unknown speed code otherwise keeps the previous setup's line settings.

  comm.setInBufferSize(kBufferSize);
  comm.setOutBufferSize(kBufferSize);
  comm.setInputLen(0);
  comm.setInBufferCount(0);
  comm.setInputMode(flavour == Flavour::Binary ? SerialPortControl::InputMode::Binary
                                               : SerialPortControl::InputMode::Text);
  comm.setRThreshold(1);
  comm.setOutBufferCount(0);
  comm.setLookOnly(flavour == Flavour::Production);

  const int error = comm.setPortOpen(true);
  if (error == 0) return true;
  if (flavour == Flavour::Production) {
    CloseMScomm();
    return false;
  }
  // The system's reason went to the message sink; Log.txt holds traffic only.
  reportOpenFailure(error);
  return false;
}

void SerialLink::reportOpenFailure(int errorNumber) {
  QString text;
  switch (errorNumber) {
    case SerialPortControl::kErrNoSuchPort: text = QStringLiteral("Comm Port not available!"); break;
    case SerialPortControl::kErrPortInUse: text = QStringLiteral("Comm Port already open"); break;
    case SerialPortControl::kErrOpenFailed: text = QStringLiteral("Comm Port not open"); break;
    default: text = QStringLiteral("Unknown Comm port problem - Error ") + QString::number(errorNumber); break;
  }
  portMessage(text);
}

void SerialLink::portMessage(const QString& text) {
  if (!portFailure_) portFailure_ = text;
  if (portMessage_) portMessage_(text);
}

void SerialLink::CloseMScomm() {
  if (port_->portOpen()) port_->setPortOpen(false);
}

bool SerialLink::CheckMScomm() const { return port_->portOpen(); }

bool SerialLink::probePort(std::uint8_t ComPort, std::uint8_t ComSpeed) {
  ClearMScommInput();
  CloseMScomm();
  const bool opened = SetupMScommForProduction(ComPort, ComSpeed);
  CloseMScomm();
  return opened;
}

bool SerialLink::isDebugValue(const QString& debugSetting) {
  return LenientNumber::isNumeric(debugSetting) && LenientNumber::numericValue(debugSetting) == kDebugValue;
}

// ---- Sending and receiving ----

void SerialLink::SendMScommString(const QByteArray& str) {
  // A send that fails ends here, silently: nothing is shown or logged.
  if (!port_->output(str)) return;
  WriteOut(QStringLiteral("TX: ") + HexText::HexStringToReadable(str));
}

void SerialLink::ClearMScommInput() {
  port_->setInputLen(0);
  port_->setInBufferCount(0);
  ReplyBuffer.clear();
}

std::int16_t SerialLink::GetMScommInBufferCount() const {
  return std::int16_t(qMin(port_->inBufferCount(), int(INT16_MAX)));
}

QByteArray SerialLink::GetMScommInBuffer() {
  const int waiting = port_->inBufferCount();
  const QByteArray bytes = port_->input();
  // Only the bytes counted before the read are shown; later arrivals are
  // returned but not displayed.
  WriteIn(rxLine(bytes.left(waiting)));
  return bytes;
}

void SerialLink::WriteOut(const QString& str) {
  emit txText(str);
  if (LogOn) LogWriteLine(str, true);
}

void SerialLink::WriteIn(const QString& str) {
  emit rxText(str);
  if (LogOn) LogWriteLine(str, true);
}

void SerialLink::MSComm1_OnComm(int code) {
  if (code != SerialPortControl::comEvReceive) return;

  rule_->take(port_->input(), *this);
}

// ---- Traffic log ----

void SerialLink::startLog() {
  LogOn = true;
  log_->setFileName(LogFileName);
  log_->startFresh();
}

void SerialLink::SetLogOn() {
  if (!LogOn) startLog();
}

bool SerialLink::LogWriteLine(const QString& text, bool withTimestamp) {
  log_->setFileName(LogFileName);
  return log_->LogWriteLine(text, withTimestamp);
}

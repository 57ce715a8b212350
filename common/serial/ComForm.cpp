#include "ComForm.h"

#include <QCheckBox>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>

#include <LenientNumber.h>

#include "HexText.h"

namespace {

// Window geometry is given in twips; 15 twips make one pixel.
constexpr int kTwipsPerPixel = 15;
QRect twips(int left, int top, int width, int height) {
  return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel, height / kTwipsPerPixel);
}

// Far beyond any screen (70000 twips), where the window waits until shown.
constexpr int kOffScreen = 70000 / kTwipsPerPixel;
constexpr std::uint8_t kHighestPort = 16;
constexpr std::uint8_t kCarriageReturn = 13;
constexpr std::uint8_t kLineFeed = 10;

QString lineSettingsFor(std::uint8_t ComSpeed) {
  switch (ComSpeed) {
    case 0: return QStringLiteral("9600,N,8,1");
    case 1: return QStringLiteral("57600,N,8,1");
    case 2: return QStringLiteral("115200,N,8,1");
    default: return {};
  }
}

QString rxLine(const QByteArray& bytes) { return QStringLiteral("RX: ") + HexText::HexStringToReadable(bytes); }

void showModalMessage(QWidget* owner, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(), text, QMessageBox::Ok, owner);
  box.exec();
}

}  // namespace

ComForm::ComForm(Host host, const QString& programFolder, QWidget* owner)
    : QWidget(owner, Qt::Window),
      host_(host),
      port_(std::make_unique<SerialPortControl>()),
      log_(std::make_unique<TrafficLog>(QDir(programFolder).filePath(QStringLiteral("Log.txt")))) {
  setObjectName(QStringLiteral("ComForm"));
  setWindowTitle(host == Host::Calvboot ? QStringLiteral("Communication") : QStringLiteral("ComForm"));
  setFixedSize(9495 / kTwipsPerPixel, 1410 / kTwipsPerPixel);

  auto label = [this](const char* name, const QString& caption, QRect where) {
    auto* l = new QLabel(caption, this);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(where);
    return l;
  };
  auto textBox = [this](const char* name, QRect where) {
    auto* t = new QLineEdit(this);
    t->setObjectName(QLatin1String(name));
    t->setReadOnly(true);
    t->setGeometry(where);
    return t;
  };
  Label1 = label("Label1", QStringLiteral("Tx"), twips(120, 240, 375, 255));
  Text1 = textBox("Text1", twips(600, 120, 7695, 375));
  Label2 = label("Label2", QStringLiteral("Rx"), twips(120, 720, 375, 255));
  Text2 = textBox("Text2", twips(600, 600, 7695, 375));
  Label3 = label("Label3", QStringLiteral("Log to File"), twips(8400, 240, 855, 255));
  ChkLog = new QCheckBox(this);
  ChkLog->setObjectName(QStringLiteral("ChkLog"));
  ChkLog->setGeometry(twips(8520, 600, 255, 255));
  connect(ChkLog, &QCheckBox::toggled, this, [this] { ChkLog_Click(); });

  port_->setObjectName(QStringLiteral("MSComm1"));
  port_->setPortsIniPath(QDir(programFolder).filePath(QStringLiteral("setup.ini")));
  connect(port_.get(), &SerialPortControl::commEvent, this, &ComForm::MSComm1_OnComm);
  // One line for the operator and the log; callers then find the port closed.
  connect(port_.get(), &SerialPortControl::deviceLost, this, [this](const QString& device) {
    WriteIn(QStringLiteral("COM%1 lost: %2 is gone, port closed").arg(port_->commPort()).arg(device));
  });

  portMessage_ = [this](const QString& text) { showModalMessage(parentWidget(), text); };

  // Load state: out of sight until the program shows it, empty lines, no log.
  move(kOffScreen, kOffScreen);
  Text1->clear();
  Text2->clear();
  LogOn = false;
  LogFileName = log_->fileName();
  RomliftActive = false;
}

ComForm::~ComForm() = default;

void ComForm::setPortMessage(PortMessage message) { portMessage_ = std::move(message); }

// ---- Port setup and line modes ----

bool ComForm::SetupMScomm(std::uint8_t ComPort, std::uint8_t ComSpeed) {
  return setup(Flavour::Normal, ComPort, ComSpeed);
}

bool ComForm::SetupMScommForProduction(std::uint8_t ComPort, std::uint8_t ComSpeed) {
  return setup(Flavour::Production, ComPort, ComSpeed);
}

bool ComForm::SetupMScommAsBinary(std::uint8_t ComPort, std::uint8_t ComSpeed) {
  return setup(Flavour::Binary, ComPort, ComSpeed);
}

bool ComForm::setup(Flavour flavour, std::uint8_t ComPort, std::uint8_t ComSpeed) {
  CloseMScomm();
  if (flavour == Flavour::Normal && (ComPort == 0 || ComPort > kHighestPort)) return false;

  SerialPortControl& comm = *port_;
  comm.setCommPort(ComPort);
  const QString settings = lineSettingsFor(ComSpeed);
  if (!settings.isEmpty())
    comm.setSettings(settings);
  else if (flavour == Flavour::Production)
    comm.setSettings(lineSettingsFor(0));
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
  // The system's reason (for a refused device, the group to join) goes to
  // the traffic log too, beside the operator's message.
  if (error == SerialPortControl::kErrOpenFailed && LogOn) LogWriteLine(comm.lastOpenErrorText(), true);
  reportOpenFailure(error);
  return false;
}

void ComForm::reportOpenFailure(int errorNumber) {
  QString text;
  switch (errorNumber) {
    case SerialPortControl::kErrNoSuchPort: text = QStringLiteral("Comm Port not available!"); break;
    case SerialPortControl::kErrPortInUse: text = QStringLiteral("Comm Port already open"); break;
    case SerialPortControl::kErrOpenFailed: text = QStringLiteral("Comm Port not open"); break;
    default: text = QStringLiteral("Unknown Comm port problem - Error ") + QString::number(errorNumber); break;
  }
  if (portMessage_) portMessage_(text);
}

void ComForm::CloseMScomm() {
  if (port_->portOpen()) port_->setPortOpen(false);
}

bool ComForm::CheckMScomm() const { return port_->portOpen(); }

bool ComForm::probePort(std::uint8_t ComPort, std::uint8_t ComSpeed) {
  ClearMScommInput();
  CloseMScomm();
  const bool opened = SetupMScommForProduction(ComPort, ComSpeed);
  CloseMScomm();
  return opened;
}

bool ComForm::isDebugValue(const QString& debugSetting) {
  return LenientNumber::isNumeric(debugSetting) && LenientNumber::numericValue(debugSetting) == kDebugValue;
}

// ---- Sending and receiving ----

void ComForm::SendMScommString(const QByteArray& str) {
  // A send that fails ends here, silently: nothing is shown or logged.
  if (!port_->output(str)) return;
  WriteOut(QStringLiteral("TX: ") + HexText::HexStringToReadable(str));
}

void ComForm::ClearMScommInput() {
  port_->setInputLen(0);
  port_->setInBufferCount(0);
  ReplyBuffer.clear();
}

std::int16_t ComForm::GetMScommInBufferCount() const {
  return std::int16_t(qMin(port_->inBufferCount(), int(INT16_MAX)));
}

QByteArray ComForm::GetMScommInBuffer() {
  const int waiting = port_->inBufferCount();
  const QByteArray bytes = port_->input();
  // Only the bytes counted before the read are shown; later arrivals are
  // returned but not displayed.
  WriteIn(rxLine(bytes.left(waiting)));
  return bytes;
}

void ComForm::WriteOut(const QString& str) {
  Text1->setText(str);
  if (LogOn) LogWriteLine(str, true);
}

void ComForm::WriteIn(const QString& str) {
  Text2->setText(str);
  if (LogOn) LogWriteLine(str, true);
}

void ComForm::SetRomliftActive() { RomliftActive = true; }

void ComForm::SetVisibility(bool Level) {
  if (Level) {
    move(0, 0);
    show();
  } else {
    hide();
  }
}

void ComForm::MSComm1_OnComm(int code) {
  if (code != SerialPortControl::comEvReceive) return;

  const QByteArray s = port_->input();
  if (!RomliftActive) {
    ReplyBuffer += s;
    // The first byte of a reply is its length; show it once it is complete.
    if (!ReplyBuffer.isEmpty() && ReplyBuffer.size() >= std::uint8_t(ReplyBuffer.at(0))) WriteIn(rxLine(ReplyBuffer));
  } else {
    port_->setInBufferCount(0);
    // Skipped only when the chunk is nothing but the number 13 or 10: text
    // read together with such a number (a refusal, "OK") must not go with it.
    // (Blanks, tabs and line feeds do not count, as in the number reading.)
    QString text = QString::fromLatin1(s);
    text.remove(u' ').remove(u'\t').remove(u'\n');
    const double value = LenientNumber::numericValue(text);
    if (!LenientNumber::isNumeric(text) || (value != kCarriageReturn && value != kLineFeed)) {
      ReplyBuffer += s;
      WriteIn(rxLine(ReplyBuffer));
    }
  }
  // calvboot never lets a stray reply grow without bound.
  if (host_ == Host::Calvboot && ReplyBuffer.size() > kOverflowLength) {
    WriteIn(rxLine(ReplyBuffer));
    ReplyBuffer.clear();
  }
}

// ---- Traffic log ----

void ComForm::ChkLog_Click() {
  if (!ChkLog->isChecked()) {
    LogOn = false;
    return;
  }
  LogOn = true;
  log_->setFileName(LogFileName);
  log_->startFresh();
}

void ComForm::SetLogOn() {
  if (!ChkLog->isChecked()) ChkLog->setChecked(true);  // raises ChkLog_Click
}

bool ComForm::LogWriteLine(const QString& text, bool withTimestamp) {
  log_->setFileName(LogFileName);
  return log_->LogWriteLine(text, withTimestamp);
}

QString ComForm::LogTimestamp() const { return log_->LogTimestamp(); }

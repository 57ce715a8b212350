#include "CalvSession.h"

#include <QDir>

#include <protocol/FrameRule.h>
#include <protocol/ModuleCommands.h>
#include <serial/SerialLink.h>
#include <serial/SerialPortControl.h>
#include <settings/IniFileHandler.h>
#include <settings/LenientNumber.h>

#include "ProductionRun.h"

// The sequence shows itself on whichever view the run under way gave.
class CalvSession::ViewRelay : public ProgramView {
 public:
  ProgramView* target = nullptr;
  void setStatusText(const QString& text) override {
    if (target) target->setStatusText(text);
  }
  void detailText(const QString& text) override {
    if (target) target->detailText(text);
  }
  void setProgress(float value) override {
    if (target) target->setProgress(value);
  }
  void bytesSent(qint64 done, qint64 total) override {
    if (target) target->bytesSent(done, total);
  }
  void blockChecked(int block, int moduleCrc, int pcCrc) override {
    if (target) target->blockChecked(block, moduleCrc, pcCrc);
  }
};

CalvSession::CalvSession(const QString& programFolder, const Timing& timing)
    : folder_(programFolder),
      iniPath_(QDir(programFolder).filePath(QStringLiteral("setup.ini"))),
      link_(std::make_unique<SerialLink>(std::make_unique<FrameRule>(), programFolder, timing)),
      commands_(std::make_unique<ModuleCommands>(*link_, timing)),
      view_(std::make_unique<ViewRelay>()) {
  program_ = std::make_unique<ProgramModule>(*commands_, *view_, iniPath_, timing);
}

CalvSession::~CalvSession() = default;

QString CalvSession::aboutText() {
  return QStringLiteral("Calvaro Bootloader\r\n\r\nVersion %1.%2%3\r\nJune 2006")
      .arg(CALVBOOT_VERSION_MAJOR)
      .arg(CALVBOOT_VERSION_MINOR)
      .arg(CALVBOOT_VERSION_PATCH);
}

QString CalvSession::storedAddressRefusal(const QString& address) const {
  if (addressFits(address)) return {};
  return QStringLiteral("the stored network address DevAdr=%1 in %2 is out of range (0 to 65535); set it with "
                        "Setting > Com Adress or give --address")
      .arg(address, iniPath_);
}

bool CalvSession::addressFits(const QString& text) {
  const auto value = LenientNumber::toWhole<std::int32_t>(LenientNumber::numericValue(text));
  return value && *value >= kLowestAddress && *value <= kHighestAddress;
}

CalvSession::StoredLine CalvSession::storedLine(bool store) const {
  const QString comSettings = QStringLiteral("ComSettings");
  const auto read = [&](const QString& section, const char* key, const char* fallback) {
    const QString k = QString::fromLatin1(key), d = QString::fromLatin1(fallback);
    return store ? IniFileHandler::ReadIniValue(section, k, d, iniPath_)
                 : IniFileHandler::ReadIniValueOrDefault(section, k, d, iniPath_);
  };
  StoredLine line;
  // Read in the window's order, so that a storing read adds keys as it did.
  line.address = read(comSettings, "DevAdr", "1");
  line.comPort =
      LenientNumber::toWhole<std::uint8_t>(LenientNumber::numericValue(read(comSettings, "ComPort", "1"))).value_or(0);
  line.speed = LineSpeed::fromStored(LenientNumber::numericValue(read(comSettings, "ComSpeed", "9600")));
  line.log = SerialLink::isDebugValue(read(QStringLiteral("AmpCom"), "Debug", "0"));
  return line;
}

void CalvSession::setDevice(const QString& device) {
  deviceOverride_ = device;
  link_->MSComm1().setDeviceOverride(device);
}

QString CalvSession::device() const {
  return deviceOverride_.isEmpty() ? SerialPortControl::deviceForPort(commands_->ComPort, iniPath_) : deviceOverride_;
}

void CalvSession::setCommandLineRun(ProductionConfig production, std::function<int()> stopStatus) {
  production_ = std::move(production);
  stopStatus_ = std::move(stopStatus);
}

ProductionConfig CalvSession::records() const {
  return production_ ? *production_ : ProductionConfig::fromIni(iniPath_);
}

std::optional<ProgramResult> CalvSession::run(const QString& path, ProgramView& view, ProductionMessage message) {
  Phase phase = Phase::Starting;
  ProductionRun production(records(), [&](const QString& text) { message(phase, text); });
  if (!production.start(*program_, path, commands_->ComPort, device())) return std::nullopt;
  phase = Phase::Running;
  view_->target = &view;
  ProgramResult result = program_->run(path);
  view_->target = nullptr;
  phase = Phase::Ended;
  production.finish(result, production_ ? std::optional<int>(exitStatus(result)) : std::nullopt);
  return result;
}

int CalvSession::portNotOpened(const QString& path, ProductionMessage message) {
  const QString said = link_->portFailure().value_or(QString());
  ProgramResult failed;
  failed.portFailure = said.isEmpty() ? QStringLiteral("Comm Port not open") : said;
  ProductionRun production(records(), [&](const QString& text) { message(Phase::Ended, text); });
  const int status = exitStatus(failed);
  production.portNotOpened(path, commands_->ComPort, device(), *failed.portFailure, status);
  return status;
}

int CalvSession::exitStatus(const ProgramResult& result) const {
  if (result.portFailure) return CalvExit::kPort;
  const int stop = stopStatus();
  if (stop != 0 && result.outcome != RunOutcome::Done) return stop;
  switch (result.outcome) {
    case RunOutcome::Timeout: return CalvExit::kTimeout;
    case RunOutcome::Fault: return CalvExit::kFault;
    case RunOutcome::Done: break;
  }
  return !result.crcFaultBlocks.empty() || result.serialRefused ? CalvExit::kCrcMismatch : CalvExit::kOk;
}

QStringList CalvSession::notPassedReasons(const ProgramResult& result, int status) {
  QStringList lines;
  if (result.serialRefused)
    lines << QStringLiteral("%1: do not pass the module; the number is spent")
                 .arg(ProductionRun::refusalText(*result.serialRefused));
  if (status == CalvExit::kCrcMismatch && !result.crcFaultBlocks.empty()) {
    QStringList blocks;
    for (std::uint8_t b : result.crcFaultBlocks) blocks << QString::number(b);
    lines << QStringLiteral("module CRC differed from the file in block(s) ") + blocks.join(u", ");
  }
  return lines;
}

void CalvSession::stopOnPortFailure(MessageSink say) {
  link_->setPortMessage([this, say = std::move(say)](const QString& text) {
    say(text);
    program_->StopRequest = true;
  });
  QObject::connect(link_.get(), &SerialLink::deviceLost, link_.get(), [this] { program_->StopRequest = true; });
}

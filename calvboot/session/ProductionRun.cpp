#include "ProductionRun.h"

#include <QStringList>


#include <algorithm>

ProductionRun::ProductionRun(const ProductionConfig& config, Production::Message message) {
  if (config.any()) production_.emplace(config, std::move(message));
}

ProductionRun::~ProductionRun() {
  if (program_) program_->SerialSource = nullptr;
}

bool ProductionRun::start(ProgramModule& program, const QString& path, int comPort, const QString& device) {
  program.SerialSource = nullptr;
  if (!production_) return true;
  describe(path, comPort, device);
  if (!production_->open()) return false;
  if (production_->usesDatabase()) {
    program_ = &program;
    program.SerialSource = [this] { return production_->claimSerial(); };
  }
  return true;
}

void ProductionRun::describe(const QString& path, int comPort, const QString& device) {
  record_ = RunRecord::begin(QStringLiteral("calvboot"), QStringLiteral("%1.%2.%3").arg(CALVBOOT_VERSION_MAJOR).arg(CALVBOOT_VERSION_MINOR).arg(CALVBOOT_VERSION_PATCH));
  record_.setFirmware(path);
  record_.setPort(comPort, device);
}

void ProductionRun::portNotOpened(const QString& path, int comPort, const QString& device, const QString& status,
                                  int exitStatus) {
  if (!production_) return;
  describe(path, comPort, device);
  record_.setEnd(status, exitStatus);
  production_->keep(record_);
}

QString ProductionRun::refusalText(const SerialRefusal& refusal) {
  return QStringLiteral("serial number %1 refused by the fixture (%2)").arg(refusal.number).arg(refusal.answer);
}

void ProductionRun::finish(const ProgramResult& result, std::optional<int> exitStatus) {
  if (!production_) return;
  record_.deviceKind = result.device == DeviceKindFound::Fixture     ? QStringLiteral("fixture")
                       : result.device == DeviceKindFound::Amplifier ? QStringLiteral("amplifier")
                                                                     : QString();
  if (result.serialWritten) record_.serialNumber = QString::number(*result.serialWritten);
  QStringList blocks;
  for (std::uint8_t block : result.checkedBlocks) {
    const bool fault = std::find(result.crcFaultBlocks.begin(), result.crcFaultBlocks.end(), block) !=
                       result.crcFaultBlocks.end();
    blocks << QStringLiteral("%1 %2").arg(block).arg(fault ? u"fault" : u"ok");
  }
  record_.blockCrcs = blocks.join(QStringLiteral(", "));
  // A refused number is no module's: serial_number stays empty, and the
  // status says which number was spent on it.
  record_.setEnd(result.serialRefused ? result.status + QStringLiteral("; ") + refusalText(*result.serialRefused)
                                      : result.status,
                 exitStatus);
  production_->keep(record_);
}

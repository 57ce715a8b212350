#include "ProductionRun.h"

#include <QStringList>

#include <serial/AdapterIdentity.h>

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
  record_.comPort = QString::number(comPort);
  record_.device = device;
  record_.adapterSerial = AdapterIdentity::of(AdapterIdentity::ttyName(device)).serial;
}

void ProductionRun::portNotOpened(const QString& path, int comPort, const QString& device, const QString& status,
                                  int exitStatus) {
  if (!production_) return;
  describe(path, comPort, device);
  record_.setEnd(status, exitStatus);
  production_->keep(record_);
}

QString ProductionRun::refusalText(const ProgramModule::SerialRefusal& refusal) {
  return QStringLiteral("serial number %1 refused by the fixture (%2)").arg(refusal.number).arg(refusal.answer);
}

void ProductionRun::finish(const ProgramModule& program, const QString& status, std::optional<int> exitStatus) {
  if (!production_) return;
  record_.deviceKind = program.DeviceKind == ProgramModule::kFixture     ? QStringLiteral("fixture")
                       : program.DeviceKind == ProgramModule::kAmplifier ? QStringLiteral("amplifier")
                                                                         : QString();
  if (program.SerialWritten) record_.serialNumber = QString::number(*program.SerialWritten);
  QStringList blocks;
  for (std::uint8_t block : program.CheckedBlocks) {
    const bool fault = std::find(program.CrcFaultBlocks.begin(), program.CrcFaultBlocks.end(), block) !=
                       program.CrcFaultBlocks.end();
    blocks << QStringLiteral("%1 %2").arg(block).arg(fault ? u"fault" : u"ok");
  }
  record_.blockCrcs = blocks.join(QStringLiteral(", "));
  // A refused number is no module's: serial_number stays empty, and the
  // status says which number was spent on it.
  record_.setEnd(program.SerialRefused ? status + QStringLiteral("; ") + refusalText(*program.SerialRefused) : status,
                 exitStatus);
  production_->keep(record_);
}

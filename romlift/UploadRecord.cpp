#include "UploadRecord.h"


#include "ProductTable.h"
#include "ProgramIdentity.h"

UploadRecord::UploadRecord(const ProductionConfig& config, Production::Message message) {
  if (config.any()) production_.emplace(config, std::move(message));
}

void UploadRecord::begin(const UploadFile& file, int comPort, const QString& device) {
  if (!production_) return;
  record_ = RunRecord::begin(QStringLiteral("romlift"), ProgramIdentity::romlift().dotted());
  record_.setFirmware(file.FileName);
  if (const Product* product = ProductTable::forCode(file.ProductCode))
    record_.deviceKind = QString::fromLatin1(product->displayName);
  record_.setPort(comPort, device);
}

void UploadRecord::end(const UploadResult& result, std::optional<int> exitStatus) {
  // An upload that sent nothing reached no device: nothing to record.
  if (!production_ || result.linesSent == 0) return;
  record_.setEnd(endingText(result.end), exitStatus);
  production_->keep(record_);
}

void UploadRecord::portNotOpened(const UploadFile& file, int comPort, const QString& device, const QString& status,
                                 int exitStatus) {
  if (!production_) return;
  begin(file, comPort, device);
  record_.setEnd(status, exitStatus);
  production_->keep(record_);
}

QString UploadRecord::endingText(UploadEnd ending) {
  switch (ending) {
    case UploadEnd::Succeeded: return QStringLiteral("Updated with success");
    case UploadEnd::Failed: return QStringLiteral("Update Failed");
    case UploadEnd::Cancelled: return QStringLiteral("Update cancelled");
    case UploadEnd::WrongFile: return QStringLiteral("Wrong File");
    case UploadEnd::NotStarted: return QStringLiteral("Not started");
    case UploadEnd::PortLost: return QStringLiteral("Port lost");
    case UploadEnd::NoBootLoader: return QStringLiteral("No boot loader");
  }
  return {};
}

#include "Production.h"

#include <QDir>
#include <QFileInfo>

#include <settings/IniFileHandler.h>

#include "CsvRecords.h"
#include "LineDatabase.h"
#include "Spool.h"

ProductionConfig ProductionConfig::fromIni(const QString& iniPath) {
  const QString section = QStringLiteral("Production");
  QString records = IniFileHandler::ReadIniValueOrDefault(section, QStringLiteral("Records"), QString(), iniPath);
  // A window's working folder is anyone's guess: a relative file lives beside setup.ini.
  if (!records.isEmpty()) records = QFileInfo(iniPath).dir().filePath(records);
  return {records, IniFileHandler::ReadIniValueOrDefault(section, QStringLiteral("Database"), QString(), iniPath),
          iniPath};
}

Production::Production(ProductionConfig config, Message message)
    : config_(std::move(config)), message_(std::move(message)) {
  if (usesDatabase()) db_ = std::make_unique<LineDatabase>(config_.database);
}

Production::~Production() = default;

bool Production::reach() {
  open_ = db_->open();
  return open_;
}

bool Production::deliverSpool() {
  QString error;
  const bool all = Spool(config_.iniPath).deliver([this](const RunRecord& r) { return db_->insert(r); }, error);
  if (!error.isEmpty()) message_(error);
  return all;
}

bool Production::open() {
  if (!usesDatabase()) return true;
  if (reach()) {
    deliverSpool();
    return true;
  }
  message_(db_->error());
  return false;
}

std::optional<std::uint32_t> Production::claimSerial() {
  if (!usesDatabase()) return std::nullopt;
  if (open_) {
    if (auto serial = db_->claimSerial()) return serial;
  }
  // The connection may have dropped since the run began; one new try.
  if (!reach()) {
    message_(QStringLiteral("no serial number for the fixture: ") + db_->error());
    return std::nullopt;
  }
  if (auto serial = db_->claimSerial()) return serial;
  message_(db_->error());
  return std::nullopt;
}

void Production::keep(const RunRecord& record) {
  if (!config_.records.isEmpty()) {
    if (const QString error = CsvRecords::append(config_.records, record); !error.isEmpty())
      message_(QStringLiteral("run record not written: ") + error);
  }
  if (!usesDatabase()) return;
  // The spool first, so that the database gets the records in order; a
  // record behind one that is still spooled joins it there.
  bool stored = false;
  for (int attempt = 0; attempt < 2 && !stored; ++attempt) {
    if ((attempt > 0 || !open_) && !reach()) break;
    stored = deliverSpool() && db_->insert(record);
  }
  if (stored) return;
  const QString why = db_->error();
  Spool spool(config_.iniPath);
  if (const QString error = spool.append(record); !error.isEmpty())
    message_(QStringLiteral("run record lost: %1; %2").arg(why, error));
  else
    message_(QStringLiteral("%1; run record kept in %2 until the database is back").arg(why, spool.path()));
}

#include "Production.h"

#include <QDir>
#include <QFileInfo>

#include <settings/FileAccess.h>
#include <settings/IniFileHandler.h>

#include "CsvRecords.h"
#include "DatabaseThread.h"
#include "LineDatabase.h"
#include "Spool.h"

ProductionConfig ProductionConfig::fromIni(const QString& iniPath) {
  const QString section = QStringLiteral("Production");
  ProductionConfig config;
  config.iniPath = iniPath;
  config.database = IniFileHandler::ReadIniValueOrDefault(section, QStringLiteral("Database"), QString(), iniPath);
  const QString records = IniFileHandler::ReadIniValueOrDefault(section, QStringLiteral("Records"), QString(), iniPath);
  if (records.isEmpty()) return config;
  // Whoever may write setup.ini (a whole group, for a station) must not be
  // able to send a run's record into another file: the record file lives
  // beside setup.ini or below it, reached without a link.
  config.recordsFolder = QFileInfo(iniPath).absolutePath();
  if (isConfinedPath(records)) {
    config.records = records;
  } else {
    config.recordsRefusal =
        QStringLiteral("%1: [Production] Records=%2 refused: the record file must be a relative path inside %3 "
                       "without \"..\"; no record file written")
            .arg(QDir::toNativeSeparators(iniPath), records, QDir::toNativeSeparators(config.recordsFolder));
  }
  return config;
}

void ProductionConfig::setOwnRecords(const QString& path) {
  records = path;
  recordsFolder.clear();
  recordsRefusal.clear();
}

namespace {
const QString kStopped = QStringLiteral("stopped while waiting for the line's database");

// The record file: one that another program keeps locked is not waited
// for; the record goes where the next delivery or a person finds it.
class CsvSink : public RecordSink {
 public:
  CsvSink(QString folder, QString path) : folder_(std::move(folder)), path_(std::move(path)) {}
  QString name() const override { return QStringLiteral("the record file"); }
  std::optional<Failure> keep(const RunRecord& record) override {
    const CsvRecords::Appended csv = CsvRecords::append(folder_, path_, record);
    if (csv.error.isEmpty()) return std::nullopt;
    return Failure{QStringLiteral("run record not written: ") + csv.error,
                   csv.lockTimedOut ? Spool::WhenNoneKept : Spool::Never};
  }

 private:
  QString folder_, path_;
};

struct Answer {
  bool ok = false;
  QString error;
};
struct Claim {
  std::optional<std::uint32_t> serial;
  bool timedOut = false;
  QString error;
};
}  // namespace

// The line's database: the spool first, so that it gets the records in
// order; a record behind one that is still spooled joins it there.
class Production::DatabaseSink : public RecordSink {
 public:
  explicit DatabaseSink(Production& production) : p_(production) {}
  QString name() const override { return QStringLiteral("the line's database"); }
  std::optional<Failure> keep(const RunRecord& record) override {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if ((attempt > 0 || !p_.open_) && !p_.reach()) break;
      if (p_.deliverSpool() && p_.insert(record)) return std::nullopt;
    }
    return Failure{p_.error_, Spool::Always};
  }

 private:
  Production& p_;
};

Production::Production(ProductionConfig config, Message message)
    : config_(std::move(config)), message_(std::move(message)) {
  if (!config_.records.isEmpty()) sinks_.push_back(std::make_unique<CsvSink>(config_.recordsFolder, config_.records));
  if (usesDatabase()) {
    db_ = std::make_unique<DatabaseThread>(config_.database, config_.iniPath);
    sinks_.push_back(std::make_unique<DatabaseSink>(*this));
  }
}

Production::~Production() = default;

std::function<void()> Production::slowNotice() const {
  return [this] { message_(QStringLiteral("waiting for the line's database (%1)").arg(withoutPassword(config_.database))); };
}

bool Production::reach() {
  const auto answer = db_->call<Answer>([](LineDatabase& db) { return Answer{db.open(), db.error()}; }, slowNotice());
  error_ = answer ? answer->error : kStopped;
  open_ = answer && answer->ok;
  return open_;
}

bool Production::insert(const RunRecord& record) {
  const auto answer =
      db_->call<Answer>([record](LineDatabase& db) { return Answer{db.insert(record), db.error()}; }, slowNotice());
  error_ = answer ? answer->error : kStopped;
  return answer && answer->ok;
}

bool Production::deliverSpool() {
  QString error;
  const bool all = Spool(config_.iniPath).deliver([this](const RunRecord& r) { return insert(r); }, error);
  if (!error.isEmpty()) message_(error);
  return all;
}

bool Production::open() {
  if (!usesDatabase()) return true;
  if (reach()) {
    deliverSpool();
    return true;
  }
  message_(error_);
  return false;
}

std::optional<std::uint32_t> Production::claimSerial() {
  if (!usesDatabase()) return std::nullopt;
  const auto claim = [this]() -> std::optional<Claim> {
    return db_->call<Claim>([](LineDatabase& db) { return Claim{db.claimSerial(), db.claimTimedOut(), db.error()}; },
                            slowNotice());
  };
  if (open_) {
    const auto first = claim();
    if (first && first->serial) return first->serial;
    // Stopped, or the server ended the wait (a row held too long): a second
    // try would only wait as long again.
    if (!first || first->timedOut) {
      message_(first ? first->error : kStopped);
      return std::nullopt;
    }
  }
  // The connection may have dropped since the run began; one new try.
  if (!reach()) {
    message_(QStringLiteral("no serial number for the fixture: ") + error_);
    return std::nullopt;
  }
  const auto second = claim();
  if (second && second->serial) return second->serial;
  message_(second ? second->error : kStopped);
  return std::nullopt;
}

void Production::keep(const RunRecord& record) {
  if (!config_.recordsRefusal.isEmpty()) message_(config_.recordsRefusal);
  bool keptSomewhere = false;
  std::optional<QString> spoolAlways, spoolUnlessKept;
  for (std::size_t i = 0; i < sinks_.size(); ++i) {
    const std::optional<RecordSink::Failure> failed = sinks_[i]->keep(record);
    if (!failed) {
      keptSomewhere = true;
      continue;
    }
    if (failed->spool == RecordSink::Spool::Always) {
      if (!spoolAlways) spoolAlways = failed->why;
      continue;
    }
    QStringList others;
    for (std::size_t j = 0; j < sinks_.size(); ++j)
      if (j != i) others << sinks_[j]->name();
    if (failed->spool == RecordSink::Spool::WhenNoneKept && others.isEmpty())
      spoolUnlessKept = failed->why;
    else
      message_(others.isEmpty() ? failed->why
                                : failed->why + QStringLiteral("; it goes to %1 only").arg(others.join(u", ")));
  }
  if (spoolAlways)
    keepInSpool(record, *spoolAlways);
  else if (spoolUnlessKept && !keptSomewhere)
    keepInSpool(record, *spoolUnlessKept);
}

void Production::keepInSpool(const RunRecord& record, const QString& why) {
  Spool spool(config_.iniPath);
  if (const QString error = spool.append(record); !error.isEmpty())
    message_(QStringLiteral("run record lost: %1; %2").arg(why, error));
  else
    message_(QStringLiteral("%1; run record kept in %2").arg(why, spool.path()) +
             (usesDatabase() ? QStringLiteral(" until the database is back") : QString()));
}

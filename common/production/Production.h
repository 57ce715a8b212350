#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "RunRecord.h"

class LineDatabase;

// Where a station's run records go: a CSV file, the line's database, or
// both; nothing when neither is configured.
struct ProductionConfig {
  QString records;   // CSV file
  QString database;  // postgresql:// URI
  QString iniPath;   // the spool lives beside it

  // Section "Production", keys "Records" and "Database" (nothing written back).
  static ProductionConfig fromIni(const QString& iniPath);
  bool any() const { return !records.isEmpty() || !database.isEmpty(); }
};

// A run's link to the production line. Every failure is a message for the
// operator (standard error, the window's status line); none changes how the
// run itself ends.
class Production {
 public:
  using Message = std::function<void(const QString&)>;
  Production(ProductionConfig config, Message message);
  ~Production();

  bool usesDatabase() const { return !config_.database.isEmpty(); }
  // Reaches the database, creates its tables when missing and delivers the
  // spool. False (with a message) when it cannot be reached.
  bool open();
  // The next serial number from the database; nothing (with a message) when
  // it cannot give one, reconnecting once first.
  std::optional<std::uint32_t> claimSerial();
  // Writes the record to the CSV file and to the database; a record the
  // database cannot take goes to the spool.
  void keep(const RunRecord& record);

 private:
  bool reach();
  bool deliverSpool();

  ProductionConfig config_;
  Message message_;
  std::unique_ptr<LineDatabase> db_;
  bool open_ = false;
};

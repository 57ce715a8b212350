#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "RecordSink.h"
#include "RunRecord.h"

class DatabaseThread;

// Where a station's run records go: a CSV file, the line's database, or
// both; nothing when neither is configured.
struct ProductionConfig {
  QString records;   // CSV file
  QString database;  // postgresql:// URI
  QString iniPath;   // the spool lives beside it
  // Set when records came from setup.ini: its folder, which records (a
  // relative path) must not leave. Empty for an operator's own --records.
  QString recordsFolder;
  // Why setup.ini's "Records" was not taken; the run keeps no record file.
  QString recordsRefusal;

  // Section "Production", keys "Records" and "Database" (nothing written back).
  static ProductionConfig fromIni(const QString& iniPath);
  // A record file the operator named on the command line, used as given.
  void setOwnRecords(const QString& path);
  bool any() const { return !records.isEmpty() || !database.isEmpty() || !recordsRefusal.isEmpty(); }
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
  // Hands the record to each sink of the run (the CSV file, the database);
  // a record the database cannot take, or that a held CSV file kept from
  // the only sink, goes to the spool.
  void keep(const RunRecord& record);

 private:
  class DatabaseSink;
  bool reach();
  bool deliverSpool();
  void keepInSpool(const RunRecord& record, const QString& why);
  bool insert(const RunRecord& record);
  // Tells the operator, once per call, when the database keeps the run waiting.
  std::function<void()> slowNotice() const;

  ProductionConfig config_;
  Message message_;
  std::unique_ptr<DatabaseThread> db_;
  std::vector<std::unique_ptr<RecordSink>> sinks_;
  QString error_;  // why the last database call failed
  bool open_ = false;
};

#pragma once

#include <QString>

#include <optional>

#include <production/Production.h>
#include <programming/ProgramModule.h>

// One "Start" as the production line sees it: the database reached before
// anything is sent, the fixture's serial number from it, and the run record
// at the end. Does nothing when nothing is configured.
class ProductionRun {
 public:
  ProductionRun(const ProductionConfig& config, Production::Message message);
  ~ProductionRun();
  ProductionRun(const ProductionRun&) = delete;
  ProductionRun& operator=(const ProductionRun&) = delete;

  // False when the line's database cannot be reached: the run must not start.
  bool start(ProgramModule& program, const QString& path, int comPort, const QString& device);
  // Writes the record of the run's result (to disk before it returns).
  void finish(const ProgramResult& result, std::optional<int> exitStatus = std::nullopt);
  // The record of a run whose port could not be opened: nothing was sent.
  void portNotOpened(const QString& path, int comPort, const QString& device, const QString& status, int exitStatus);

  // A fixture's serial-number record the fixture did not accept, for the
  // record and the command line: "serial number N refused by the fixture
  // (ANSWER)".
  static QString refusalText(const SerialRefusal& refusal);

 private:
  void describe(const QString& path, int comPort, const QString& device);

  std::optional<Production> production_;
  ProgramModule* program_ = nullptr;  // its serial source points here
  RunRecord record_;
};

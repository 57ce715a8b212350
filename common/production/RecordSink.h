#pragma once

#include <QString>

#include <optional>

#include "RunRecord.h"

// Somewhere a run's record is kept: the CSV file, the line's database; the
// recorder hands each record to every sink of the run, in order.
class RecordSink {
 public:
  // Whether the spool should keep a record this sink could not take: never,
  // only when no other sink kept it, or always (the spool is delivered to
  // this sink later).
  enum class Spool { Never, WhenNoneKept, Always };
  struct Failure {
    QString why;
    Spool spool = Spool::Never;
  };

  virtual ~RecordSink() = default;
  // What the operator calls it: "the line's database".
  virtual QString name() const = 0;
  // Nothing when the record is kept (on disk, or committed).
  virtual std::optional<Failure> keep(const RunRecord& record) = 0;
};

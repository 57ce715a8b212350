#pragma once

#include <QString>

#include <functional>

#include "RunRecord.h"

// Records the database could not take, kept in a file beside setup.ini
// (one JSON object a line, oldest first) until a run reaches the database.
// Every change happens under the settings lock, so runs of one station
// never lose each other's records.
class Spool {
 public:
  explicit Spool(QString iniPath);

  const QString& path() const { return path_; }
  // Empty, or why the record could not be kept.
  QString append(const RunRecord& record);
  // Hands the records to store in order, stopping at the first it refuses,
  // and removes the ones it took. True when every record was taken; error
  // tells when the spool could not be rewritten. Storing must ignore a
  // record it already has (the same uid): one is removed only once stored.
  bool deliver(const std::function<bool(const RunRecord&)>& store, QString& error);

 private:
  QString iniPath_;
  QString path_;
};

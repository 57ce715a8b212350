#pragma once

#include <QByteArray>
#include <QString>

#include "RunRecord.h"

namespace CsvRecords {

// One field as RFC 4180 writes it: quoted, with its quotes doubled, when it
// holds a comma, a quote or a line break. One that starts with = + - @, a
// tab or a CR gets a leading ' so that a spreadsheet shows it as text.
QByteArray field(const QString& text);
// The header line or one record's line, each ended by CR LF.
QByteArray headerLine();
QByteArray line(const RunRecord& record);

struct Appended {
  QString error;  // empty when the record is on disk
  bool lockTimedOut = false;  // another program kept the file locked
};
// Appends the record to the file (a header line first when the file is new
// or empty) and has it on disk before returning. Runs of other processes
// append to the same file without interleaving; the file's lock is waited
// for as long as the settings lock. The file is opened as openForAppend()
// does: with a folder, path must lie inside it.
Appended append(const QString& folder, const QString& path, const RunRecord& record);

}  // namespace CsvRecords

#pragma once

#include <QByteArray>
#include <QString>

#include "RunRecord.h"

namespace CsvRecords {

// One field as RFC 4180 writes it: quoted, with its quotes doubled, when it
// holds a comma, a quote or a line break.
QByteArray field(const QString& text);
// The header line or one record's line, each ended by CR LF.
QByteArray headerLine();
QByteArray line(const RunRecord& record);

// Appends the record to the file (a header line first when the file is new
// or empty) and has it on disk before returning. Runs of other processes
// append to the same file without interleaving. Empty, or why it failed.
QString append(const QString& path, const RunRecord& record);

}  // namespace CsvRecords

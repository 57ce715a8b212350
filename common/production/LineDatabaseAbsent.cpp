#include "LineDatabase.h"

// The line's database in a build without it (KESTRUNE_LINE_DATABASE off: no
// Qt Sql or PostgreSQL client for the target). A configured database is
// refused on every call, so a station never believes its records reach the
// line; what a run keeps goes to the record file and the spool as ever.

namespace {
const QString kAbsent = QStringLiteral(
    "this build of the program has no line database; take [Production] Database out of setup.ini (and --database "
    "off the command line) or use a build with it");
}

LineDatabase::LineDatabase(QString uri, QString iniPath) : uri_(std::move(uri)), iniPath_(std::move(iniPath)) {}

LineDatabase::~LineDatabase() = default;

void LineDatabase::setCancel(void*) {}

void LineDatabase::cancelRunning() {}

bool LineDatabase::fail(const QString& what, const QString& why) {
  error_ = QStringLiteral("%1 (%2): %3").arg(what, shownUri(), why);
  return false;
}

bool LineDatabase::open() { return fail(QStringLiteral("cannot reach the database"), kAbsent); }

std::optional<std::uint32_t> LineDatabase::claimSerial() {
  fail(QStringLiteral("no serial number from the database"), kAbsent);
  return std::nullopt;
}

bool LineDatabase::insert(const RunRecord&) { return fail(QStringLiteral("cannot store the run record"), kAbsent); }

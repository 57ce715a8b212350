#include "LineDatabase.h"

#include <QFile>
#include <QMap>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>

#include <platform/Files.h>
#include <settings/IniFileHandler.h>

#include <libpq-fe.h>

namespace {

// Every wait on the database ends: the connect, a statement, a lock another
// session holds (a serial_counter row), and a peer that went silent.
constexpr int kWaitSeconds = 5;
// One key for the advisory lock that serialises schema creation across stations.
constexpr qint64 kSchemaLockKey = 0x4B53540001;

const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS production_schema (version integer NOT NULL)",
    "CREATE TABLE IF NOT EXISTS serial_counter ("
    " id integer PRIMARY KEY CHECK (id = 1),"
    " next_serial bigint NOT NULL CHECK (next_serial BETWEEN 0 AND 4294967296))",
    "CREATE TABLE IF NOT EXISTS run_records ("
    " id bigserial PRIMARY KEY,"
    " record_uid text NOT NULL UNIQUE,"
    " started_utc timestamptz NOT NULL,"
    " ended_utc timestamptz,"
    " station text NOT NULL,"
    " program text NOT NULL,"
    " version text,"
    " com_port integer,"
    " device text,"
    " adapter_serial text,"
    " firmware_path text,"
    " firmware_size bigint,"
    " firmware_sha256 text,"
    " device_kind text,"
    " serial_number bigint,"
    " block_crcs text,"
    " final_status text,"
    " exit_status integer,"
    " stored_utc timestamptz NOT NULL DEFAULT now())",
    "INSERT INTO production_schema (version) SELECT 1 WHERE NOT EXISTS (SELECT 1 FROM production_schema)",
};

// SQL type of the columns that are not text.
QString cast(const char* column) {
  const QString name = QString::fromLatin1(column);
  if (name.endsWith(u"_utc")) return QStringLiteral("::timestamptz");
  if (name == u"com_port" || name == u"exit_status") return QStringLiteral("::integer");
  if (name == u"firmware_size" || name == u"serial_number") return QStringLiteral("::bigint");
  return {};
}

// A conninfo value, quoted as libpq reads it.
QString conninfoValue(const QString& value) {
  QString quoted = value;
  quoted.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'"));
  return u'\'' + quoted + u'\'';
}

QString sqlError(const QSqlError& error) {
  QString text = error.databaseText().trimmed();
  if (text.isEmpty()) text = error.driverText().trimmed();
  return text.isEmpty() ? QStringLiteral("no reason given") : text.simplified();
}

}  // namespace

LineDatabase::LineDatabase(QString uri, QString iniPath)
    : uri_(std::move(uri)), iniPath_(std::move(iniPath)), connection_(QStringLiteral("line-") + QUuid::createUuid().toString()) {}

LineDatabase::~LineDatabase() {
  setCancel(nullptr);
  { QSqlDatabase::database(connection_, false).close(); }
  QSqlDatabase::removeDatabase(connection_);
}

void LineDatabase::setCancel(void* pgconn) {
  const std::lock_guard<std::mutex> lock(cancelMutex_);
  if (cancel_) PQfreeCancel(static_cast<PGcancel*>(cancel_));
  cancel_ = pgconn ? PQgetCancel(static_cast<PGconn*>(pgconn)) : nullptr;
}

void LineDatabase::cancelRunning() {
  const std::lock_guard<std::mutex> lock(cancelMutex_);
  char why[256];
  if (cancel_) PQcancel(static_cast<PGcancel*>(cancel_), why, sizeof why);
}

bool LineDatabase::fail(const QString& what, const QString& why) {
  error_ = QStringLiteral("%1 (%2): %3").arg(what, shownUri(), why);
  return false;
}

QString LineDatabase::exposedPassword() const {
  if (iniPath_.isEmpty()) return {};
  const QUrl url(uri_);
  if (url.password().isEmpty() && QUrlQuery(url).queryItemValue(QStringLiteral("password")).isEmpty()) return {};
  if (!platform::readableByAll(iniPath_)) return {};
  // Only the URI that setup.ini itself holds: one given on a command line is
  // not in the file.
  if (IniFileHandler::ReadIniValueOrDefault(QStringLiteral("Production"), QStringLiteral("Database"), QString(),
                                            iniPath_) != uri_)
    return {};
  return QStringLiteral("%1 holds the password and every account may read it: chmod 0660 %1, or leave the "
                        "password out of the URI and put it in a password file (~/.pgpass, PGPASSFILE or passfile=)")
      .arg(iniPath_);
}

bool LineDatabase::open() {
  const QUrl url(uri_);
  if (!url.isValid() || (url.scheme() != u"postgresql" && url.scheme() != u"postgres"))
    return fail(QStringLiteral("not a postgresql:// URI"), QStringLiteral("see docs/production.md"));
  if (const QString exposed = exposedPassword(); !exposed.isEmpty())
    return fail(QStringLiteral("database password refused"), exposed);
  if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
    return fail(QStringLiteral("cannot reach the database"), QStringLiteral("Qt's PostgreSQL driver is not installed"));
  QUrlQuery query(url);
  // Defaults that the URI's own options replace; the server's options (-c)
  // add up, and a later -c of the same setting wins.
  const QString wait = QString::number(kWaitSeconds);
  QMap<QString, QString> options{
      {QStringLiteral("connect_timeout"), wait},
      {QStringLiteral("keepalives"), QStringLiteral("1")},
      {QStringLiteral("keepalives_idle"), wait},
      {QStringLiteral("keepalives_interval"), wait},
      {QStringLiteral("keepalives_count"), QStringLiteral("2")},
      // Sent data that is never acknowledged: as long as the keepalives allow.
      {QStringLiteral("tcp_user_timeout"), QString::number(kWaitSeconds * 3 * 1000)},
  };
  QStringList serverOptions{QStringLiteral("-c statement_timeout=%1s -c lock_timeout=%1s").arg(kWaitSeconds)};
  // Given here, options= replaces PGOPTIONS: keep what the environment says.
  if (const QString env = qEnvironmentVariable("PGOPTIONS").trimmed(); !env.isEmpty()) serverOptions << env;
  for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
    if (key == u"host" || key == u"port" || key == u"password") continue;
    // Qt's driver turns every ';' of the options into a blank.
    if (key.contains(u';') || value.contains(u';'))
      return fail(QStringLiteral("cannot reach the database"),
                  QStringLiteral("the option %1 holds a ';', which cannot be passed on").arg(key));
    if (key == u"options")
      serverOptions << value;
    else
      options.insert(key, value);
  }
  options.insert(QStringLiteral("options"), serverOptions.join(u' '));
  QStringList conninfo;
  for (auto it = options.cbegin(); it != options.cend(); ++it) conninfo << it.key() + u'=' + conninfoValue(it.value());

  QSqlDatabase db = QSqlDatabase::contains(connection_) ? QSqlDatabase::database(connection_, false)
                                                        : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection_);
  db.close();
  db.setHostName(query.hasQueryItem(QStringLiteral("host")) ? query.queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded)
                                                            : url.host());
  if (url.port() > 0) db.setPort(url.port());
  if (query.hasQueryItem(QStringLiteral("port"))) db.setPort(query.queryItemValue(QStringLiteral("port")).toInt());
  db.setDatabaseName(url.path().mid(1));
  db.setUserName(url.userName(QUrl::FullyDecoded));
  // Without one here, libpq looks in PGPASSWORD and the password file; the
  // driver passes no empty password that would hide them.
  db.setPassword(query.hasQueryItem(QStringLiteral("password"))
                     ? query.queryItemValue(QStringLiteral("password"), QUrl::FullyDecoded)
                     : url.password(QUrl::FullyDecoded));
  db.setConnectOptions(conninfo.join(u';'));
  setCancel(nullptr);
  if (!db.open()) return fail(QStringLiteral("cannot reach the database"), sqlError(db.lastError()));
  // The driver's handle is the client library's connection (named by its struct tag).
  if (const QVariant handle = db.driver()->handle();
      handle.isValid() && (qstrcmp(handle.typeName(), "pg_conn*") == 0 || qstrcmp(handle.typeName(), "PGconn*") == 0))
    setCancel(*static_cast<PGconn* const*>(handle.constData()));
  return createSchema();
}

bool LineDatabase::createSchema() {
  QSqlDatabase db = QSqlDatabase::database(connection_, false);
  QSqlQuery q(db);
  // Stations starting at once must not race each other's CREATE TABLE.
  if (!db.transaction() || !q.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kSchemaLockKey)))
    return fail(QStringLiteral("cannot prepare the database"), sqlError(q.lastError()));
  // Tables that are there are not created again: that would need the right
  // to create tables, which a station's user may well not have.
  const bool complete = q.exec(QStringLiteral(
                            "SELECT count(*) FROM pg_tables WHERE schemaname = current_schema() "
                            "AND tablename IN ('production_schema', 'serial_counter', 'run_records')")) &&
                        q.next() && q.value(0).toInt() == 3;
  for (const char* statement : kSchema) {
    if (complete) break;
    if (!q.exec(QString::fromLatin1(statement))) {
      const QString why = sqlError(q.lastError());
      db.rollback();
      return fail(QStringLiteral("cannot create the tables"), why);
    }
  }
  if (!q.exec(QStringLiteral("SELECT max(version) FROM production_schema")) || !q.next()) {
    const QString why = sqlError(q.lastError());
    db.rollback();
    return fail(QStringLiteral("cannot read the schema version"), why);
  }
  const int version = q.value(0).toInt();
  if (!db.commit()) return fail(QStringLiteral("cannot create the tables"), sqlError(db.lastError()));
  // A newer program changed the tables: writing to them as version 1 could spoil them.
  if (version > kSchemaVersion)
    return fail(QStringLiteral("database schema is newer than this program"),
                QStringLiteral("version %1, this program knows %2").arg(version).arg(kSchemaVersion));
  return true;
}

std::optional<std::uint32_t> LineDatabase::claimSerial() {
  timedOut_ = false;
  QSqlDatabase db = QSqlDatabase::database(connection_, false);
  QSqlQuery q(db);
  // One statement: the row lock makes every station wait for the one before it.
  const bool done = q.exec(QStringLiteral(
      "UPDATE serial_counter SET next_serial = next_serial + 1 WHERE id = 1 AND next_serial <= %1 "
      "RETURNING next_serial - 1").arg(kLastSerial));
  if (!done) {
    const QString state = q.lastError().nativeErrorCode();
    // The server ended the wait (statement or lock time-out, a cancel); the
    // connection itself is fine.
    timedOut_ = state == u"57014" || state == u"55P03";
    fail(QStringLiteral("no serial number from the database"), sqlError(q.lastError()));
    return std::nullopt;
  }
  if (!q.next()) {
    fail(QStringLiteral("no serial number from the database"),
         QStringLiteral("no batch is set, or its numbers are used up (serial_counter, see docs/production.md)"));
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(q.value(0).toLongLong());
}

bool LineDatabase::insert(const RunRecord& record) {
  QStringList names, values;
  for (const auto& column : RunRecord::columns()) {
    names << QString::fromLatin1(column.name);
    values << QStringLiteral("NULLIF(?, '')") + cast(column.name);
  }
  QSqlQuery q(QSqlDatabase::database(connection_, false));
  q.prepare(QStringLiteral("INSERT INTO run_records (%1) VALUES (%2) ON CONFLICT (record_uid) DO NOTHING")
                .arg(names.join(u", "), values.join(u", ")));
  for (const auto& column : RunRecord::columns()) q.addBindValue(record.*column.field);
  if (!q.exec()) return fail(QStringLiteral("cannot store the run record"), sqlError(q.lastError()));
  return true;
}

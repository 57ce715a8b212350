#include "RunRecord.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>

#include <serial/AdapterIdentity.h>

const std::array<RunRecord::Column, RunRecord::kColumnCount>& RunRecord::columns() {
  static const std::array<Column, kColumnCount> table{{
      {"record_uid", &RunRecord::uid},
      {"started_utc", &RunRecord::started},
      {"ended_utc", &RunRecord::ended},
      {"station", &RunRecord::station},
      {"program", &RunRecord::program},
      {"version", &RunRecord::version},
      {"com_port", &RunRecord::comPort},
      {"device", &RunRecord::device},
      {"adapter_serial", &RunRecord::adapterSerial},
      {"firmware_path", &RunRecord::firmwarePath},
      {"firmware_size", &RunRecord::firmwareSize},
      {"firmware_sha256", &RunRecord::firmwareSha256},
      {"device_kind", &RunRecord::deviceKind},
      {"serial_number", &RunRecord::serialNumber},
      {"block_crcs", &RunRecord::blockCrcs},
      {"final_status", &RunRecord::finalStatus},
      {"exit_status", &RunRecord::exitStatus},
  }};
  return table;
}

QString RunRecord::nowUtc() { return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs); }

RunRecord RunRecord::begin(const QString& program, const QString& version) {
  RunRecord r;
  r.uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
  r.started = nowUtc();
  r.station = QSysInfo::machineHostName();
  r.program = program;
  r.version = version;
  return r;
}

void RunRecord::setFirmware(const QString& path) {
  firmwarePath = QFileInfo(path).absoluteFilePath();
  QFile file(path);
  QCryptographicHash hash(QCryptographicHash::Sha256);
  if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) return;
  firmwareSize = QString::number(file.size());
  firmwareSha256 = QString::fromLatin1(hash.result().toHex());
}

void RunRecord::setPort(int port, const QString& path) {
  comPort = QString::number(port);
  device = path;
  adapterSerial = AdapterIdentity::of(AdapterIdentity::ttyName(path)).serial;
}

void RunRecord::setEnd(const QString& status, std::optional<int> exit) {
  ended = nowUtc();
  finalStatus = status;
  if (exit) exitStatus = QString::number(*exit);
}

QString withoutPassword(const QString& uri) {
  QUrl url(uri);
  if (!url.isValid()) return QStringLiteral("(a database URI that cannot be read)");
  url.setPassword(QString());
  QUrlQuery query(url);
  query.removeAllQueryItems(QStringLiteral("password"));
  url.setQuery(query);
  return url.toString();
}

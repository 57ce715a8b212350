#pragma once

#include <QString>

#include <array>
#include <optional>

// One run of a programming tool as the production line keeps it. Every field
// is text, empty when not known, so that the CSV file, the spool and the
// database take the same values; times are UTC in ISO 8601.
struct RunRecord {
  QString uid;  // unique per run: a record delivered twice is stored once
  QString started, ended;
  QString station, program, version;
  QString comPort, device, adapterSerial;
  QString firmwarePath, firmwareSize, firmwareSha256;
  QString deviceKind;
  QString serialNumber;  // the number a fixture accepted; a refused one is in finalStatus
  QString blockCrcs;     // "0 ok, 1 fault": PC and module agreed, per block
  QString finalStatus;
  QString exitStatus;  // command-line runs

  struct Column {
    const char* name;
    QString RunRecord::*field;
  };
  static constexpr std::size_t kColumnCount = 17;
  // The order of the CSV columns and of the database's.
  static const std::array<Column, kColumnCount>& columns();

  // A new record: its uid, the start time and the station (host name).
  static RunRecord begin(const QString& program, const QString& version);
  // Path, size and SHA-256 of the firmware file (size and hash stay empty
  // when it cannot be read).
  void setFirmware(const QString& path);
  // The port number, its device and the serial number of the adapter behind
  // it (from what the system knows of the device; empty when nothing).
  void setPort(int comPort, const QString& device);
  // exit: the command-line exit status, when there is one.
  void setEnd(const QString& status, std::optional<int> exit = std::nullopt);

  static QString nowUtc();
};

// A connection URI fit to show: any password left out.
QString withoutPassword(const QString& uri);

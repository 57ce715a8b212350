#pragma once

#include <QString>
#include <QStringList>

// Which serial ports the system has, and who an adapter is, as the system
// tells it. On Linux from /sys, /dev and /proc, unless KESTRUNE_SYSFS_ROOT,
// KESTRUNE_DEV_ROOT or KESTRUNE_PROC_ROOT name other folders (tests build
// fake trees in a temporary folder).
namespace platform {

// What the system knows of a serial adapter. Empty fields are not known (a
// pseudo-terminal knows none). The strings come from the device itself and
// are made printable.
struct AdapterFacts {
  QString driver;
  QString vendorId;  // USB ids, as hex digits
  QString productId;
  QString manufacturer;
  QString product;
  QString serial;
  QString latencyTimer;  // milliseconds (FTDI adapters)
  QString byId;          // a stable name of the device, kept when it moves to another socket
  QString byPath;        // a stable name by the socket it sits in
};

// The system's name of the serial port behind a device path (ttyUSB0),
// following links such as /dev/serial/by-id/...; empty when the system has
// no such port.
QString serialPortName(const QString& device);
// What the system knows of the adapter behind a port name.
AdapterFacts adapterOf(const QString& portName);
// The serial ports with hardware behind them and a device, in name order
// (ttyUSB10 after ttyUSB9); placeholders without a UART are left out.
QStringList serialPorts();
// The device path that opens a port name.
QString devicePathOf(const QString& portName);
// The ports the system writes its console messages to: opening one would
// change the console's line settings.
QStringList consolePorts();

}  // namespace platform

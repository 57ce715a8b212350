#pragma once

#include <QString>
#include <QStringList>

// Where the kernel's device tree, the device nodes and its process file
// system are: /sys, /dev and /proc, unless KESTRUNE_SYSFS_ROOT,
// KESTRUNE_DEV_ROOT or KESTRUNE_PROC_ROOT say otherwise (tests build fake
// trees in a temporary folder).
struct SystemRoots {
  QString sys = QStringLiteral("/sys");
  QString dev = QStringLiteral("/dev");
  QString proc = QStringLiteral("/proc");
  static SystemRoots fromEnvironment();
  // The ttys the kernel writes its messages to (/proc/consoles).
  QStringList consoles() const;
};

// Who a serial device is, as the kernel tells it under /sys: the driver, the
// USB ids and strings, the stable /dev/serial names and, for ftdi_sio, the
// latency timer. Empty fields are not known (a pseudo-terminal knows none).
struct AdapterIdentity {
  QString driver;
  QString vendorId;
  QString productId;
  QString manufacturer;
  QString product;
  QString serial;
  QString latencyTimer;  // milliseconds
  QString byId;          // a /dev/serial/by-id/... link to the device
  QString byPath;        // a /dev/serial/by-path/... link to the device

  // The kernel's tty name (ttyUSB0) behind a device path, following links
  // such as /dev/serial/by-id/...; empty when /sys has no such tty.
  static QString ttyName(const QString& device, const SystemRoots& roots);
  static AdapterIdentity of(const QString& ttyName, const SystemRoots& roots);
  // The ttys with hardware behind them and a device node, in name order;
  // the 16550 driver's placeholders without a UART are left out.
  static QStringList serialTtys(const SystemRoots& roots);

  // One line for a person, e.g. "driver ftdi_sio, USB 0403:6001, Example,
  // USB Serial, serial A1B2C3, latency timer 16 ms"; empty when nothing of
  // it is known.
  QString summary() const;
};

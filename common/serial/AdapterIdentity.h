#pragma once

#include <QString>
#include <QStringList>

#include <platform/PortListing.h>

// Who a serial device is, as the system tells it (platform/PortListing.h):
// the driver, the USB ids and strings, the stable device names and, for
// ftdi_sio, the latency timer. Empty fields are not known (a pseudo-terminal
// knows none).
struct AdapterIdentity : platform::AdapterFacts {
  // The kernel's tty name (ttyUSB0) behind a device path, following links
  // such as /dev/serial/by-id/...; empty when the system has no such tty.
  static QString ttyName(const QString& device);
  static AdapterIdentity of(const QString& ttyName);
  // The ttys with hardware behind them and a device node, in name order;
  // the 16550 driver's placeholders without a UART are left out.
  static QStringList serialTtys();

  // One line for a person, e.g. "driver ftdi_sio, USB 0403:6001, Example,
  // USB Serial, serial A1B2C3, latency timer 16 ms"; empty when nothing of
  // it is known.
  QString summary() const;
};

#pragma once

#include <QString>

#include <cstdint>
#include <optional>

#include "LineSpeed.h"

// The port of one run or one slot: a number (0: the one in setup.ini) or a
// device path, and a speed when one was given for it; for a device given as
// PATH=SERIAL, the USB serial number of the adapter it must be
// (SerialPortControl::bindAdapter).
struct PortChoice {
  std::uint8_t comPort = 0;
  QString device;
  std::optional<LineSpeed> speed;
  QString adapterSerial;

  // The slot's name for the operator: COM3, or the device given.
  QString name() const { return device.isEmpty() ? QStringLiteral("COM%1").arg(comPort) : device; }
};

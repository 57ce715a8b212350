#pragma once

#include <QString>

// What to tell an operator whose port would not open for lack of permission:
// which group owns the device and that the user must be in it (on Linux
// serial devices usually belong to "dialout").
namespace PortPermission {

QString hint(const QString& device, const QString& group, const QString& user);

// The hint for a device as it is now: its owning group and the effective
// user; empty where the device cannot be examined.
QString hintFor(const QString& device);

}  // namespace PortPermission

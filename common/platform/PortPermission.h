#pragma once

#include <QString>

// What to tell an operator whose port would not open for lack of permission:
// which group owns the device and that the user must be in it (on Linux
// serial devices usually belong to "dialout").
namespace PortPermission {

// groupMayUse: the device's mode lets its group read and write it, and the
// group is not root's (joining that is never the answer).
QString hint(const QString& device, const QString& group, const QString& user, bool groupMayUse);

// The hint for a device as it is now: its owning group and mode and the
// effective user; empty where the device cannot be examined.
QString hintFor(const QString& device);

// True when the system refuses this user the device (not a missing or
// silent device): the case for the hint.
bool accessRefused(const QString& device);

}  // namespace PortPermission

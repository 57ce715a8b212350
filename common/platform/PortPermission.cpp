#include "PortPermission.h"

// hintFor() and accessRefused() examine the device: they live with the
// system's port (linux/LinuxPort.cpp).

QString PortPermission::hint(const QString& device, const QString& group, const QString& user, bool groupMayUse) {
  if (!groupMayUse)
    return QStringLiteral("%1 belongs to group %2 and is not open to its members; the administrator must give it "
                          "to the serial-port group (usually dialout)")
        .arg(device, group);
  return QStringLiteral("%1 belongs to group %2; user %3 must be a member of it to use the port "
                        "(sudo usermod -aG %2 %3, then log in again)")
      .arg(device, group, user);
}

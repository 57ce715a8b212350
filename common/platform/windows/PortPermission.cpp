#include <platform/PortPermission.h>

// hint() is shared with Linux (PortPermission.cpp in the folder above).
//
// Windows keeps no group for its serial ports: every local account may open
// one, and a port held by another program is refused with "access denied"
// (the port reports that as in use). So there is never a refused device to
// explain, and no group to name.

QString PortPermission::hintFor(const QString&) { return {}; }

bool PortPermission::accessRefused(const QString&) { return false; }

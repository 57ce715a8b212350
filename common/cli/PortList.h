#pragma once

#include <QString>

namespace cli {

// --list-ports: COM1..COM16, the device each stands for (the "Ports" section
// of iniPath, else the default table) and whether it is present and free,
// busy, not accessible, or refused (bound to another adapter); under a present
// device, what the kernel knows of it and the "Adapters" line that binds it
// to its number. Then the serial devices no number reaches, each with the "Ports" line
// that would. Printed on standard output.
void listPorts(const QString& iniPath);

}  // namespace cli

#pragma once

#include <QString>

namespace cli {

// --list-ports: COM1..COM16, the device each stands for (the "Ports" section
// of iniPath, else the default table) and whether it is present and free,
// busy, or not accessible; under a present device, what the kernel knows of
// it. Then the serial devices no number reaches, each with the "Ports" line
// that would. Printed on standard output.
void listPorts(const QString& iniPath);

}  // namespace cli

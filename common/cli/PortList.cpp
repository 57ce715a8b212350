#include "PortList.h"

#include <SerialPortControl.h>

#include <cstdio>

namespace cli {

void listPorts(const QString& iniPath) {
  SerialPortControl probe;
  probe.setPortsIniPath(iniPath);
  for (int n = 1; n <= 16; ++n) {
    const QString device = SerialPortControl::deviceForPort(n, iniPath);
    probe.setCommPort(n);
    // Opening is the only sure test: a lock or exclusive use by another
    // program shows only then.
    QString state;
    switch (probe.setPortOpen(true)) {
      case 0: state = QStringLiteral("present, free"); break;
      case SerialPortControl::kErrNoSuchPort: state = QStringLiteral("not present"); break;
      case SerialPortControl::kErrPortInUse: state = QStringLiteral("present, busy (held by another process)"); break;
      default:
        state = QStringLiteral("present, not accessible (%1; is the user in the 'dialout' group?)")
                    .arg(probe.lastOpenErrorText());
        break;
    }
    probe.setPortOpen(false);
    std::printf("COM%-3d %-24s %s\n", n, qPrintable(device), qPrintable(state));
  }
  std::fflush(stdout);
}

}  // namespace cli

#include "PortList.h"
#include "Console.h"

#include <serial/AdapterIdentity.h>
#include <serial/SerialPortControl.h>

#include <QDir>

#include <platform/PortListing.h>

#include <cstdio>

namespace cli {

namespace {

constexpr const char* kIndent = "       ";  // under the device column

// number: the COM number the [Adapters] line would bind ("n" when none is free).
void printIdentity(const AdapterIdentity& id, const QString& number) {
  for (const QString& text : {id.summary(), id.byId, id.byPath})
    if (!text.isEmpty()) std::printf("%s%s\n", kIndent, qPrintable(text));
  if (!id.serial.isEmpty())
    std::printf("%s[Adapters] COM%s=%s\n", kIndent, qPrintable(number), qPrintable(id.serial));
}

}  // namespace

void listPorts(const QString& iniPath) {
  QStringList reached;
  QList<int> unused;
  const QStringList consoles = platform::consolePorts();
  for (int n = 1; n <= 16; ++n) {
    const QString device = SerialPortControl::deviceForPort(n, iniPath);
    const QString tty = AdapterIdentity::ttyName(device);
    if (!tty.isEmpty()) reached << tty;
    // An open would reset a serial console's line settings: look, don't touch.
    if (!tty.isEmpty() && consoles.contains(tty)) {
      std::printf("COM%-3d %-24s %s\n", n, qPrintable(device), "present, the system console (not opened)");
      printIdentity(AdapterIdentity::of(tty), QString::number(n));
      continue;
    }
    // Opening is the only sure test: a lock or exclusive use by another
    // program shows only then. The look ends with the probe, which releases
    // the device before the adapter's settings are read.
    int opened = 0;
    QString reason;
    bool otherAdapter = false;
    {
      SerialPortControl probe;
      probe.setMessageSink(Console::error);
      probe.setPortsIniPath(iniPath);
      probe.setCommPort(n);
      probe.setLookOnly(true);
      opened = probe.setPortOpen(true);
      reason = probe.lastOpenErrorText();
      otherAdapter = probe.adapterRefused();
    }
    QString state;
    switch (opened) {
      case 0: state = QStringLiteral("present, free"); break;
      case SerialPortControl::kErrNoSuchPort: state = QStringLiteral("not present"); break;
      case SerialPortControl::kErrPortInUse: state = QStringLiteral("present, busy (held by another process)"); break;
      default:
        if (otherAdapter) {
          state = QStringLiteral("refused: ") + reason;
          break;
        }
        // The group hint only where the system refused this user: a name
        // without a UART behind it (EIO) is not a question of groups.
        state = SerialPortControl::accessRefused(device)
                    ? QStringLiteral("present, not accessible (%1; is the user in the 'dialout' group?)").arg(reason)
                    : QStringLiteral("present, but no device answers behind this name (%1)").arg(reason);
        break;
    }
    std::printf("COM%-3d %-24s %s\n", n, qPrintable(device), qPrintable(state));
    if (opened == SerialPortControl::kErrNoSuchPort)
      unused << n;
    else
      printIdentity(AdapterIdentity::of(tty), QString::number(n));
  }

  bool headed = false;
  for (const QString& tty : AdapterIdentity::serialTtys()) {
    if (reached.contains(tty)) continue;
    if (!headed)
      std::printf("Serial devices no COM number reaches; to reach one, put its line under [Ports] in %s:\n",
                  qPrintable(QDir::toNativeSeparators(iniPath)));
    headed = true;
    AdapterIdentity id = AdapterIdentity::of(tty);
    // The by-id name survives moving the adapter to another socket.
    const QString node = platform::devicePathOf(tty);
    const QString number = unused.isEmpty() ? QStringLiteral("n") : QString::number(unused.takeFirst());
    std::printf("%s%-24s COM%s=%s\n", kIndent, qPrintable(node), qPrintable(number),
                qPrintable(id.byId.isEmpty() ? node : id.byId));
    id.byId.clear();  // shown in the line above
    printIdentity(id, number);
  }
  std::fflush(stdout);
}

}  // namespace cli

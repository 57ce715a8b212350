#include "AdapterIdentity.h"

QString AdapterIdentity::ttyName(const QString& device) { return platform::serialPortName(device); }

AdapterIdentity AdapterIdentity::of(const QString& ttyName) { return {platform::adapterOf(ttyName)}; }

QStringList AdapterIdentity::serialTtys() { return platform::serialPorts(); }

QString AdapterIdentity::summary() const {
  QStringList parts;
  if (!driver.isEmpty()) parts << QStringLiteral("driver ") + driver;
  if (!vendorId.isEmpty()) parts << QStringLiteral("USB %1:%2").arg(vendorId, productId);
  for (const QString& s : {manufacturer, product})
    if (!s.isEmpty()) parts << s;
  if (!serial.isEmpty()) parts << QStringLiteral("serial ") + serial;
  if (!latencyTimer.isEmpty()) parts << QStringLiteral("latency timer %1 ms").arg(latencyTimer);
  return parts.join(QStringLiteral(", "));
}

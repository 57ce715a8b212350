#pragma once

#include <QString>

// How a command-line run words its rate and the time left: one run's
// progress line and each slot's line of several read alike.
inline QString kiloBytesPerSecond(qint64 bytes, double seconds) {
  return QString::number(seconds > 0 ? bytes / seconds / 1000.0 : 0.0, 'f', 1) + QStringLiteral(" kB/s");
}

inline QString duration(double seconds) {
  const auto whole = static_cast<qint64>(seconds + 0.5);
  return whole < 60 ? QStringLiteral("%1 s").arg(whole)
                    : QStringLiteral("%1 min %2 s").arg(whole / 60).arg(whole % 60, 2, 10, QChar(u'0'));
}

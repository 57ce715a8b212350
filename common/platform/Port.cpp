#include "Port.h"

#include <QStringList>

std::optional<LineSettings> LineSettings::parse(const QString& text) {
  const QStringList parts = text.split(u',');
  if (parts.size() != 4) return std::nullopt;
  LineSettings s;

  bool ok = false;
  const qint64 baud = parts[0].trimmed().toLongLong(&ok);
  if (!ok || baud <= 0 || baud > kHighestBaud) return std::nullopt;
  s.baud = std::int32_t(baud);

  const QString parity = parts[1].trimmed().toUpper();
  if (parity == u"N") s.parity = Parity::None;
  else if (parity == u"E") s.parity = Parity::Even;
  else if (parity == u"O") s.parity = Parity::Odd;
  else if (parity == u"M") s.parity = Parity::Mark;
  else if (parity == u"S") s.parity = Parity::Space;
  else return std::nullopt;

  const int bits = parts[2].trimmed().toInt(&ok);
  if (!ok || bits < 5 || bits > 8) return std::nullopt;
  s.dataBits = bits;

  const QString stop = parts[3].trimmed();
  if (stop == u"1") s.stopBits = StopBits::One;
  else if (stop == u"1.5") s.stopBits = StopBits::OneAndHalf;
  else if (stop == u"2") s.stopBits = StopBits::Two;
  else return std::nullopt;
  return s;
}

std::chrono::nanoseconds LineSettings::byteTime() const {
  const int parityBits = parity == Parity::None ? 0 : 1;
  const int stop = stopBits == StopBits::One ? 1 : 2;
  const long long bits = 1 + dataBits + parityBits + stop;
  return std::chrono::nanoseconds{bits * 1'000'000'000LL / baud};
}

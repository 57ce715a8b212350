#include "StartupSettings.h"

#include <settings/LenientNumber.h>

#include <algorithm>

namespace StartupSettings {

std::int16_t lineDelayFromText(const QString& text) {
  const double value = LenientNumber::numericValue(text);
  const std::optional<std::int16_t> whole = LenientNumber::toWhole<std::int16_t>(value);
  if (!whole) return value > 0 ? kMaxLineDelay : kMinLineDelay;
  return std::max(*whole, kMinLineDelay);
}

std::uint8_t comPortFromText(const QString& text) {
  return LenientNumber::toWhole<std::uint8_t>(LenientNumber::numericValue(text)).value_or(0);
}

}  // namespace StartupSettings

#include "LineSpeed.h"

#include <array>

namespace {
constexpr std::array<int, LineSpeed::kCount> kBauds{9600, 57600, 115200};
}

std::optional<LineSpeed> LineSpeed::fromCode(int code) {
  if (code < 0 || code >= kCount) return std::nullopt;
  return LineSpeed(Code(code));
}

std::optional<LineSpeed> LineSpeed::fromText(const QString& text) {
  const QString trimmed = text.trimmed();
  for (int code = 0; code < kCount; ++code)
    if (trimmed == QString::number(kBauds[std::size_t(code)])) return LineSpeed(Code(code));
  return std::nullopt;
}

LineSpeed LineSpeed::fromStored(double value) {
  for (int code = 1; code < kCount; ++code)
    if (value == kBauds[std::size_t(code)]) return LineSpeed(Code(code));
  return LineSpeed();
}

int LineSpeed::baud() const { return kBauds[code_]; }
QString LineSpeed::text() const { return QString::number(baud()); }
QString LineSpeed::lineSettings() const { return text() + QStringLiteral(",N,8,1"); }

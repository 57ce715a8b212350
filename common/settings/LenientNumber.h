#pragma once

#include <QString>
#include <QStringView>

#include <cmath>
#include <concepts>
#include <limits>
#include <optional>
#include <type_traits>

// The lenient number reading used wherever a stored or typed text is taken
// "as a number": blanks, tabs and line feeds are skipped anywhere, reading
// stops at the first character that cannot belong to the number, "&H" and
// "&O" introduce hexadecimal and octal digits, a text without a number is 0.
namespace LenientNumber {

// The number at the start of text (see above). Never throws; a huge exponent
// gives an infinite value, which toWhole() then refuses.
double numericValue(QStringView text);

// True when the whole text, after surrounding blanks, is one number in the
// form that numericValue() reads. An empty text is not numeric.
bool isNumeric(QStringView text);

// Rounds to the nearest whole number, exact halves to the even one
// (0.5 -> 0, 1.5 -> 2, 2.5 -> 2).
double roundHalfEven(double value);

// value rounded half-to-even as T, or nothing when it does not fit T
// (or is not finite). Callers decide what an out-of-range value means.
template <std::integral T>
std::optional<T> toWhole(double value) {
  const double r = roundHalfEven(value);
  if (!std::isfinite(r)) return std::nullopt;
  // Bounds as powers of two are exact in a double even for 64-bit types
  // (T's maximum itself may round up to the first value that does not fit).
  const double limit = std::ldexp(1.0, std::numeric_limits<T>::digits);
  const double lowest = std::is_signed_v<T> ? -limit : 0.0;
  if (r < lowest || r >= limit) return std::nullopt;
  return static_cast<T>(r);
}

}  // namespace LenientNumber

#include "LenientNumber.h"

#include <QString>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace LenientNumber {
namespace {

bool isSkipped(QChar c) { return c == u' ' || c == u'\t' || c == u'\n'; }

int digitValue(QChar c, int radix) {
  const char16_t u = c.unicode();
  int v = -1;
  if (u >= u'0' && u <= u'9') v = u - u'0';
  else if (u >= u'a' && u <= u'f') v = u - u'a' + 10;
  else if (u >= u'A' && u <= u'F') v = u - u'A' + 10;
  return (v >= 0 && v < radix) ? v : -1;
}

// Parses the number at the start of s (already without skipped characters).
// Returns the value and how many characters belonged to it (0: no number).
struct Parsed {
  double value = 0;
  qsizetype used = 0;
};

Parsed parseRadix(QStringView s, int radix) {
  // s starts after "&H" or "&O".
  std::uint64_t v = 0;
  qsizetype i = 0;
  bool huge = false;
  double big = 0;
  for (; i < s.size(); ++i) {
    const int d = digitValue(s[i], radix);
    if (d < 0) break;
    big = big * radix + d;
    if (v > (UINT64_MAX - d) / std::uint64_t(radix)) huge = true;
    else v = v * radix + std::uint64_t(d);
  }
  if (i == 0) return {0, 0};
  double value;
  if (huge) value = big;
  else if (v <= 0xFFFFu) value = double(std::int16_t(std::uint16_t(v)));  // wraps like a 16-bit literal
  else if (v <= 0xFFFFFFFFu) value = double(std::int32_t(std::uint32_t(v)));
  else value = double(v);
  return {value, i + 2};
}

Parsed parseDecimal(QStringView s) {
  std::string text;
  qsizetype i = 0;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) text += char(s[i++].unicode());
  qsizetype digits = 0;
  while (i < s.size() && s[i].isDigit() && s[i].unicode() < 128) {
    text += char(s[i++].unicode());
    ++digits;
  }
  if (i < s.size() && s[i] == u'.') {
    text += '.';
    ++i;
    while (i < s.size() && s[i].unicode() < 128 && s[i].isDigit()) {
      text += char(s[i++].unicode());
      ++digits;
    }
  }
  if (digits == 0) return {0, 0};
  qsizetype used = i;
  if (i < s.size() && (s[i] == u'e' || s[i] == u'E' || s[i] == u'd' || s[i] == u'D')) {
    qsizetype j = i + 1;
    std::string exp = "e";
    if (j < s.size() && (s[j] == u'+' || s[j] == u'-')) exp += char(s[j++].unicode());
    qsizetype expDigits = 0;
    while (j < s.size() && s[j].unicode() < 128 && s[j].isDigit()) {
      exp += char(s[j++].unicode());
      ++expDigits;
    }
    if (expDigits > 0) {
      text += exp;
      used = j;
    }
  }
  return {std::strtod(text.c_str(), nullptr), used};
}

Parsed parseNumber(QStringView s) {
  if (s.size() >= 2 && s[0] == u'&') {
    if (s[1] == u'h' || s[1] == u'H') return parseRadix(s.mid(2), 16);
    if (s[1] == u'o' || s[1] == u'O') return parseRadix(s.mid(2), 8);
    return {0, 0};
  }
  return parseDecimal(s);
}

}  // namespace

double numericValue(QStringView text) {
  QString compact;
  compact.reserve(text.size());
  for (QChar c : text)
    if (!isSkipped(c)) compact += c;
  return parseNumber(compact).value;
}

bool isNumeric(QStringView text) {
  const QStringView t = text.trimmed();
  if (t.isEmpty()) return false;
  const Parsed p = parseNumber(t);
  return p.used > 0 && p.used == t.size();
}

double roundHalfEven(double value) {
  // nearbyint rounds in the current mode, which is to-nearest-even unless
  // someone changed it; make sure.
  const int old = std::fegetround();
  if (old != FE_TONEAREST) std::fesetround(FE_TONEAREST);
  const double r = std::nearbyint(value);
  if (old != FE_TONEAREST) std::fesetround(old);
  return r;
}

}  // namespace LenientNumber

// The lenient number reading and the hex conversions on random text: no
// undefined behaviour on any input, and the conversions agree with a
// reference written here.
#include <serial/HexText.h>
#include <settings/LenientNumber.h>

#include <cmath>
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
  for (const QString& text : {QString::fromUtf8(bytes), QString::fromLatin1(bytes)}) {
    const double value = LenientNumber::numericValue(text);
    check(!std::isnan(value), "reading gave NaN");
    // Every conversion the programs make from a read number.
    (void)LenientNumber::toWhole<std::uint8_t>(value);
    (void)LenientNumber::toWhole<std::int16_t>(value);
    (void)LenientNumber::toWhole<std::int32_t>(value);
    if (const auto whole = LenientNumber::toWhole<std::int64_t>(value))
      check(std::fabs(double(*whole) - value) <= 0.5, "rounded too far");
    if (text.size() >= 2) {
      const std::uint8_t b = HexText::ConvertHexStringToByte(QStringView(text).left(2));
      check(b == hexDigit(text[0].unicode()) * 16 + hexDigit(text[1].unicode()), "hex pair misread");
    }
  }
  const QString readable = HexText::HexStringToReadable(bytes);
  check(readable.size() == 3 * bytes.size(), "readable form has the wrong length");
  for (qsizetype i = 0; i < bytes.size(); ++i) {
    const QString pair = readable.mid(3 * i, 2);
    check(HexText::ConvertHexStringToByte(pair) == static_cast<std::uint8_t>(bytes[i]), "hex does not read back");
  }
  return 0;
}

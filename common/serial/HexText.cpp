#include "HexText.h"

namespace HexText {

QString myDecToChar(std::uint8_t myInputChar) {
  if (myInputChar <= 9) return QString(QChar(u'0' + myInputChar));
  if (myInputChar <= 15) return QString(QChar(u'A' + (myInputChar - 10)));
  return QStringLiteral(" ");
}

QString myDecToHexString(std::uint8_t myInputVal) {
  const std::uint8_t low = myInputVal & 0x0F;
  const std::uint8_t high = (myInputVal - low) / 16;
  return myDecToChar(high) + myDecToChar(low);
}

QString HexStringToReadable(const QByteArray& InputString) {
  QString out;
  out.reserve(InputString.size() * 3);
  for (char c : InputString) {
    out += myDecToHexString(static_cast<std::uint8_t>(c));
    out += u' ';
  }
  return out;
}

std::uint8_t HexDigitValue(QChar c) {
  const char16_t u = c.unicode();
  if (u >= u'0' && u <= u'9') return std::uint8_t(u - u'0');
  if (u >= u'a' && u <= u'f') return std::uint8_t(u - u'a' + 10);
  if (u >= u'A' && u <= u'F') return std::uint8_t(u - u'A' + 10);
  return 0;
}

std::uint8_t ConvertHexStringToByte(QStringView myInputStr) {
  if (myInputStr.size() != 2) return 0;
  return std::uint8_t(HexDigitValue(myInputStr[0]) * 16 + HexDigitValue(myInputStr[1]));
}

}  // namespace HexText

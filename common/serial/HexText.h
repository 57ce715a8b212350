#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

// Byte <-> hex text conversions used for every displayed and logged byte
// sequence and for the hex digit pairs of firmware files.
namespace HexText {

// Each byte as two upper-case hex digits followed by one blank.
QString HexStringToReadable(const QByteArray& InputString);
// Exactly two upper-case hex digits.
QString myDecToHexString(std::uint8_t myInputVal);
// The hex digit of 0..15, a blank for anything else.
QString myDecToChar(std::uint8_t myInputChar);
// Value of a two-character hex text; 0 for any other length. Non-hex digits count as 0.
std::uint8_t ConvertHexStringToByte(QStringView myInputStr);
// 0..15 for a hex digit (either case), 0 otherwise.
std::uint8_t HexDigitValue(QChar c);

}  // namespace HexText

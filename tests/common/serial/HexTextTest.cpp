#include <gtest/gtest.h>

#include "HexText.h"

namespace {

TEST(HexText, ByteToTwoUpperCaseDigits) {
  const struct {
    int value;
    const char* text;
  } cases[] = {{0, "00"}, {9, "09"}, {10, "0A"}, {15, "0F"}, {16, "10"}, {160, "A0"}, {171, "AB"}, {255, "FF"}};
  for (const auto& c : cases)
    EXPECT_EQ(HexText::myDecToHexString(std::uint8_t(c.value)), QLatin1String(c.text)) << c.value;
}

TEST(HexText, DigitOrBlank) {
  const struct {
    int value;
    const char* text;
  } cases[] = {{0, "0"}, {9, "9"}, {10, "A"}, {15, "F"}, {16, " "}, {255, " "}};
  for (const auto& c : cases) EXPECT_EQ(HexText::myDecToChar(std::uint8_t(c.value)), QLatin1String(c.text)) << c.value;
}

TEST(HexText, ReadableFormIsThreeCharactersPerByte) {
  EXPECT_EQ(HexText::HexStringToReadable(QByteArray()), QString());
  EXPECT_EQ(HexText::HexStringToReadable(QByteArray(1, '\0')), QStringLiteral("00 "));
  EXPECT_EQ(HexText::HexStringToReadable(QByteArray("\x02\xAA\x05", 3)), QStringLiteral("02 AA 05 "));
  EXPECT_EQ(HexText::HexStringToReadable(QByteArray("\xFF\x80\x7F", 3)), QStringLiteral("FF 80 7F "));
}

TEST(HexText, TwoDigitTextToByte) {
  const struct {
    const char* text;
    int value;
  } cases[] = {
      {"AB", 171}, {"ab", 171}, {"Ab", 171}, {"aB", 171}, {"0a", 10}, {"FF", 255}, {"00", 0},
      // Not hex digits count as 0; any other length gives 0.
      {"G7", 7}, {" F", 15}, {"ZZ", 0}, {"", 0}, {"A", 0}, {"7", 0}, {"ABC", 0}, {"7FF", 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(HexText::ConvertHexStringToByte(QString::fromLatin1(c.text)), c.value) << '"' << c.text << '"';
}

}  // namespace

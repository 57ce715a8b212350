#include <gtest/gtest.h>

#include "HexText.h"

namespace {

TEST(HexText, BytesToUpperCaseHexText) {
  const struct {
    int value;
    const char* hex;
    const char* digit;
  } cases[] = {{0, "00", "0"},   {9, "09", "9"},    {10, "0A", "A"},  {15, "0F", "F"},
               {16, "10", " "},  {160, "A0", " "},  {171, "AB", " "}, {255, "FF", " "}};
  for (const auto& c : cases) {
    EXPECT_EQ(HexText::myDecToHexString(std::uint8_t(c.value)), QLatin1String(c.hex)) << c.value;
    EXPECT_EQ(HexText::myDecToChar(std::uint8_t(c.value)), QLatin1String(c.digit)) << c.value;
  }
  EXPECT_EQ(HexText::HexStringToReadable(QByteArray()), QString());
  EXPECT_EQ(HexText::HexStringToReadable(QByteArray(1, '\0')), QStringLiteral("00 "));
  EXPECT_EQ(HexText::HexStringToReadable(QByteArray("\x02\xAA\x05\x80", 4)), QStringLiteral("02 AA 05 80 "));
}

TEST(HexText, TwoDigitTextToByte) {
  const struct {
    const char* text;
    int value;
  } cases[] = {
      {"AB", 171}, {"ab", 171}, {"Ab", 171}, {"aB", 171}, {"0a", 10}, {"FF", 255}, {"09", 9},
      // Not hex digits count as 0; any other length gives 0.
      {"G7", 7}, {" F", 15}, {"ZZ", 0}, {"", 0}, {"A", 0}, {"ABC", 0}, {"7FF", 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(HexText::ConvertHexStringToByte(QString::fromLatin1(c.text)), c.value) << '"' << c.text << '"';
}

}  // namespace

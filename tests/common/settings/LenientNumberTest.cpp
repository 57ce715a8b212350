#include <LenientNumber.h>

#include <gtest/gtest.h>

#include <limits>

using namespace LenientNumber;

// The value reads the number at the start; the numeric test wants the whole text.
TEST(LenientNumber, ValueAndNumericTest) {
  enum { No, Yes, Unchecked };
  const struct {
    const char16_t* text;
    double value;
    int numeric;
  } cases[] = {
      {u"1234", 1234, Yes},         {u" 1234 ", 1234, Yes},     {u"\t-12.5\t", -12.5, Yes}, {u"457.0", 457, Yes},
      {u"1e5", 1e5, Yes},           {u"1D5", 1e5, Yes},         {u"&HFF", 255, Yes},        {u"+.5", 0.5, Yes},
      {u"", 0, No},                 {u"   ", 0, No},            {u"abc", 0, No},            {u"12abc", 12, No},
      {u"1 2", 12, No},             {u".", 0, No},              {u"-", 0, No},              {u"1e", 1, No},
      {u"?", 0, No},                {u"&H", 0, No},             {u"1.2.3", 1.2, No},        {u" 2 45 7", 2457, No},
      {u"24 and 57", 24, No},       {u"-3.5", -3.5, Yes},       {u"+7", 7, Yes},            {u"- 5", -5, Unchecked},
      {u"--5", 0, No},              {u".5", 0.5, Yes},          {u"5.", 5, Unchecked},      {u"1.5E2", 150, Yes},
      {u"1D2", 100, Yes},           {u"2e-1", 0.2, Yes},        {u"1e+", 1, No},            {u"57600.0", 57600, Yes},
      {u"13\n", 13, Unchecked},     {u"\t1\n0", 10, Unchecked},  {u"\r", 0, Unchecked},      {u"\n", 0, Unchecked},
      {u"&HFFFF", -1, Yes},         {u"&hff", 255, Yes},        {u"&H8000", -32768, Yes},   {u"&H10000", 65536, Yes},
      {u"&HFFFFFFFF", -1, Yes},     {u"&O17", 15, Yes},         {u"&O", 0, No},             {u"&X1", 0, No},
      {u"&H1G", 1, No},
  };
  for (const auto& c : cases) {
    const QString text = QString::fromUtf16(c.text);
    EXPECT_DOUBLE_EQ(numericValue(text), c.value) << "text: \"" << text.toStdString() << '"';
    if (c.numeric != Unchecked) EXPECT_EQ(isNumeric(text), c.numeric == Yes) << "text: \"" << text.toStdString() << '"';
  }
}

TEST(LenientNumber, ConversionRoundsHalfToEvenAndReportsValuesThatDoNotFit) {
  EXPECT_EQ(toWhole<std::uint8_t>(255.4), std::optional<std::uint8_t>(255));
  EXPECT_FALSE(toWhole<std::uint8_t>(255.5).has_value());  // rounds to 256
  EXPECT_FALSE(toWhole<std::uint8_t>(256).has_value());
  EXPECT_FALSE(toWhole<std::uint8_t>(-1).has_value());
  EXPECT_EQ(toWhole<std::uint8_t>(-0.4), std::optional<std::uint8_t>(0));
  EXPECT_EQ(toWhole<std::int16_t>(-32768), std::optional<std::int16_t>(-32768));
  EXPECT_FALSE(toWhole<std::int16_t>(32767.5).has_value());
  // Halves go to the even number, below zero too; round, floor(x + 0.5) or trunc would not.
  EXPECT_EQ(toWhole<std::int32_t>(2.5), std::optional<std::int32_t>(2));
  EXPECT_EQ(toWhole<std::int32_t>(-1.5), std::optional<std::int32_t>(-2));
  EXPECT_FALSE(toWhole<std::int32_t>(std::numeric_limits<double>::quiet_NaN()).has_value());
  EXPECT_FALSE(toWhole<std::int64_t>(9.3e18).has_value());
  EXPECT_EQ(toWhole<std::int64_t>(-9.2e18), std::optional<std::int64_t>(-9200000000000000000LL));
  EXPECT_EQ(toWhole<std::int64_t>(-0x1p63), std::optional<std::int64_t>(INT64_MIN));
  EXPECT_FALSE(toWhole<std::int64_t>(0x1p63).has_value());  // one past the largest
  EXPECT_FALSE(toWhole<std::uint64_t>(0x1p64).has_value());
  EXPECT_FALSE(toWhole<std::int64_t>(numericValue(u"1e999")).has_value());  // infinite
}

#include <settings/LenientNumber.h>

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
      {u"\t-12.5\t", -12.5, Yes},   {u"+.5", 0.5, Yes},         {u"1D5", 1e5, Yes},         {u"1.5E2", 150, Yes},
      {u"2e-1", 0.2, Yes},          {u"   ", 0, No},            {u"12abc", 12, No},         {u".", 0, No},
      {u"-", 0, No},                {u"--5", 0, No},            {u"1.2.3", 1.2, No},        {u"1e+", 1, No},
      {u" 2 45 7", 2457, No},       {u"- 5", -5, Unchecked},    {u"\t1\n0", 10, Unchecked}, {u"&H", 0, No},
      {u"&HFFFF", -1, Yes},         {u"&hff", 255, Yes},        {u"&H8000", -32768, Yes},   {u"&H10000", 65536, Yes},
      {u"&HFFFFFFFF", -1, Yes},     {u"&O17", 15, Yes},         {u"&X1", 0, No},            {u"&H1G", 1, No},
  };
  for (const auto& c : cases) {
    const QString text = QString::fromUtf16(c.text);
    EXPECT_DOUBLE_EQ(numericValue(text), c.value) << "text: \"" << text.toStdString() << '"';
    EXPECT_TRUE(c.numeric == Unchecked || isNumeric(text) == (c.numeric == Yes)) << text.toStdString();
  }
}

TEST(LenientNumber, ConversionRoundsHalfToEvenAndReportsValuesThatDoNotFit) {
  EXPECT_EQ(toWhole<std::uint8_t>(255.4), std::optional<std::uint8_t>(255));
  EXPECT_FALSE(toWhole<std::uint8_t>(255.5).has_value());  // rounds to 256
  EXPECT_FALSE(toWhole<std::uint8_t>(-1).has_value());
  EXPECT_EQ(toWhole<std::uint8_t>(-0.4), std::optional<std::uint8_t>(0));
  // Halves go to the even number, below zero too; round, floor(x + 0.5) or trunc would not.
  EXPECT_EQ(toWhole<std::int32_t>(2.5), std::optional<std::int32_t>(2));
  EXPECT_EQ(toWhole<std::int32_t>(-1.5), std::optional<std::int32_t>(-2));
  EXPECT_FALSE(toWhole<std::int32_t>(std::numeric_limits<double>::quiet_NaN()).has_value());
  EXPECT_EQ(toWhole<std::int64_t>(-9.2e18), std::optional<std::int64_t>(-9200000000000000000LL));
  EXPECT_EQ(toWhole<std::int64_t>(-0x1p63), std::optional<std::int64_t>(INT64_MIN));
  EXPECT_FALSE(toWhole<std::int64_t>(0x1p63).has_value());  // one past the largest
  EXPECT_FALSE(toWhole<std::int64_t>(numericValue(u"1e999")).has_value());  // infinite
}

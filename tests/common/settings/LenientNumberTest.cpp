#include <LenientNumber.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace LenientNumber;

TEST(LenientNumber, ReadsTheNumberAtTheStart) {
  const struct {
    const char16_t* text;
    double value;
  } cases[] = {
      {u"1234", 1234},       {u" 2 45 7", 2457},    {u"24 and 57", 24},
      {u"12abc", 12},        {u"abc", 0},           {u"", 0},
      {u"-3.5", -3.5},       {u"+7", 7},            {u"- 5", -5},
      {u"--5", 0},           {u".5", 0.5},          {u"5.", 5},
      {u".", 0},             {u"1.5E2", 150},       {u"1D2", 100},
      {u"2e-1", 0.2},        {u"1e", 1},            {u"1e+", 1},
      {u"57600.0", 57600},   {u"1.2.3", 1.2},       {u"13\n", 13},
      {u"\t1\n0", 10},       {u"\r", 0},            {u"\n", 0},
      {u"&HFFFF", -1},       {u"&hff", 255},        {u"&H8000", -32768},
      {u"&H10000", 65536},   {u"&HFFFFFFFF", -1},   {u"&O17", 15},
      {u"&O", 0},            {u"&X1", 0},           {u"&H1G", 1},
  };
  for (const auto& c : cases) {
    const QString text = QString::fromUtf16(c.text);
    EXPECT_DOUBLE_EQ(numericValue(text), c.value) << "text: \"" << text.toStdString() << '"';
  }
}

TEST(LenientNumber, NumericTestWantsTheWholeText) {
  const struct {
    const char16_t* text;
    bool numeric;
  } cases[] = {
      {u"1234", true},   {u" 1234 ", true}, {u"\t-12.5\t", true}, {u"457.0", true},
      {u"1e5", true},    {u"1D5", true},    {u"&HFF", true},      {u"+.5", true},
      {u"", false},      {u"   ", false},   {u"abc", false},      {u"12abc", false},
      {u"1 2", false},   {u".", false},     {u"-", false},        {u"1e", false},
      {u"?", false},     {u"&H", false},    {u"1.2.3", false},
  };
  for (const auto& c : cases) {
    const QString text = QString::fromUtf16(c.text);
    EXPECT_EQ(isNumeric(text), c.numeric) << "text: \"" << text.toStdString() << '"';
  }
}

TEST(LenientNumber, WholeNumbersRoundHalfToEven) {
  const struct {
    double in;
    double out;
  } cases[] = {{0.5, 0}, {1.5, 2}, {2.5, 2}, {3.5, 4}, {-0.5, 0}, {-1.5, -2},
               {2.4999, 2}, {2.5001, 3}, {-2.6, -3}, {1e6, 1e6}};
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(roundHalfEven(c.in), c.out) << c.in;
}

TEST(LenientNumber, ConversionReportsValuesThatDoNotFit) {
  EXPECT_EQ(toWhole<std::uint8_t>(255.4), std::optional<std::uint8_t>(255));
  EXPECT_FALSE(toWhole<std::uint8_t>(255.5).has_value());  // rounds to 256
  EXPECT_FALSE(toWhole<std::uint8_t>(256).has_value());
  EXPECT_FALSE(toWhole<std::uint8_t>(-1).has_value());
  EXPECT_EQ(toWhole<std::uint8_t>(-0.4), std::optional<std::uint8_t>(0));
  EXPECT_EQ(toWhole<std::int16_t>(-32768), std::optional<std::int16_t>(-32768));
  EXPECT_FALSE(toWhole<std::int16_t>(32767.5).has_value());
  EXPECT_EQ(toWhole<std::int32_t>(2.5), std::optional<std::int32_t>(2));
  EXPECT_FALSE(toWhole<std::int32_t>(std::numeric_limits<double>::quiet_NaN()).has_value());
  EXPECT_FALSE(toWhole<std::int64_t>(9.3e18).has_value());
  EXPECT_EQ(toWhole<std::int64_t>(-9.2e18), std::optional<std::int64_t>(-9200000000000000000LL));
  EXPECT_EQ(toWhole<std::int64_t>(-0x1p63), std::optional<std::int64_t>(INT64_MIN));
  EXPECT_FALSE(toWhole<std::int64_t>(0x1p63).has_value());  // one past the largest
  EXPECT_FALSE(toWhole<std::uint64_t>(0x1p64).has_value());
  EXPECT_FALSE(toWhole<std::int64_t>(numericValue(u"1e999")).has_value());  // infinite
}

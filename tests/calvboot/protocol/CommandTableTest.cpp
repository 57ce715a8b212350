#include <RSfunctions.h>

#include <gtest/gtest.h>

#include <vector>

using RSfunctions::CommandTable;

namespace {

struct Expected {
  int index, code, length;
  const char* flags;
};

std::string flagsOf(const CommandDef& d) {
  std::string s;
  for (const std::int16_t f : {d.Flag1, d.Flag2, d.Flag3, d.Flag4}) s += f == -1 ? 'T' : f == 0 ? 'F' : '?';
  return s;
}

}  // namespace

TEST(CommandTable, HoldsTheCatalogueValues) {
  RSfunctions::InitCommandTable();
  // First and last index of every multi-index row, and the entries that are sent.
  const std::vector<Expected> expected = {
      {0, 0, 0, "FFFF"},     {1, 1, 5, "TTTT"},     {2, 16, 5, "TFFT"},     {9, 23, 5, "TFFT"},
      {10, 25, 5, "TFFT"},   {11, 26, 5, "TFFT"},   {13, 28, 7, "TFFT"},    {16, 32, 6, "TFFT"},
      {23, 39, 5, "TFFT"},   {24, 48, 12, "TFFT"},  {32, 56, 11, "TFFT"},   {34, 60, 27, "TTTF"},
      {40, 66, 5, "FTTT"},   {48, 74, 5, "FTTF"},   {50, 91, 8, "FTTF"},    {52, 102, 8, "FTTF"},
      {55, 114, 6, "TTTF"},  {58, 117, 6, "FTTT"},  {61, 120, 6, "FTTF"},   {64, 123, 7, "FTTT"},
      {66, 133, 7, "TTTT"},  {69, 196, 5, "FTFF"},  {74, 202, 5, "FFFT"},   {81, 209, 22, "TFTF"},
      {83, 211, 21, "TTFF"}, {86, 241, 6, "TTFF"},  {87, 242, 8, "FTTT"},   {90, 245, 32, "TTTT"},
      {91, 247, 6, "FTFF"},  {92, 248, 32, "FTFF"},
  };
  for (const Expected& e : expected) {
    const CommandDef& d = CommandTable[e.index];
    EXPECT_EQ(d.Code, e.code) << "index " << e.index;
    EXPECT_EQ(d.Length, e.length) << "index " << e.index;
    EXPECT_EQ(flagsOf(d), e.flags) << "index " << e.index;
  }
  // Every slot 1..92 filled, no frame shorter than 5, command bytes rising
  // with the index (which catches a row shifted by one).
  for (int i = 1; i < RSfunctions::kCommandCount; ++i) {
    EXPECT_GE(CommandTable[i].Length, 5) << i;
    EXPECT_GT(CommandTable[i].Code, CommandTable[i - 1].Code) << i;
  }
}

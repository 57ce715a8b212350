#include "RSfunctions.h"

#include <initializer_list>

namespace RSfunctions {

std::array<CommandDef, kCommandCount> CommandTable{};

namespace {

// One row of the catalogue: consecutive indexes from `first` on that share the
// frame length and the four attributes, with their command bytes in index order.
struct Row {
  int first;
  std::initializer_list<std::uint8_t> codes;
  std::uint8_t length;
  const char* flags;  // 'T' or 'F' for Flag1..Flag4
};

constexpr std::int16_t kTrue = -1;
constexpr std::int16_t kFalse = 0;

std::int16_t flag(char c) { return c == 'T' ? kTrue : kFalse; }

}  // namespace

void InitCommandTable() {
  static const Row rows[] = {
      {1, {1}, 5, "TTTT"},
      {2, {16, 17, 18, 19, 20, 21, 22, 23, 25, 26}, 5, "TFFT"},
      {12, {27, 28}, 7, "TFFT"},
      {14, {29}, 5, "FFFT"},
      {15, {30, 32}, 6, "TFFT"},
      {17, {33, 34, 35, 36, 37, 38, 39}, 5, "TFFT"},
      {24, {48}, 12, "TFFT"},
      {25, {49, 50, 51, 52, 53, 54, 55, 56}, 11, "TFFT"},
      {33, {57}, 6, "TFFT"},
      {34, {60}, 27, "TTTF"},
      {35, {61}, 28, "TTTF"},
      {36, {62}, 6, "TTTF"},
      {37, {63}, 9, "TTTF"},
      {38, {64}, 6, "TTTT"},
      {39, {65}, 13, "TTTF"},
      {40, {66}, 5, "FTTT"},
      {41, {67}, 7, "TTTT"},
      {42, {68}, 5, "FTTT"},
      {43, {69}, 11, "TTTF"},
      {44, {70}, 12, "TTTF"},
      {45, {71}, 19, "TTTF"},
      {46, {72}, 20, "TTTF"},
      {47, {73}, 5, "TTTT"},
      {48, {74}, 5, "FTTF"},
      {49, {75}, 6, "TTTF"},
      {50, {91, 100, 102}, 8, "FTTF"},
      {53, {112}, 7, "TTTT"},
      {54, {113, 114}, 6, "TTTF"},
      {56, {115}, 7, "FTTT"},
      {57, {116, 117}, 6, "FTTT"},
      {59, {118}, 6, "TTTF"},
      {60, {119, 120}, 6, "FTTF"},
      {62, {121}, 6, "FTTT"},
      {63, {122, 123}, 7, "FTTT"},
      {65, {132, 133}, 7, "TTTT"},
      {67, {135}, 6, "TTTF"},
      {68, {136}, 7, "TTTT"},
      {69, {196}, 5, "FTFF"},
      {70, {197}, 5, "FTTT"},
      {71, {198}, 25, "TTTT"},
      {72, {200}, 5, "FTTT"},
      {73, {201}, 24, "TTTT"},
      {74, {202}, 5, "FFFT"},
      {75, {203}, 26, "TFFT"},
      {76, {204}, 5, "FFFT"},
      {77, {205}, 22, "TFFT"},
      {78, {206}, 5, "FFTF"},
      {79, {207}, 26, "TFTF"},
      {80, {208}, 5, "FFTF"},
      {81, {209}, 22, "TFTF"},
      {82, {210}, 5, "FTFF"},
      {83, {211}, 21, "TTFF"},
      {84, {212}, 5, "FTFF"},
      {85, {213, 241}, 6, "TTFF"},
      {87, {242}, 8, "FTTT"},
      {88, {243}, 11, "TTTT"},
      {89, {244}, 9, "FTTT"},
      {90, {245}, 32, "TTTT"},
      {91, {247}, 6, "FTFF"},
      {92, {248}, 32, "FTFF"},
  };

  for (const Row& row : rows) {
    int index = row.first;
    for (const std::uint8_t code : row.codes) {
      CommandDef& def = CommandTable[static_cast<std::size_t>(index++)];
      def.Code = code;
      def.Length = row.length;
      def.Flag1 = flag(row.flags[0]);
      def.Flag2 = flag(row.flags[1]);
      def.Flag3 = flag(row.flags[2]);
      def.Flag4 = flag(row.flags[3]);
    }
  }
}

}  // namespace RSfunctions

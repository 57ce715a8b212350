#pragma once

#include <array>
#include <cstdint>

// The product family's command catalogue: frame byte and frame length of
// every internal command number 1..92 (slot 0 stays all zero).
struct CommandDef {
  std::uint8_t Code = 0;
  std::uint8_t Length = 0;
  // 16-bit Booleans as stored: True = -1, False = 0. Nothing reads them.
  std::int16_t Flag1 = 0;
  std::int16_t Flag2 = 0;
  std::int16_t Flag3 = 0;
  std::int16_t Flag4 = 0;
};

namespace RSfunctions {

inline constexpr int kCommandCount = 93;
inline constexpr std::uint8_t kCmdBootMode = 91;  // frame command 0xF7
inline constexpr std::uint8_t kCmdCarrier = 92;   // frame command 0xF8, carries an SFO message

extern std::array<CommandDef, kCommandCount> CommandTable;

// Fills CommandTable; calling it again writes the same values.
void InitCommandTable();

}  // namespace RSfunctions

#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Motorola S-record lines as a boot loader sees them: "S", a type digit, a
// byte count, the address, the data and a checksum byte, all in hex.
namespace SRecord {

enum class Verdict { Valid, BadChecksum, Malformed };

struct Parsed {
  Verdict verdict = Verdict::Malformed;
  char type = 0;                  // '0'..'9'
  std::uint32_t address = 0;
  std::vector<std::uint8_t> data;
};

// Bytes of the address field for a record type (2, 3 or 4); 0 for a type
// that carries none we know.
int addressLength(char type);

// True for the end records S7, S8 and S9.
bool isEndRecord(char type);

// The record checksum: ones' complement of the low byte of the sum of the
// count, address and data bytes.
std::uint8_t checksum(std::span<const std::uint8_t> countAddressData);

// Takes one line apart (without its line end). Upper- and lower-case hex are
// both read; the count must match the line's length.
Parsed parse(std::string_view line);

// One record in upper-case hex with its correct checksum.
std::string make(char type, std::uint32_t address, std::span<const std::uint8_t> data);

}  // namespace SRecord

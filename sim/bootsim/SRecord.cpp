#include "SRecord.h"

namespace SRecord {

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void appendHex(std::string& out, std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0x0F];
}

}  // namespace

int addressLength(char type) {
  switch (type) {
    case '0': case '1': case '5': case '9': return 2;
    case '2': case '6': case '8': return 3;
    case '3': case '7': return 4;
    default: return 0;
  }
}

bool isEndRecord(char type) { return type == '7' || type == '8' || type == '9'; }

std::uint8_t checksum(std::span<const std::uint8_t> countAddressData) {
  unsigned sum = 0;
  for (std::uint8_t b : countAddressData) sum += b;
  return static_cast<std::uint8_t>(~sum & 0xFF);
}

Parsed parse(std::string_view line) {
  Parsed result;
  if (line.size() < 4 || line[0] != 'S') return result;
  const char type = line[1];
  const int addrLen = addressLength(type);
  if (addrLen == 0 || (line.size() - 2) % 2 != 0) return result;

  std::vector<std::uint8_t> bytes;  // count, address, data, checksum
  for (std::size_t i = 2; i < line.size(); i += 2) {
    const int hi = hexDigit(line[i]);
    const int lo = hexDigit(line[i + 1]);
    if (hi < 0 || lo < 0) return result;
    bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  const std::size_t count = bytes[0];
  if (count != bytes.size() - 1 || count < static_cast<std::size_t>(addrLen) + 1) return result;

  result.type = type;
  for (int i = 0; i < addrLen; ++i) result.address = (result.address << 8) | bytes[1 + i];
  result.data.assign(bytes.begin() + 1 + addrLen, bytes.end() - 1);
  const std::uint8_t expected = checksum(std::span(bytes).first(bytes.size() - 1));
  result.verdict = expected == bytes.back() ? Verdict::Valid : Verdict::BadChecksum;
  return result;
}

std::string make(char type, std::uint32_t address, std::span<const std::uint8_t> data) {
  const int addrLen = addressLength(type);
  std::vector<std::uint8_t> bytes;
  bytes.push_back(static_cast<std::uint8_t>(addrLen + data.size() + 1));
  for (int i = addrLen - 1; i >= 0; --i) bytes.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
  bytes.insert(bytes.end(), data.begin(), data.end());
  bytes.push_back(checksum(bytes));

  std::string out = {'S', type};
  for (std::uint8_t b : bytes) appendHex(out, b);
  return out;
}

}  // namespace SRecord

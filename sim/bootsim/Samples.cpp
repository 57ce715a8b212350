#include "Samples.h"

#include <array>
#include <cstdint>
#include <fstream>
#include <vector>

#include "SRecord.h"

namespace {

struct Sample {
  const char* fileName;
  const char* header;  // the product's header line, exactly as its files carry it
};

constexpr std::array<Sample, 6> kSamples{{
    {"plxa4880.s19", "S00C0000504C58413438383000EA"},
    {"zentra-mk7.s19", "S00B00005A454E5452413700E9"},
    {"kva5100.s19", "S00B00004B564135313030004C"},
    {"dv-9.s19", "S008000044562D3900F7"},
    {"kva5100-plus.s19", "S00C00004B5641353130305200FA"},
    {"dvpro.s19", "S0090000445650524F006B"},
}};

constexpr int kDataRecords = 8;
constexpr int kBytesPerRecord = 16;
constexpr std::uint32_t kLoadAddress = 0x1000;

// Firmware-looking bytes that differ per product and never change between runs.
std::vector<std::string> recordsFor(std::uint32_t seed) {
  std::vector<std::string> lines;
  std::uint32_t state = seed * 2654435761u + 12345u;
  for (int r = 0; r < kDataRecords; ++r) {
    std::vector<std::uint8_t> data(kBytesPerRecord);
    for (auto& b : data) {
      state = state * 1103515245u + 12345u;
      b = static_cast<std::uint8_t>(state >> 16);
    }
    lines.push_back(SRecord::make('1', kLoadAddress + r * kBytesPerRecord, data));
  }
  lines.push_back(SRecord::make('9', kLoadAddress, {}));
  return lines;
}

bool writeFile(const std::string& path, const std::string& header,
               const std::vector<std::string>& records, std::string& error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << header << "\r\n";
  for (const std::string& line : records) out << line << "\r\n";
  out.close();
  if (!out) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace

bool writeSampleFiles(const std::string& dir, std::string& error) {
  std::uint32_t seed = 1;
  for (const Sample& s : kSamples) {
    if (!writeFile(dir + "/" + s.fileName, s.header, recordsFor(seed++), error)) return false;
  }
  // A DV-9 file whose fourth line lost a bit on the way: its checksum no
  // longer fits, so the boot loader refuses it while the uploader accepts it.
  std::vector<std::string> damaged = recordsFor(4);
  std::string& line = damaged[2];
  line[12] = line[12] == '0' ? '1' : '0';
  return writeFile(dir + "/dv-9-damaged.s19", kSamples[3].header, damaged, error);
}

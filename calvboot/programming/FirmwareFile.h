#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

// One record of a .ldr file (Intel HEX style), fields by character position
// counted from 1. Characters past the end of the line read as 0, the way the
// hex conversion reads a short digit pair.
struct LdrRecord {
  static constexpr std::uint8_t kData = 0;
  static constexpr std::uint8_t kEndOfFile = 1;
  static constexpr std::uint8_t kExtendedLinearAddress = 4;

  QByteArray line;
  std::uint8_t count = 0;
  std::uint8_t addressHigh = 0;
  std::uint8_t addressLow = 0;
  std::uint8_t type = 0;

  static LdrRecord parse(const QByteArray& line);
  int address() const { return addressHigh * 256 + addressLow; }
  // Data byte i (from 0): characters 10+2i and 11+2i.
  std::uint8_t dataByte(int i) const;
  // Records that are sent to the module (data and end of file).
  bool carriesData() const { return type == kData || type == kEndOfFile; }
  // Such a record fits one memory write and the 64 KiB block.
  bool fitsBlock() const;
};

namespace FirmwareFile {

// Most data bytes one memory write takes.
inline constexpr int kMaxRecordBytes = 32;
inline constexpr int kBlockSize = 65536;
// Lines this short are not records and are skipped wherever the file is read.
inline constexpr int kShortestRecordLine = 6;

// The byte whose two hex digits start at character position (from 1).
std::uint8_t byteAt(const QByteArray& line, int position);

// True when the record's Intel HEX checksum is right.
bool CheckLineChecksum(const QByteArray& line);

struct CheckResult {
  bool passed = false;
  double totalBytes = 0;
  double firstAddress = 0;
  double lastAddress = 0;
  std::uint8_t firstBlock = 255;
  std::uint8_t lastBlock = 255;
  // The block and data records as checked, in file order: the programming
  // pass sends these, never a second reading of a file that may have changed.
  std::vector<LdrRecord> records;
};

using TextSink = std::function<void(const QString&)>;

// The check pass over the whole file. detail receives the intermediate texts
// (shown only in test-file mode), status the status line texts.
CheckResult CheckFirmwareFile(const QString& path, const TextSink& detail, const TextSink& status);

// "Number of bytes: ... First Adr.: 0x.... in Flash block: 0x..  Last Adr.: ..."
QString summaryLine(const CheckResult& result);

}  // namespace FirmwareFile

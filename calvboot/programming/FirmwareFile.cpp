#include "FirmwareFile.h"

#include <QFileInfo>

#include <serial/HexText.h>
#include <text/LineReader.h>

LdrRecord LdrRecord::parse(const QByteArray& line) {
  LdrRecord r;
  r.line = line;
  r.count = FirmwareFile::byteAt(line, 2);
  r.addressHigh = FirmwareFile::byteAt(line, 4);
  r.addressLow = FirmwareFile::byteAt(line, 6);
  r.type = FirmwareFile::byteAt(line, 8);
  return r;
}

std::uint8_t LdrRecord::dataByte(int i) const { return FirmwareFile::byteAt(line, 10 + 2 * i); }

bool LdrRecord::fitsBlock() const {
  return count <= FirmwareFile::kMaxRecordBytes && address() + count <= FirmwareFile::kBlockSize;
}

namespace FirmwareFile {

std::uint8_t byteAt(const QByteArray& line, int position) {
  // Past the end the pair is short or empty, which the conversion reads as 0.
  // Read in place: a file of six blocks has half a million pairs.
  const qsizetype at = position - 1;
  if (at < 0 || at + 2 > line.size()) return 0;
  return std::uint8_t(HexText::HexDigitValue(QLatin1Char(line[at])) * 16 +
                      HexText::HexDigitValue(QLatin1Char(line[at + 1])));
}

bool CheckLineChecksum(const QByteArray& line) {
  const int n = byteAt(line, 2) + 4;
  const int expected = byteAt(line, 2 * n + 2);
  int sum = 0;
  for (int i = 1; i <= n; ++i) sum += byteAt(line, 2 * i);
  return (256 - (sum % 256)) % 256 == expected;
}

CheckResult CheckFirmwareFile(const QString& path, const TextSink& detail, const TextSink& status) {
  CheckResult r;
  detail(QStringLiteral("Checking file"));
  status(QStringLiteral("Checking file..."));
  const QFileInfo info(path);
  if (path.isEmpty() || !info.isFile()) {
    detail(QStringLiteral("File not found"));
    status(QStringLiteral("Fault"));
    return r;
  }
  detail(QStringLiteral("File found     "));
  status(QStringLiteral("File found"));

  LineReader file(LineEnd::Lf);
  if (!file.open(path)) {
    detail(QStringLiteral("File cannot be read"));
    status(QStringLiteral("Fault"));
    return r;
  }
  while (!file.atEnd()) {
    const QByteArray line = file.readLine().value_or(QByteArray());
    if (line.size() < kShortestRecordLine) continue;
    const LdrRecord rec = LdrRecord::parse(line);
    if (!CheckLineChecksum(line)) {
      detail(QStringLiteral("Checksum fault in file"));
      status(QStringLiteral("Fault"));
      return r;
    }
    // A record that one memory write cannot take, or that runs past its
    // block, could not be sent or held: refuse the file before anything is sent.
    if (rec.carriesData() && !rec.fitsBlock()) {
      detail(QStringLiteral("Record out of range in file"));
      status(QStringLiteral("Fault"));
      return r;
    }
    if (r.totalBytes == 0) r.firstAddress = rec.address();
    if (rec.count > 0) r.lastAddress = rec.address() + rec.count;
    if (rec.carriesData()) r.totalBytes += rec.count;
    if (rec.type == LdrRecord::kExtendedLinearAddress || rec.carriesData()) r.records.push_back(rec);
    if (rec.type == LdrRecord::kExtendedLinearAddress) {
      const std::uint8_t block = rec.dataByte(1);
      if (r.firstBlock == 255 && r.lastBlock == 255) r.firstBlock = block;
      r.lastBlock = block;
    }
  }
  if (file.failed()) {
    detail(QStringLiteral("File cannot be read"));
    status(QStringLiteral("Fault"));
    return r;
  }
  r.passed = true;
  detail(QStringLiteral("Check sum ok"));
  detail(summaryLine(r));
  detail(QString());
  status(QStringLiteral("File ok"));
  return r;
}

namespace {
QString addressHex(double address) {
  const auto a = static_cast<std::int64_t>(address);
  return HexText::myDecToHexString(static_cast<std::uint8_t>((a / 256) % 256)) +
         HexText::myDecToHexString(static_cast<std::uint8_t>(a % 256));
}
}  // namespace

QString summaryLine(const CheckResult& r) {
  return QStringLiteral("Number of bytes: ") + QString::number(static_cast<std::int64_t>(r.totalBytes)) +
         QStringLiteral("      First Adr.: 0x") + addressHex(r.firstAddress) +
         QStringLiteral(" in Flash block: 0x") + HexText::myDecToHexString(r.firstBlock) +
         QStringLiteral("      Last Adr.: 0x") + addressHex(r.lastAddress) +
         QStringLiteral(" in Flash block: 0x") + HexText::myDecToHexString(r.lastBlock);
}

}  // namespace FirmwareFile

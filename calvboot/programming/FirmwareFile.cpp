#include "FirmwareFile.h"

#include <QFileInfo>

#include <HexText.h>

namespace {
constexpr qint64 kChunk = 64 * 1024;
}

StreamLineReader::StreamLineReader(const QString& path) : file_(path) {}

bool StreamLineReader::open() {
  // Binary: the line rules are applied here, not by a text codec.
  if (!file_.open(QIODevice::ReadOnly)) {
    failed_ = true;
    eof_ = true;
    return false;
  }
  return true;
}

bool StreamLineReader::fill() {
  if (eof_) return false;
  QByteArray chunk(kChunk, Qt::Uninitialized);
  const qint64 n = file_.read(chunk.data(), kChunk);
  if (n < 0) {
    failed_ = true;
    eof_ = true;
    return false;
  }
  if (n == 0) {
    eof_ = true;
    return false;
  }
  buffer_.remove(0, pos_);
  pos_ = 0;
  buffer_.append(chunk.constData(), n);
  return true;
}

bool StreamLineReader::AtEndOfStream() {
  if (pos_ < buffer_.size()) return false;
  return !fill();
}

QByteArray StreamLineReader::ReadLine() {
  for (;;) {
    const qsizetype lf = buffer_.indexOf('\n', pos_);
    if (lf >= 0) {
      qsizetype end = lf;
      if (end > pos_ && buffer_.at(end - 1) == '\r') --end;
      QByteArray line = buffer_.mid(pos_, end - pos_);
      pos_ = lf + 1;
      return line;
    }
    if (!fill()) {
      // Last line without a line end.
      QByteArray line = buffer_.mid(pos_);
      pos_ = buffer_.size();
      return line;
    }
  }
}

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

  StreamLineReader file(path);
  if (!file.open()) {
    detail(QStringLiteral("File cannot be read"));
    status(QStringLiteral("Fault"));
    return r;
  }
  while (!file.AtEndOfStream()) {
    const QByteArray line = file.ReadLine();
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

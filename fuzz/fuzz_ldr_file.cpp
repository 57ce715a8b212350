// The .ldr file check on whole random files: it must pass exactly when every
// record line has a right checksum and fits one memory write and its block,
// counting the bytes as a reference reading written here does.
#include <programming/FirmwareFile.h>

#include "FuzzSupport.h"

namespace {

// The byte whose digits start at character position (from 1); a short pair
// counts as 0.
int byteAt(const QByteArray& line, int position) {
  if (position + 1 > line.size()) return 0;
  return hexDigit(line[position - 1]) * 16 + hexDigit(line[position]);
}

// Lines end at LF; a CR right before it is dropped.
QList<QByteArray> linesOf(const QByteArray& data) {
  QList<QByteArray> lines = data.split('\n');
  const bool lastEnded = lines.last().isEmpty();  // ended with LF, or no data
  if (lastEnded) lines.removeLast();
  for (qsizetype i = 0; i < lines.size(); ++i)
    if ((lastEnded || i + 1 < lines.size()) && lines[i].endsWith('\r')) lines[i].chop(1);
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QString path = inputFile("fuzz.ldr", data, size);
  const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
  bool good = true;
  double total = 0;
  for (const QByteArray& line : linesOf(bytes)) {
    if (line.size() < FirmwareFile::kShortestRecordLine) continue;
    const int count = byteAt(line, 2), type = byteAt(line, 8);
    int sum = 0;
    for (int i = 1; i <= count + 4; ++i) sum += byteAt(line, 2 * i);
    const bool sumRight = (256 - sum % 256) % 256 == byteAt(line, 2 * (count + 4) + 2);
    check(FirmwareFile::CheckLineChecksum(line) == sumRight, "line checksum disagrees");
    const bool fits = count <= 32 && byteAt(line, 4) * 256 + byteAt(line, 6) + count <= 65536;
    if (!sumRight || ((type == 0 || type == 1) && !fits)) {
      good = false;
      break;
    }
    if (type == 0 || type == 1) total += count;
  }
  const auto ignore = [](const QString&) {};
  const FirmwareFile::CheckResult r = FirmwareFile::CheckFirmwareFile(path, ignore, ignore);
  check(r.passed == good, "check passed a bad file or failed a good one");
  if (good) check(r.totalBytes == total, "wrong byte total");
  return 0;
}

// ldrtool: makes the sample .ldr firmware files and compares a flash dump of
// the simulated amplifier with a .ldr file.
//
//   ldrtool samples DIR          write DIR/calv-small.ldr and DIR/calv-two-block.ldr
//   ldrtool compare DUMP FILE    DUMP = flash blocks 0,1,2,3,4,5,42, 64 KiB each,
//                                as the simulator writes it; exit 0 when equal
//
// Bytes 0 and 1 of block 42 are where the module stores its flash CRC (low
// byte first); unless the file itself puts data there, they may be erased or
// hold the CRC-16/ARC of blocks 0 to 5.
//
// Deliberately independent of the programs' own file reader, so that a fault
// there does not hide itself in the comparison.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

constexpr int kBlockSize = 65536;
constexpr std::array<int, 7> kDumpBlocks{0, 1, 2, 3, 4, 5, 42};

QByteArray hexByte(int value) { return QByteArray::number(value & 0xFF, 16).toUpper().rightJustified(2, '0'); }

// One Intel HEX record with its checksum, ended by CR LF.
QByteArray record(int type, int address, const QByteArray& data) {
  QByteArray line = ":" + hexByte(int(data.size())) + hexByte(address >> 8) + hexByte(address) + hexByte(type);
  int sum = int(data.size()) + (address >> 8) + (address & 0xFF) + type;
  for (char c : data) {
    line += hexByte(std::uint8_t(c));
    sum += std::uint8_t(c);
  }
  line += hexByte((256 - sum % 256) % 256);
  return line + "\r\n";
}

QByteArray blockRecord(int block) { return record(4, 0, QByteArray("\x00", 1) + char(block)); }

// Deterministic firmware-looking bytes.
class Filler {
 public:
  explicit Filler(std::uint32_t seed) : state_(seed) {}
  QByteArray next(int n) {
    QByteArray out;
    for (int i = 0; i < n; ++i) {
      state_ = state_ * 1664525u + 1013904223u;
      out += char(state_ >> 24);
    }
    return out;
  }

 private:
  std::uint32_t state_;
};

// Records of `size` bytes covering [from, from + length) of the current block.
QByteArray dataRecords(Filler& filler, int from, int length, int size) {
  QByteArray out;
  for (int a = from; a < from + length; a += size) out += record(0, a, filler.next(std::min(size, from + length - a)));
  return out;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
    std::fprintf(stderr, "ldrtool: cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

int makeSamples(const QString& dir) {
  if (!QDir().mkpath(dir)) {
    std::fprintf(stderr, "ldrtool: cannot create %s\n", qPrintable(dir));
    return 2;
  }
  // One block: 512 bytes at 0x0000.
  Filler small(0x5EED0001u);
  const QByteArray one = blockRecord(0) + dataRecords(small, 0x0000, 512, 32) + record(1, 0, {});

  // Two blocks: 4 KiB at 0x0000 and 16 bytes at 0x8000 in block 0, then
  // 2,068 bytes at 0x0000 in block 1 (the last record is short).
  Filler two(0x5EED0002u);
  const QByteArray both = blockRecord(0) + dataRecords(two, 0x0000, 4096, 32) + dataRecords(two, 0x8000, 16, 16) +
                          blockRecord(1) + dataRecords(two, 0x0000, 2068, 32) + record(1, 0, {});

  if (!writeFile(dir + "/calv-small.ldr", one) || !writeFile(dir + "/calv-two-block.ldr", both)) return 2;
  std::printf("ldrtool: wrote %s/calv-small.ldr and %s/calv-two-block.ldr\n", qPrintable(dir), qPrintable(dir));
  return 0;
}

std::uint16_t crc16Arc(const char* data, qsizetype size) {
  std::uint16_t crc = 0;
  for (qsizetype i = 0; i < size; ++i) {
    crc ^= std::uint8_t(data[i]);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

int hexValue(const QByteArray& line, int index) {
  bool ok = false;
  const int v = line.mid(index, 2).toInt(&ok, 16);
  return ok && line.mid(index, 2).size() == 2 ? v : -1;
}

std::optional<int> slotOf(int block) {
  for (std::size_t i = 0; i < kDumpBlocks.size(); ++i)
    if (kDumpBlocks[i] == block) return int(i);
  return std::nullopt;
}

int compare(const QString& dumpPath, const QString& ldrPath) {
  QFile dumpFile(dumpPath);
  if (!dumpFile.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "ldrtool: cannot read %s\n", qPrintable(dumpPath));
    return 2;
  }
  const QByteArray dump = dumpFile.readAll();
  if (dump.size() != qsizetype(kDumpBlocks.size()) * kBlockSize) {
    std::printf("ldrtool: flash dump %s has %lld bytes, expected %d\n", qPrintable(dumpPath),
                static_cast<long long>(dump.size()), int(kDumpBlocks.size()) * kBlockSize);
    return 1;
  }
  QFile ldr(ldrPath);
  if (!ldr.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "ldrtool: cannot read %s\n", qPrintable(ldrPath));
    return 2;
  }
  QByteArray expected(dump.size(), char(0xFF));
  std::vector<bool> used(kDumpBlocks.size(), false);
  int block = 0;
  long dataBytes = 0;
  int lineNo = 0;
  for (QByteArray line : ldr.readAll().split('\n')) {
    ++lineNo;
    if (line.endsWith('\r')) line.chop(1);
    if (line.size() <= 5) continue;
    const int count = hexValue(line, 1), hi = hexValue(line, 3), lo = hexValue(line, 5), type = hexValue(line, 7);
    if (count < 0 || hi < 0 || lo < 0 || type < 0 || line.size() < 11 + 2 * count) {
      std::printf("ldrtool: %s line %d is not a record\n", qPrintable(ldrPath), lineNo);
      return 2;
    }
    if (type == 4) block = hexValue(line, 11);
    if (type == 1) break;
    if (type != 0) continue;
    const auto slot = slotOf(block);
    const int address = hi * 256 + lo;
    if (!slot || address + count > kBlockSize) {
      std::printf("ldrtool: %s line %d lies outside the simulated flash\n", qPrintable(ldrPath), lineNo);
      return 2;
    }
    used[std::size_t(*slot)] = true;
    for (int i = 0; i < count; ++i) expected[*slot * kBlockSize + address + i] = char(hexValue(line, 9 + 2 * i));
    dataBytes += count;
  }
  // The flash CRC slot, when the file leaves it alone.
  const qsizetype crcSlot = 6 * qsizetype(kBlockSize);
  QByteArray crcNote = " (flash CRC slot erased)";
  if (!used[6] && (dump[crcSlot] != char(0xFF) || dump[crcSlot + 1] != char(0xFF))) {
    const std::uint16_t crc = crc16Arc(dump.constData(), crcSlot);
    const std::uint16_t stored = std::uint16_t(std::uint8_t(dump[crcSlot]) | std::uint8_t(dump[crcSlot + 1]) << 8);
    if (stored != crc) {
      std::printf("ldrtool: block 42 holds flash CRC 0x%04X, blocks 0..5 give 0x%04X\n", stored, crc);
      return 1;
    }
    expected[crcSlot] = dump[crcSlot];
    expected[crcSlot + 1] = dump[crcSlot + 1];
    crcNote = " and flash CRC 0x" + QByteArray::number(crc, 16).toUpper().rightJustified(4, '0') + " in block 42";
  }
  for (qsizetype i = 0; i < dump.size(); ++i) {
    if (dump[i] != expected[i]) {
      const int slot = int(i / kBlockSize);
      std::printf("ldrtool: flash image differs from %s: block %d address 0x%04X holds %02X, file says %02X\n",
                  qPrintable(ldrPath), kDumpBlocks[std::size_t(slot)], int(i % kBlockSize),
                  std::uint8_t(dump[i]), std::uint8_t(expected[i]));
      return 1;
    }
  }
  QByteArray blocks;
  for (std::size_t s = 0; s < used.size(); ++s)
    if (used[s]) blocks += " " + QByteArray::number(kDumpBlocks[s]);
  std::printf("ldrtool: flash image equals %s (%ld data bytes in block%s%s%s, every other byte erased)\n",
              qPrintable(ldrPath), dataBytes, blocks.count(' ') > 1 ? "s" : "", blocks.constData(),
              crcNote.constData());
  return 0;
}

void usage() {
  std::fprintf(stderr,
               "usage: ldrtool samples DIR\n"
               "       ldrtool compare FLASH_DUMP FILE.ldr\n"
               "FLASH_DUMP: flash blocks 0,1,2,3,4,5,42 of 64 KiB each, erased bytes 0xFF.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && QByteArray(argv[1]) == "samples") return makeSamples(QString::fromLocal8Bit(argv[2]));
  if (argc == 4 && QByteArray(argv[1]) == "compare")
    return compare(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
  usage();
  return 2;
}

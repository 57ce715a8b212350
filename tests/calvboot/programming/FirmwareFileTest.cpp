#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <programming/FirmwareFile.h>
#include <tests/support/PtyBench.h>

#include "LdrText.h"

#include <tuple>

using namespace LdrText;

namespace {

// Every record of the files below passes this check, and the fault matrix has a wrong checksum.
TEST(CheckLineChecksum, Records) {
  EXPECT_TRUE(FirmwareFile::CheckLineChecksum("x0300300002337a1e"));  // start not examined, lower case digits
  EXPECT_FALSE(FirmwareFile::CheckLineChecksum(":0300300002337A"));   // checksum missing: reads as 0
}

QByteArray bigTwoBlockFile() {
  QList<QByteArray> recs{block(0)};
  for (int a = 0; a < 0x10000; a += 16) recs << record(0, a, bytes(16, a));
  recs << block(1);
  for (int a = 0; a < 0x1000; a += 16) recs << record(0, a, bytes(16, a));
  return lines(recs << eof());
}

QString summary(int count, const char* first, const char* firstBlock, const char* last, const char* lastBlock) {
  return QString("Number of bytes: %1      First Adr.: 0x%2 in Flash block: 0x%3      Last Adr.: 0x%4 in Flash block: 0x%5")
      .arg(count)
      .arg(first, firstBlock, last, lastBlock);
}

// The failures the programming sequence shows are in its fault matrix.
TEST(CheckFirmwareFile, PassesAndFails) {
  QTemporaryDir dir;
  const struct {
    const char* name;
    QByteArray content;  // null: no file written, path is checked
    QString summary;     // empty: the check fails
    QString path = {};
  } cases[] = {
      {"two blocks with end-of-file record", bigTwoBlockFile(), summary(69632, "0000", "00", "1000", "01")},
      {"first data at 0x12C0, no block records, LF only",
       record(0, 0x12C0, bytes(32)) + "\n" + record(0, 0x12E0, bytes(4)) + "\n" + eof() + "\n",
       summary(36, "12C0", "FF", "12E4", "FF")},
      {"short lines skipped, no end-of-file record",
       lines({":0000", block(2), "", record(0, 0x0100, bytes(8)), ":12"}),
       summary(8, "0100", "02", "0108", "02")},
      {"record ending exactly at the block's end", lines({block(0), record(0, 0xFFE0, bytes(32)), eof()}),
       summary(32, "FFE0", "00", "0000", "00")},
      {"lone CR does not end a line: one record only",
       block(1) + "\r" + record(0, 0, bytes(16)) + "\r" + eof() + "\r",
       summary(0, "0000", "01", "0002", "01")},
      {"end-of-file record with 33 bytes", lines({block(0), record(1, 0, bytes(33))}), ""},
      {"missing file", {}, "", dir.filePath("missing.ldr")}, {"a folder", {}, "", dir.path()},
      {"the box's placeholder", {}, "", "?"}, {"no name", {}, "", QString()},
  };
  for (const auto& c : cases) {
    const bool found = !c.content.isNull(), passes = !c.summary.isEmpty();
    ASSERT_TRUE(!found || writeFile(dir.filePath("fw.ldr"), c.content));
    QStringList details, statuses;
    const auto r = FirmwareFile::CheckFirmwareFile(
        found ? dir.filePath("fw.ldr") : c.path, [&](const QString& t) { details << t; },
        [&](const QString& t) { statuses << t; });
    EXPECT_EQ(r.passed, passes) << c.name;
    EXPECT_EQ(statuses, found ? QStringList({"Checking file...", "File found", passes ? "File ok" : "Fault"})
                              : QStringList({"Checking file...", "Fault"}))
        << c.name;
    const QStringList head{"Checking file", found ? "File found     " : "File not found"};
    const QStringList rest = passes  ? QStringList{"Check sum ok", c.summary, ""}
                             : found ? QStringList{"Record out of range in file"}
                                     : QStringList{};
    EXPECT_EQ(details, head + rest) << c.name;
  }
}

}  // namespace

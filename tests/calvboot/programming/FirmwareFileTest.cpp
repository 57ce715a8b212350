#include <QDir>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <FirmwareFile.h>

#include "LdrText.h"

using namespace LdrText;

namespace {

struct ReaderCase {
  const char* name;
  QByteArray content;
  QList<QByteArray> lines;
};

QList<QByteArray> readAll(const QString& path, bool* failed = nullptr) {
  StreamLineReader r(path);
  QList<QByteArray> out;
  if (r.open())
    while (!r.AtEndOfStream()) out << r.ReadLine();
  if (failed) *failed = r.failed();
  return out;
}

TEST(StreamLineReader, LineRules) {
  const QByteArray longLine(70000, 'x');  // spans the reader's chunk boundary
  const ReaderCase cases[] = {
      {"empty file has no lines", "", {}},
      {"LF ends a line", "a\nb\n", {"a", "b"}},
      {"CR before LF is dropped", "a\r\nb\r\n", {"a", "b"}},
      {"last line without end", "a\nb", {"a", "b"}},
      {"lone CR stays in the line", "a\rb\n", {"a\rb"}},
      {"trailing lone CR stays", "a\r", {"a\r"}},
      {"only the CR right before LF goes", "a\r\r\n", {"a\r"}},
      {"empty lines are lines", "\n\r\nx", {"", "", "x"}},
      {"long line across chunks", longLine + "\r\n" + "end", {longLine, "end"}},
  };
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  for (const auto& c : cases) {
    const QString path = dir.filePath("f.ldr");
    ASSERT_TRUE(writeFile(path, c.content));
    bool failed = true;
    EXPECT_EQ(readAll(path, &failed), c.lines) << c.name;
    EXPECT_FALSE(failed) << c.name;
  }
}

TEST(StreamLineReader, MissingFileFailsToOpen) {
  StreamLineReader r(QStringLiteral("/nonexistent/dir/x.ldr"));
  EXPECT_FALSE(r.open());
  EXPECT_TRUE(r.failed());
  EXPECT_TRUE(r.AtEndOfStream());
}

TEST(CheckLineChecksum, Records) {
  const struct {
    QByteArray line;
    bool ok;
  } cases[] = {
      {":00000001FF", true},
      {":020000040001F9", true},
      {":020000040001F8", false},
      {":10010000214601360121470136007EFE09D2190140", true},
      {":10010000214601360121470136007EFE09D2190141", false},
      {":0300300002337A1E", true},
      {"x0300300002337a1e", true},   // start character not examined, lower case digits
      {":0300300002337A", false},     // checksum missing: reads as 0
      {":0000000000", true},          // all zero: checksum 00
  };
  for (const auto& c : cases) EXPECT_EQ(FirmwareFile::CheckLineChecksum(c.line), c.ok) << c.line.constData();
}

struct CheckCase {
  const char* name;
  QByteArray content;
  bool passed;
  QStringList statuses;
  QString summary;  // empty: not checked
};

QStringList okStatuses() { return {"Checking file...", "File found", "File ok"}; }
QStringList faultStatuses() { return {"Checking file...", "File found", "Fault"}; }

QByteArray bigTwoBlockFile() {
  QList<QByteArray> recs{block(0)};
  for (int a = 0; a < 0x10000; a += 16) recs << record(0, a, bytes(16, a));
  recs << block(1);
  for (int a = 0; a < 0x1000; a += 16) recs << record(0, a, bytes(16, a));
  recs << eof();
  return lines(recs);
}

TEST(CheckFirmwareFile, PassesAndFails) {
  const CheckCase cases[] = {
      {"two blocks with end-of-file record", bigTwoBlockFile(), true, okStatuses(),
       "Number of bytes: 69632      First Adr.: 0x0000 in Flash block: 0x00      "
       "Last Adr.: 0x1000 in Flash block: 0x01"},
      {"first data at 0x12C0, no block records, LF only",
       record(0, 0x12C0, bytes(32)) + "\n" + record(0, 0x12E0, bytes(4)) + "\n" + eof() + "\n", true, okStatuses(),
       "Number of bytes: 36      First Adr.: 0x12C0 in Flash block: 0xFF      "
       "Last Adr.: 0x12E4 in Flash block: 0xFF"},
      {"short lines skipped, no end-of-file record",
       lines({":0000", block(2), "", record(0, 0x0100, bytes(8)), ":12"}), true, okStatuses(),
       "Number of bytes: 8      First Adr.: 0x0100 in Flash block: 0x02      "
       "Last Adr.: 0x0108 in Flash block: 0x02"},
      {"record ending exactly at the block's end",
       lines({block(0), record(0, 0xFFE0, bytes(32)), eof()}), true, okStatuses(),
       "Number of bytes: 32      First Adr.: 0xFFE0 in Flash block: 0x00      "
       "Last Adr.: 0x0000 in Flash block: 0x00"},
      {"lone CR does not end a line: one record only",
       block(1) + "\r" + record(0, 0, bytes(16)) + "\r" + eof() + "\r", true, okStatuses(),
       "Number of bytes: 0      First Adr.: 0x0000 in Flash block: 0x01      "
       "Last Adr.: 0x0002 in Flash block: 0x01"},
      {"bad checksum in the last line", lines({block(0), record(0, 0, bytes(16)), ":00000001FE"}), false,
       faultStatuses(), ""},
      {"bad checksum stops the reading", lines({":020000040001F8", record(0, 0, bytes(40))}), false,
       faultStatuses(), ""},
      {"record of 33 data bytes", lines({block(0), record(0, 0, bytes(33)), eof()}), false, faultStatuses(), ""},
      {"record running past 65535", lines({block(0), record(0, 0xFFF0, bytes(17)), eof()}), false,
       faultStatuses(), ""},
      {"end-of-file record with 33 bytes", lines({block(0), record(1, 0, bytes(33))}), false, faultStatuses(), ""},
  };
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  for (const auto& c : cases) {
    const QString path = dir.filePath("fw.ldr");
    ASSERT_TRUE(writeFile(path, c.content));
    QStringList details, statuses;
    const auto r = FirmwareFile::CheckFirmwareFile(
        path, [&](const QString& t) { details << t; }, [&](const QString& t) { statuses << t; });
    EXPECT_EQ(r.passed, c.passed) << c.name;
    EXPECT_EQ(statuses, c.statuses) << c.name;
    if (c.passed) {
      ASSERT_EQ(details.size(), 5) << c.name;
      EXPECT_EQ(details[0], "Checking file");
      EXPECT_EQ(details[1], "File found     ");
      EXPECT_EQ(details[2], "Check sum ok");
      EXPECT_EQ(details[3], c.summary) << c.name;
      EXPECT_EQ(details[4], "");
    }
  }
}

TEST(CheckFirmwareFile, MissingFileOrFolder) {
  QTemporaryDir dir;
  for (const QString& path : {dir.filePath("missing.ldr"), dir.path(), QString("?"), QString()}) {
    QStringList details, statuses;
    const auto r = FirmwareFile::CheckFirmwareFile(
        path, [&](const QString& t) { details << t; }, [&](const QString& t) { statuses << t; });
    EXPECT_FALSE(r.passed) << path.toStdString();
    EXPECT_EQ(statuses, QStringList({"Checking file...", "Fault"})) << path.toStdString();
    EXPECT_EQ(details, QStringList({"Checking file", "File not found"})) << path.toStdString();
  }
}

// The committed samples are what the generator makes, and they pass the check.
TEST(SampleFiles, GeneratedAndValid) {
  QTemporaryDir dir;
  ASSERT_EQ(QProcess::execute(QStringLiteral(LDRTOOL_PATH), {"samples", dir.path()}), 0);
  for (const QString name : {"calv-small.ldr", "calv-two-block.ldr"}) {
    QFile made(dir.filePath(name)), committed(QStringLiteral(EXAMPLES_DIR "/") + name);
    ASSERT_TRUE(made.open(QIODevice::ReadOnly));
    ASSERT_TRUE(committed.open(QIODevice::ReadOnly)) << name.toStdString();
    EXPECT_EQ(made.readAll(), committed.readAll()) << name.toStdString();
    QStringList statuses;
    const auto r = FirmwareFile::CheckFirmwareFile(
        committed.fileName(), [](const QString&) {}, [&](const QString& t) { statuses << t; });
    EXPECT_TRUE(r.passed) << name.toStdString();
    EXPECT_EQ(r.firstBlock, 0);
    EXPECT_EQ(r.lastBlock, name.contains("two") ? 1 : 0);
  }
}

}  // namespace

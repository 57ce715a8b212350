#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ComForm.h>
#include <ImageBuffer.h>
#include <IniFileHandler.h>
#include <ModuleCommands.h>
#include <ProgramModule.h>
#include <PtyBench.h>
#include <RSfunctions.h>

#include <memory>

#include "CalvsimProcess.h"
#include "LdrText.h"

using namespace std::chrono_literals;
using namespace LdrText;

namespace {

const QString kTwoBlock = QStringLiteral(EXAMPLES_DIR "/calv-two-block.ldr");
const QString kSmall = QStringLiteral(EXAMPLES_DIR "/calv-small.ldr");

// What a frame does: F7 01 / F7 02 for boot mode on and off, otherwise the
// SFO code of a carrier frame.
constexpr int kProbe = 0x10, kWrite = 0x41, kErase = 0x42, kProgram = 0x43, kCrc = 0x44, kFlashCrc = 0x45;
constexpr int kBootOn = 0xF701, kBootOff = 0xF702;

int frameCode(const QByteArray& frame) {
  if (frame.size() > 5 && std::uint8_t(frame[3]) == 0xF7) return 0xF700 | std::uint8_t(frame[4]);
  if (frame.size() > 6 && std::uint8_t(frame[3]) == 0xF8) return std::uint8_t(frame[6]);
  return -1;
}

QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct RecordingView : ProgramView {
  QStringList statuses, details, warnings;
  QList<float> progress;
  std::function<void(const QString&)> onStatus;

  void setStatusText(const QString& text) override {
    statuses << text;
    if (onStatus) onStatus(text);
  }
  void detailText(const QString& text) override { details << text; }
  void setProgress(float value) override { progress << value; }
  void showWarning(const QString& title, const QString& text) override { warnings << title + "|" + text; }
};

// One run of the real sequence against calvsim, which prints the slave path
// of its pseudo-terminal first and writes its trace and dumps on SIGTERM.
struct Bench {
  explicit Bench(const QStringList& simArgs)
      : sim(simArgs + QStringList{"--trace", file("trace.txt"), "--flash-out", file("flash.bin"), "--ram-out",
                                  file("ram.bin")}) {
    simStarted = sim.started();
    writePortsIni(dir.path(), 1, sim.slavePath());
    RSfunctions::InitCommandTable();
    commands.ComPort = 1;
    commands.ReplyTimeout = 300ms;
  }

  QString file(const QString& name) const { return dir.filePath(name); }
  QString write(const QByteArray& content) {
    writeFile(file("fw.ldr"), content);
    return file("fw.ldr");
  }
  // Runs the sequence, stops the simulator and reads the frames it got.
  bool run(const QString& path) {
    const bool ok = program.run(path);
    simLastLine = sim.stop();
    for (const QByteArray& line : readFile(file("trace.txt")).split('\n'))
      if (!line.trimmed().isEmpty()) frames << QByteArray::fromHex(line);
    for (const QByteArray& f : frames) codes << frameCode(f);
    return ok;
  }

  QTemporaryDir dir;
  CalvsimProcess sim;
  bool simStarted = false;
  ImageBuffer image;
  ComForm com{ComForm::Host::Calvboot, dir.path()};
  ModuleCommands commands{com, image};
  RecordingView view;
  ProgramModule program{commands, image, view, file("setup.ini")};
  QString simLastLine;
  QList<QByteArray> frames;
  QList<int> codes;
};

int ldrCompare(const QString& dump, const QString& file) {
  return QProcess::execute(QStringLiteral(LDRTOOL_PATH), {"compare", dump, file});
}

TEST(ProgramModuleSim, AmplifierRunOfTwoBlockSample) {
  Bench b({});
  ASSERT_TRUE(b.simStarted);
  ASSERT_TRUE(b.run(kTwoBlock));

  EXPECT_EQ(b.view.statuses,
            QStringList({"Init", "KVA5100+ with Calvaro found", "Checking file...", "File found", "File ok",
                         "Programming Calvaro module", "Done with succes"}));
  EXPECT_TRUE(b.view.warnings.isEmpty());
  EXPECT_EQ(b.view.progress.value(b.view.progress.size() - 1), 100.0f);
  EXPECT_EQ(b.view.details.count("   CRC ok"), 2);

  // Erase 0..5 and 42 before any data, the flash CRC stored, boot mode left last.
  QList<int> erased;
  for (const QByteArray& f : b.frames)
    if (frameCode(f) == kErase) erased << std::uint8_t(f[7]);
  EXPECT_EQ(erased, QList<int>({0, 1, 2, 3, 4, 5, 42}));
  EXPECT_LT(b.codes.lastIndexOf(kErase), b.codes.indexOf(kWrite));
  EXPECT_EQ(b.codes.mid(b.codes.size() - 2), QList<int>({kFlashCrc, kBootOff}));
  EXPECT_TRUE(b.simLastLine.contains("blocks programmed: 0 1,")) << b.simLastLine.toStdString();
  EXPECT_EQ(ldrCompare(b.file("flash.bin"), kTwoBlock), 0);
  // The comparison is not blind: the small sample differs from this flash.
  EXPECT_EQ(ldrCompare(b.file("flash.bin"), kSmall), 1);
}

TEST(ProgramModuleSim, FixtureRunWritesAndAdvancesSerial) {
  const struct {
    const char* stored;  // nullptr: no "Serial" key
    QByteArray record;
    QString after;
  } cases[] = {
      {"1234", QByteArray::fromHex("0B000004D2"), "1235"},
      {nullptr, QByteArray::fromHex("0B0000FFFF"), "?"},  // the default read, written back
      {"99999999999", QByteArray::fromHex("0B0000FFFF"), "99999999999"},  // does not fit 32 bits
  };
  for (const auto& c : cases) {
    Bench b({"--fixture"});
    ASSERT_TRUE(b.simStarted);
    if (c.stored) IniFileHandler::WriteIniValue("Calvsettings", "Serial", c.stored, b.file("setup.ini"));
    ASSERT_TRUE(b.run(kSmall)) << c.stored;
    EXPECT_EQ(b.view.statuses[1], "Fixtur found");
    const QByteArray ram = readFile(b.file("ram.bin"));
    EXPECT_EQ(ram.mid(0x7FFB, 5).toHex(' '), c.record.toHex(' ')) << c.stored;
    // The data went to the fixture's memory; its flash stays erased.
    EXPECT_EQ(ram.left(4).toHex(' '), QByteArray("7c 34 03 53"));
    EXPECT_EQ(readFile(b.file("flash.bin")).count(char(0xFF)), 7 * 65536);
    EXPECT_EQ(IniFileHandler::ReadIniValue("Calvsettings", "Serial", "", b.file("setup.ini")), c.after);
    for (int never : {kErase, kProgram, kCrc, kFlashCrc}) EXPECT_FALSE(b.codes.contains(never)) << never;
    EXPECT_EQ(b.codes.last(), kBootOff);
  }
}

// Frames for the small sample (16 records, block 0): probe 1, boot 2, erase
// 3..9, writes 10..25, CRC 26, program 27, flash CRC 28, exit 29. A fault
// found by the file check comes after the probe, before anything else is sent.
TEST(ProgramModuleSim, FaultsEndWithWarning) {
  const struct {
    const char* name;
    QStringList simArgs;
    QByteArray file;        // empty: the small sample; "none": no file at all
    QString status;         // last status line
    QList<int> lastFrames;  // the frames sent, from the end
    bool goneAfterCheck = false;  // the file is deleted once it has passed the check
  } cases[] = {
      {"silent device", {"--silent-from", "1"}, {}, "COM timeout", {kProbe, kBootOn}},
      {"no boot announcement", {"--no-announce"}, {}, "Fault", {kProbe, kBootOn}},
      {"erase fault at block 2", {"--fail", "erase=0x15@3"}, {}, "Fault", {kBootOn, kErase, kErase, kErase}},
      {"write fault", {"--fail", "write=0x14@2"}, {}, "Fault", {kErase, kWrite, kWrite}},
      {"CRC read fault", {"--fail", "crc=0x13"}, {}, "Fault", {kWrite, kCrc}},
      {"program fault", {"--fail", "program=0x14"}, {}, "Fault", {kWrite, kCrc, kProgram}},
      {"silent at the flash CRC", {"--silent-from", "28"}, {}, "COM timeout", {kCrc, kProgram, kFlashCrc}},
      {"missing file", {}, "none", "Fault", {kProbe}},
      {"bad checksum in the last line", {}, lines({block(0), record(0, 0, bytes(16)), ":00000001FE"}), "Fault",
       {kProbe}},
      {"record longer than 32 bytes", {}, lines({block(0), record(0, 0, bytes(40)), eof()}), "Fault", {kProbe}},
      {"record past the block's end", {}, lines({block(0), record(0, 0xFFF8, bytes(16)), eof()}), "Fault",
       {kProbe}},
      {"file gone before the programming pass", {}, lines({block(0), record(0, 0, bytes(32)), eof()}), "Fault",
       {kErase}, true},
  };
  for (const auto& c : cases) {
    Bench b(c.simArgs);
    ASSERT_TRUE(b.simStarted) << c.name;
    b.program.AnnounceTimeout = 300ms;
    const QString file = c.file.isEmpty() ? kSmall : c.file == "none" ? b.file("none.ldr") : b.write(c.file);
    b.view.onStatus = [&](const QString& s) {
      if (c.goneAfterCheck && s == "File ok") QFile::remove(file);
    };
    EXPECT_FALSE(b.run(file)) << c.name;
    EXPECT_EQ(b.view.statuses.last(), c.status) << c.name;
    EXPECT_EQ(b.view.details.last() == "Timeout", c.status == "COM timeout") << c.name;
    EXPECT_EQ(b.view.warnings, QStringList({"Warning|Error!\r\n\r\nFault during upload."})) << c.name;
    EXPECT_EQ(b.view.progress.value(b.view.progress.size() - 1, -1), 0.0f) << c.name;
    EXPECT_EQ(b.codes.mid(b.codes.size() - c.lastFrames.size()), c.lastFrames) << c.name;
  }
}

TEST(ProgramModuleSim, BlockBookkeeping) {
  const struct {
    const char* name;
    QByteArray content;
    QString programmed;       // simulator's list of programmed blocks
    QList<int> committedAt;   // number of writes sent before each program frame
  } cases[] = {
      {"no end-of-file record: the last block is still committed",
       lines({block(0), record(0, 0, bytes(32)), record(0, 32, bytes(32))}), "0", {2}},
      {"end of file right after a block record commits the block before",
       lines({block(0), record(0, 0, bytes(32)), block(1), eof()}), "0", {1}},
      {"second block record in a row is ignored", lines({block(3), block(1), record(0, 0x100, bytes(16)), eof()}),
       "3", {1}},
      {"two blocks without end-of-file record",
       lines({block(0), record(0, 0, bytes(16)), block(1), record(0, 0, bytes(16))}), "0 1", {1, 2}},
  };
  for (const auto& c : cases) {
    Bench b({});
    ASSERT_TRUE(b.simStarted);
    ASSERT_TRUE(b.run(b.write(c.content))) << c.name;
    EXPECT_TRUE(b.simLastLine.contains("blocks programmed: " + c.programmed + ","))
        << c.name << ": " << b.simLastLine.toStdString();
    QList<int> writesBefore;
    for (int i = 0; i < b.codes.size(); ++i)
      if (b.codes[i] == kProgram) writesBefore << int(b.codes.mid(0, i).count(kWrite));
    EXPECT_EQ(writesBefore, c.committedAt) << c.name;
  }
}

// Neither a CRC mismatch nor a fault reply to the flash CRC stops the run.
TEST(ProgramModuleSim, ProgressAndFaultsThatAreNotFatal) {
  Bench b({"--bad-crc", "--fail", "flashcrc=0x14"});
  ASSERT_TRUE(b.simStarted);
  ASSERT_TRUE(b.run(b.write(lines({block(0), record(0, 0, bytes(32)), record(0, 32, bytes(32)),
                                   record(0, 64, bytes(32)), record(0, 96, bytes(32)), eof()}))));
  EXPECT_EQ(b.view.progress, QList<float>({0, 25, 50, 75, 100}));
  EXPECT_TRUE(b.view.details.contains("   CRC fault"));
  EXPECT_EQ(b.codes.count(kProgram), 1);
  EXPECT_EQ(b.codes.last(), kBootOff);
  EXPECT_EQ(b.view.statuses.last(), "Done with succes");
}

// Outside test-file mode (the program's own) the detail texts stay off the
// status line, as the first test shows; in it they take it over.
TEST(ProgramModuleSim, DetailTextsOnStatusLineInTestFileMode) {
  Bench b({"--fixture"});
  ASSERT_TRUE(b.simStarted);
  b.program.TestFileMode = 0;
  EXPECT_FALSE(b.run(b.file("missing.ldr")));
  EXPECT_EQ(b.view.statuses, QStringList({"Init", "Fixtur found", "Fixtur found", "Checking file", "Checking file...",
                                          "File not found", "Fault"}));
}

}  // namespace

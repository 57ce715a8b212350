#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <serial/SerialLink.h>
#include <settings/IniFileHandler.h>
#include <protocol/ModuleCommands.h>
#include <programming/ProgramModule.h>
#include <protocol/FrameRule.h>
#include <tests/support/PtyBench.h>
#include <protocol/RSfunctions.h>
#include <settings/SettingsLock.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <tests/sim/SimProcess.h>
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

struct RecordingView : ProgramView {
  QStringList statuses, details;
  QList<float> progress;
  std::function<void(const QString&)> onStatus, onDetail;

  void setStatusText(const QString& text) override {
    statuses << text;
    if (onStatus) onStatus(text);
  }
  void detailText(const QString& text) override {
    details << text;
    if (onDetail) onDetail(text);
  }
  void setProgress(float value) override { progress << value; }
};

// One run of the real sequence against calvsim, which prints the slave path
// of its pseudo-terminal first and writes its trace and dumps on SIGTERM.
struct Bench {
  // iniName: the program's setup.ini below the folder (the ports stay in the folder's own).
  explicit Bench(const QStringList& simArgs, std::chrono::milliseconds announce = 2000ms,
                 const QString& iniName = "setup.ini")
      : sim(simArgs + QStringList{"--trace", file("trace.txt"), "--flash-out", file("flash.bin"), "--ram-out",
                                  file("ram.bin")}),
        timing{.reply = 300ms, .announce = announce}, ini(file(iniName)) {
    writePortsIni(dir.path(), 1, sim.slavePath());
    EXPECT_TRUE(sim.started()) << "calvsim did not start";
    RSfunctions::InitCommandTable();
    commands.ComPort = 1;
    // A port that will not reopen is a recorded fault here, not a modal box that hangs the run.
    com.setPortMessage([this](const QString& text) { portMessages << text; });
  }

  QString file(const QString& name) const { return dir.filePath(name); }
  QString write(const QByteArray& content) { return writeFile(file("fw.ldr"), content) ? file("fw.ldr") : QString(); }
  // Runs the sequence, stops the simulator and reads the frames it got.
  bool run(const QString& path) {
    result = program.run(path);
    outcome = result.outcome;
    const bool ok = outcome == RunOutcome::Done;
    simReport = sim.stop();
    for (const QByteArray& line : fileBytes(file("trace.txt")).split('\n'))
      if (!line.trimmed().isEmpty()) frames << QByteArray::fromHex(line);
    for (const QByteArray& f : frames) codes << frameCode(f);
    return ok;
  }

  QTemporaryDir dir;
  CalvsimProcess sim;
  Timing timing;
  QString ini;
  SerialLink com{std::make_unique<FrameRule>(), dir.path()};
  ModuleCommands commands{com, timing};
  RecordingView view;
  ProgramModule program{commands, view, ini, timing};
  ProgramResult result;
  RunOutcome outcome{};
  QString simReport;
  QStringList portMessages;
  QList<QByteArray> frames;
  QList<int> codes;
};

int ldrCompare(const QString& dump, const QString& file) {
  return QProcess::execute(QStringLiteral(LDRTOOL_PATH), {"compare", dump, file});
}

TEST(ProgramModuleSim, AmplifierRunOfTwoBlockSample) {
  Bench b({});
  ASSERT_TRUE(b.run(kTwoBlock));
  EXPECT_EQ(b.view.statuses, QStringList({"Init", "KVA5100+ with Calvaro found", "Checking file...", "File found",
                                          "File ok", "Programming Calvaro module", "Done with succes"}));
  EXPECT_EQ(b.view.details.count("   CRC ok"), 2);
  EXPECT_EQ(b.result.checkedBlocks.size(), 2u);
  EXPECT_TRUE(b.result.crcFaultBlocks.empty());
  EXPECT_EQ(b.result.device, DeviceKindFound::Amplifier);
  EXPECT_EQ(b.result.status, "Done with succes");
  EXPECT_TRUE(b.result.passed());
  const QRegularExpression stored("^Flash CRC written - Value in block 42=0x([0-9A-F]{4})   Value \\(program\\)=0x\\1  Calculated=0x[0-9A-F]{4}$");
  EXPECT_EQ(b.view.details.filter(stored).size(), 1) << b.view.details.join(" / ").toStdString();
  // Erase 0..5 and 42 before any data; the flash CRC and boot mode off last: CalvbootFaults.
  QList<int> erased;
  for (const QByteArray& f : b.frames)
    if (frameCode(f) == kErase) erased << std::uint8_t(f[7]);
  EXPECT_EQ(erased, QList<int>({0, 1, 2, 3, 4, 5, 42}));
  EXPECT_LT(b.codes.lastIndexOf(kErase), b.codes.indexOf(kWrite));
  EXPECT_EQ(ldrCompare(b.file("flash.bin"), kTwoBlock), 0);
}

// A stored number claimed, then sent: ProgramRun.ParallelFixturesGetDistinctSerials.
// A counter that cannot be advanced sends no number, which the next run would send again.
TEST(ProgramModuleSim, FixtureRunClaimsTheSerialBeforeSendingIt) {
  // FolderReadOnly: setup.ini writable in a folder that is not, so no lock file can be made.
  enum Ini { Free, ReadOnly, Locked, FolderReadOnly };
  const struct {
    const char* stored;  // nullptr: no "Serial" key
    const char* record;  // at 0x7FFB; nullptr: none sent, the run is a fault
    QString after;
    Ini ini = Free;
    QString why = {};  // how the refusal goes on
  } cases[] = {
      {nullptr, "0b 00 00 ff ff", "?"},                  // the default read, written back
      {"99999999999", "0b 00 00 ff ff", "99999999999"},  // does not fit 32 bits
      {"70000", "0b 00 01 11 70", "70001"},
      {"2147483647", nullptr, "2147483647", Free, "Serial=2147483647 is the last number"},  // no next number
      {"1234", nullptr, "1234", ReadOnly, "not writable, so Serial=1234 cannot be advanced"},
      {"1234", nullptr, "1234", Locked, "not written, another program held "},
      {"1234", nullptr, "1234", FolderReadOnly, "not written, the folder %1 is not writable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored ? c.stored : "none");
    Bench b({"--fixture"}, 2000ms, c.ini == FolderReadOnly ? "station/setup.ini" : "setup.ini");
    const QString ini = b.ini;
    QDir().mkpath(QFileInfo(ini).path());
    if (c.stored) IniFileHandler::WriteIniValue("Calvsettings", "Serial", c.stored, ini);
    if (c.ini == ReadOnly) QFile::setPermissions(ini, QFileDevice::ReadOwner);
    const QFile::Permissions rx = QFileDevice::ReadOwner | QFileDevice::ExeOwner;
    if (c.ini == FolderReadOnly) {
      QFile::remove(SettingsLock::lockFileFor(ini));  // the write above made it
      QFile::setPermissions(QFileInfo(ini).path(), rx);
    }
    const int held = c.ini == FolderReadOnly
                         ? -1
                         : ::open(QFile::encodeName(SettingsLock::lockFileFor(ini)).constData(), O_RDWR | O_CREAT, 0644);
    ASSERT_TRUE(c.ini != Locked || ::flock(held, LOCK_EX) == 0);
    // Each transaction's text comes after it: the lock is free by then.
    int heldAcross = 0;
    b.view.onDetail = [&](const QString&) {
      if (held >= 0 && c.ini != Locked)
        heldAcross += ::flock(held, LOCK_EX | LOCK_NB) != 0 || ::flock(held, LOCK_UN) != 0;
    };
    EXPECT_EQ(b.run(kSmall), c.record != nullptr);
    if (held >= 0) ::close(held);
    if (c.ini == FolderReadOnly) QFile::setPermissions(QFileInfo(ini).path(), rx | QFileDevice::WriteOwner);
    EXPECT_EQ(heldAcross, 0);
    const QByteArray ram = fileBytes(b.file("ram.bin"));
    EXPECT_EQ(ram.mid(0x7FFB, 5).toHex(' '), c.record ? QByteArray(c.record) : QByteArray("ff ff ff ff ff"));
    EXPECT_EQ(b.view.details.filter("Serial number not sent: " + ini + ": " + QString(c.why).replace("%1", QFileInfo(ini).path())).size(),
              c.record ? 0 : 1) << qPrintable(b.view.details.join(" / "));
    // The data went to the fixture's memory; its flash stays erased.
    EXPECT_EQ(ram.left(4).toHex(' '), QByteArray("7c 34 03 53"));
    EXPECT_EQ(fileBytes(b.file("flash.bin")).count(char(0xFF)), 7 * 65536);
    EXPECT_EQ(IniFileHandler::ReadIniValue("Calvsettings", "Serial", "", ini), c.after);
    for (int never : {kErase, kProgram, kCrc, kFlashCrc}) EXPECT_FALSE(b.codes.contains(never)) << never;
    EXPECT_EQ(b.codes.last() == kBootOff, c.record != nullptr);
  }
}

// The fault matrix: one row per fault, where it strikes and how the run must
// end. Frames for the small sample (16 records, block 0): probe 1, boot 2,
// erase 3..9, writes 10..25, CRC 26, program 27, flash CRC 28, exit 29.
struct FaultRow {
  const char* name;
  QStringList sim;
  QString status, detail;  // last status line; a detail text the run showed
  int cmdState, lastFrame;  // after the run; what the device received last
  QByteArray file = {};     // empty: the small sample; "none": a missing file
  // Once the file has passed the check it is replaced by this (a bad
  // checksum, other data), or removed when it is "none".
  QByteArray afterCheck = {};
};

TEST(CalvbootFaults, Matrix) {
  const QString done = "Done with succes", timeout = "COM timeout";
  const FaultRow rows[] = {
      {"clean run", {}, done, "   CRC ok", 3, kBootOff},
      {"silent at the probe: goes on as an amplifier", {"--silent-at", "status"}, done, "   CRC ok", 3, kBootOff},
      {"silent at boot mode", {"--silent-at", "boot"}, timeout, "Enter bootmode fault", 4, kBootOn},
      {"no announcement", {"--no-announce"}, "Fault", "Bootmode", 3, kBootOn},
      {"wrong announcement", {"--announce", "05 01 41 00 47"}, "Fault", "Bootmode", 3, kBootOn},
      {"short announcement", {"--announce", "05 01 40 00"}, "Fault", "Bootmode", 3, kBootOn},
      {"announcement with a status", {"--announce", "05 01 40 01 47"}, "Fault", "Bootmode", 3, kBootOn},
      // What follows the boot reply in one read is the announcement's beginning.
      {"announcement in the boot reply's read", {"--announce-delay", "0"}, done, "   CRC ok", 3, kBootOff},
      {"announcement begun in the boot reply's read, ended in later ones",
       {"--announce-delay", "0", "--announce-chunk", "2", "--announce-gap", "40"}, done, "   CRC ok", 3, kBootOff},
      {"boot reply and announcement byte by byte", {"--announce-delay", "0", "--chunk", "1", "--gap", "5"}, done, "   CRC ok", 3, kBootOff},
      {"announcement begun in the boot reply's read, ended too late",
       {"--announce-delay", "0", "--announce-chunk", "2", "--announce-gap", "700"}, "Fault", "Bootmode", 3, kBootOn},
      {"silent at erase", {"--silent-at", "erase"}, timeout, "Erase flash block COM timeout at block 0", 4, kErase},
      {"silent at a memory write", {"--silent-at", "write"}, timeout, "Write SFO memory COM timeout", 4, kWrite},
      {"silent at the CRC read", {"--silent-at", "crc"}, timeout, "Get CRC COM timeout", 4, kCrc},
      {"silent at the block commit", {"--silent-at", "program"}, timeout, "Write flash block COM timeout at block 0", 4, kProgram},
      {"silent at the flash CRC", {"--silent-at", "flashcrc"}, timeout, "Timeout", 4, kFlashCrc},
      {"silent at exit", {"--silent-at", "exit"}, timeout, "Exit bootmode fault", 4, kBootOff},
      {"probe: no valid firmware", {"--status-code", "0x13"}, done, "   CRC ok", 3, kBootOff},
      {"probe: unusable status", {"--status-code", "0x02"}, done, "   CRC ok", 3, kBootOff},
      {"erase: erase error at block 2", {"--fail", "erase=0x15@3"}, "Fault", "Flash erase error", 8, kErase},
      {"erase: busy", {"--fail", "erase=0x16"}, "Fault", "Flash busy error", 8, kErase},
      {"erase: unknown command", {"--fail", "erase=0x02"}, "Fault", "Unknown command", 8, kErase},
      {"write: checksum error", {"--fail", "write=0x01@2"}, "Fault", "Checksum error", 7, kWrite},
      {"write: flash write error", {"--fail", "write=0x14"}, "Fault", "Flash write error", 7, kWrite},
      {"write: illegal parameter", {"--fail", "write=0x04@16"}, "Fault", "Illegal parameter value", 7, kWrite},
      {"CRC read: flash read error", {"--fail", "crc=0x13"}, "Fault", "Flash read error", 10, kCrc},
      {"CRC read: no module", {"--fail", "crc=0xFF"}, "Fault", "No module", 10, kCrc},
      {"commit: flash write error", {"--fail", "program=0x14"}, "Fault", "Flash write error", 9, kProgram},
      {"commit: await", {"--fail", "program=0x80"}, "Fault", "Await", 9, kProgram},
      {"flash CRC: busy, not fatal", {"--fail", "flashcrc=0x16"}, done, "Flash busy error", 3, kBootOff},
      {"module CRC differs, not fatal", {"--bad-crc"}, done, "   CRC fault", 3, kBootOff},
      {"short probe reply", {"--short-reply", "status"}, done, "   CRC ok", 3, kBootOff},
      {"short erase reply", {"--short-reply", "erase"}, "Fault", "Flash erase fault at block 0", 8, kErase},
      {"short write reply", {"--short-reply", "write"}, "Fault", "Write memory fault", 7, kWrite},
      {"short CRC reply", {"--short-reply", "crc"}, "Fault", "CRC fault", 10, kCrc},
      {"short commit reply", {"--short-reply", "program"}, "Fault", "Program flash fault at block 0", 9, kProgram},
      {"short flash CRC reply", {"--short-reply", "flashcrc"}, done, "Flash CRC write fault", 3, kBootOff},
      // The extra byte is taken as the announcement's beginning, which then is not one.
      {"extra bytes after the boot reply", {"--extra-bytes", "boot=1"}, "Fault", "Bootmode", 3, kBootOn},
      {"boot reply announcing 0 bytes, announcement after it", {"--first-byte", "boot=0", "--announce-delay", "0"}, timeout, "Enter bootmode fault", 4, kBootOn},
      {"extra bytes after a write reply", {"--extra-bytes", "write=2"}, timeout, "Write SFO memory COM timeout", 4, kWrite},
      {"extra bytes after the flash CRC", {"--extra-bytes", "flashcrc=1"}, timeout, "Timeout", 4, kFlashCrc},
      {"first byte 0", {"--first-byte", "erase=0"}, timeout, "Erase flash block COM timeout at block 0", 4, kErase},
      {"first byte 255", {"--first-byte", "crc=255"}, timeout, "Get CRC COM timeout", 4, kCrc},
      {"first byte 4, reply in one piece", {"--first-byte", "program=4"}, timeout, "Write flash block COM timeout at block 0", 4, kProgram},
      {"first byte 4, reply byte by byte", {"--first-byte", "erase=4", "--chunk", "1", "--gap", "20"}, "Fault", "Flash erase fault at block 0", 8, kErase},
      {"replies byte by byte", {"--chunk", "1", "--gap", "2"}, done, "   CRC ok", 3, kBootOff},
      {"81 bytes of garbage before each write reply", {"--garbage", "write=81"}, done, "   CRC ok", 3, kBootOff},
      {"80 bytes of garbage before the erase reply", {"--garbage", "erase=80"}, timeout, "Erase flash block COM timeout at block 0", 4, kErase},
      {"vanishes at erase", {"--vanish-at", "erase@2"}, timeout, "Erase flash block COM timeout at block 1", 4, kErase},
      {"vanishes at the 5th write", {"--vanish-at", "write@5"}, timeout, "Write SFO memory COM timeout", 4, kWrite},
      {"vanishes at the flash CRC", {"--vanish-at", "flashcrc"}, timeout, "Timeout", 4, kFlashCrc},
      {"missing file", {}, "Fault", "File not found", 0, kProbe, "none"},
      {"bad checksum in the last line", {}, "Fault", "Checksum fault in file", 0, kProbe,
       lines({block(0), record(0, 0, bytes(16)), ":00000001FE"})},
      {"record of 33 data bytes", {}, "Fault", "Record out of range in file", 0, kProbe, lines({block(0), record(0, 0, bytes(33)), eof()})},
      {"record running past 65535", {}, "Fault", "Record out of range in file", 0, kProbe,
       lines({block(0), record(0, 0xFFF0, bytes(17)), eof()})},
      // The checked records are sent, not what the file holds by then.
      {"file gone before the programming pass", {}, done, "   CRC ok", 3, kBootOff,
       lines({block(0), record(0, 0, bytes(32)), eof()}), "none"},
      {"file replaced before the programming pass", {}, done, "   CRC ok", 3, kBootOff,
       lines({block(0), record(0, 0, bytes(32)), eof()}),
       lines({block(0), record(0, 0, bytes(32, 0x40)), ":00000001FE"})},
  };
  for (const FaultRow& row : rows) {
    SCOPED_TRACE(row.name);
    Bench b(row.sim, 300ms);
    const QString file = row.file.isEmpty() ? kSmall : row.file == "none" ? b.file("none.ldr") : b.write(row.file);
    const QString checked = row.afterCheck.isEmpty() ? file : b.file("checked.ldr");
    b.view.onStatus = [&](const QString& s) {
      if (row.afterCheck.isEmpty() || s != "File ok") return;
      ASSERT_TRUE(QFile::rename(file, checked));
      if (row.afterCheck != "none") {
        ASSERT_TRUE(writeFile(file, row.afterCheck));
      }
    };
    const bool ok = b.run(file);
    EXPECT_EQ(b.view.statuses.last(), row.status);
    EXPECT_TRUE(b.view.details.contains(row.detail)) << b.view.details.join(" / ").toStdString();
    EXPECT_EQ(b.commands.CmdState, row.cmdState);
    EXPECT_EQ(b.codes.value(b.codes.size() - 1), row.lastFrame);
    EXPECT_EQ(ok, row.status == done);
    EXPECT_EQ(b.outcome, row.status == done      ? RunOutcome::Done
                         : row.status == timeout ? RunOutcome::Timeout
                                                 : RunOutcome::Fault);
    // Success only when the flash holds the file: every byte, every block committed.
    EXPECT_TRUE(row.status != done || ldrCompare(b.file("flash.bin"), checked) == 0);
    EXPECT_EQ(b.view.details.last() == "Timeout", row.status == timeout);
    EXPECT_EQ(b.view.progress.value(b.view.progress.size() - 1, -1), ok ? 100.0f : 0.0f);
    EXPECT_TRUE(b.portMessages.isEmpty()) << b.portMessages.join(" / ").toStdString();  // nothing sent after a loss
  }
}

TEST(ProgramModuleSim, BlockBookkeeping) {
  const struct {
    const char* name;
    QByteArray content;
    QString programmed;       // simulator's list of programmed blocks
    QList<int> committedAt;   // number of writes sent before each program frame
    QList<float> progress;
    QStringList sim = {};
  } cases[] = {
      {"end of file right after a block record commits the block before",
       lines({block(0), record(0, 0, bytes(32)), block(1), eof()}), "0", {1}, {0, 100}},
      {"second block record in a row is ignored", lines({block(3), block(1), record(0, 0x100, bytes(16)), eof()}),
       "3", {1}, {0, 100}},
      {"two blocks without end-of-file record: the last is still committed",
       lines({block(0), record(0, 0, bytes(16)), block(1), record(0, 0, bytes(16))}), "0 1", {1, 2}, {0, 50, 100}},
      // Neither a CRC mismatch nor a fault reply to the flash CRC stops the run or commits a block twice.
      {"CRC mismatch and flash CRC fault",
       lines({block(0), record(0, 0, bytes(32)), record(0, 32, bytes(32)), record(0, 64, bytes(32)),
              record(0, 96, bytes(32)), eof()}),
       "0", {4}, {0, 25, 50, 75, 100}, {"--bad-crc", "--fail", "flashcrc=0x14"}},
  };
  for (const auto& c : cases) {
    Bench b(c.sim);
    ASSERT_TRUE(b.run(b.write(c.content))) << c.name;
    EXPECT_TRUE(b.simReport.contains("blocks programmed: " + c.programmed + ","))
        << c.name << ": " << b.simReport.toStdString();
    QList<int> writesBefore;
    for (int i = 0; i < b.codes.size(); ++i)
      if (b.codes[i] == kProgram) writesBefore << int(b.codes.mid(0, i).count(kWrite));
    EXPECT_EQ(writesBefore, c.committedAt) << c.name;
    EXPECT_EQ(b.view.progress, c.progress) << c.name;
  }
}

// Outside test-file mode (the program's own) the detail texts stay off the
// status line, as the first test shows; in it they take it over.
TEST(ProgramModuleSim, DetailTextsOnStatusLineInTestFileMode) {
  Bench b({"--fixture"});
  b.program.TestFileMode = 0;
  EXPECT_FALSE(b.run(b.file("missing.ldr")));
  EXPECT_EQ(b.view.statuses, QStringList({"Init", "Fixtur found", "Fixtur found", "Checking file", "Checking file...",
                                          "File not found", "Fault"}));
}

}  // namespace

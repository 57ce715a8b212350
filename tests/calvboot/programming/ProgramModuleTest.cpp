#include <QDir>
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

#include "LdrText.h"
#include "SimProcess.h"

using namespace std::chrono_literals;
using namespace LdrText;

namespace {

const QString kTwoBlock = QStringLiteral(EXAMPLES_DIR "/calv-two-block.ldr");
const QString kSmall = QStringLiteral(EXAMPLES_DIR "/calv-small.ldr");
const QString kWarningText = QStringLiteral("Error!\r\n\r\nFault during upload.");

class RecordingView : public ProgramView {
 public:
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

// One run of the real sequence against calvsim over a pseudo-terminal.
class Bench {
 public:
  explicit Bench(QStringList simArgs) {
    RSfunctions::InitCommandTable();
    simArgs << "--trace" << dir.filePath("trace.txt") << "--flash-out" << dir.filePath("flash.bin") << "--ram-out"
            << dir.filePath("ram.bin");
    sim = std::make_unique<SimProcess>(QStringLiteral(CALVSIM_PATH), simArgs);
    writePortsIni(dir.path(), 1, sim->slavePath());
    com = std::make_unique<ComForm>(ComForm::Host::Calvboot, dir.path());
    com->setPortMessage([this](const QString& t) { portMessages << t; });
    commands = std::make_unique<ModuleCommands>(*com, image);
    commands->ComPort = 1;
    commands->ReplyTimeout = 300ms;
    program = std::make_unique<ProgramModule>(*commands, image, view, iniPath());
  }

  QString iniPath() const { return dir.filePath("setup.ini"); }
  QString path(const QString& name) const { return dir.filePath(name); }
  QString write(const QByteArray& content) {
    const QString p = dir.filePath("fw.ldr");
    writeFile(p, content);
    return p;
  }
  bool run(const QString& file) {
    const bool ok = program->run(file);
    simLastLine = sim->stop();
    frames = SimProcess::readTrace(dir.filePath("trace.txt"));
    return ok;
  }
  QList<int> codes() const {
    QList<int> out;
    for (const QByteArray& f : frames) out << frameCode(f);
    return out;
  }
  QByteArray dump(const QString& name) const {
    QFile f(dir.filePath(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }

  QTemporaryDir dir;
  std::unique_ptr<SimProcess> sim;
  ImageBuffer image;
  std::unique_ptr<ComForm> com;
  std::unique_ptr<ModuleCommands> commands;
  RecordingView view;
  std::unique_ptr<ProgramModule> program;
  QStringList portMessages;
  QString simLastLine;
  QList<QByteArray> frames;
};

constexpr int kProbe = 0x10, kWrite = 0x41, kErase = 0x42, kProgram = 0x43, kCrc = 0x44, kFlashCrc = 0x45;
constexpr int kBootOn = 0xF701, kBootOff = 0xF702;

int ldrCompare(const QString& dump, const QString& file) {
  return QProcess::execute(QStringLiteral(LDRTOOL_PATH), {"compare", dump, file});
}

TEST(ProgramModuleSim, AmplifierRunOfTwoBlockSample) {
  Bench b({});
  ASSERT_TRUE(b.sim->ok());
  ASSERT_TRUE(b.run(kTwoBlock));

  EXPECT_EQ(b.view.statuses,
            QStringList({"Init", "KVA5100+ with Calvaro found", "Checking file...", "File found", "File ok",
                         "Programming Calvaro module", "Done with succes"}));
  EXPECT_TRUE(b.view.warnings.isEmpty());
  EXPECT_TRUE(b.portMessages.isEmpty());
  EXPECT_EQ(b.program->DeviceKind, 2);
  ASSERT_FALSE(b.view.progress.isEmpty());
  EXPECT_EQ(b.view.progress.last(), 100.0f);
  EXPECT_TRUE(std::is_sorted(b.view.progress.begin(), b.view.progress.end()));
  EXPECT_EQ(b.view.details.count("   CRC ok"), 2);
  EXPECT_EQ(b.view.details.count("   CRC fault"), 0);

  // Erase 0..5 and 42 before any data, blocks committed in order, flash CRC
  // stored, boot mode left last.
  const QList<int> codes = b.codes();
  QList<int> erased;
  for (const QByteArray& f : b.frames)
    if (frameCode(f) == kErase) erased << std::uint8_t(f[7]);
  EXPECT_EQ(erased, QList<int>({0, 1, 2, 3, 4, 5, 42}));
  EXPECT_LT(codes.lastIndexOf(kErase), codes.indexOf(kWrite));
  EXPECT_EQ(codes.first(), kProbe);
  EXPECT_EQ(codes.count(kProgram), 2);
  EXPECT_EQ(codes.count(kCrc), 2);
  EXPECT_EQ(codes.mid(codes.size() - 2), QList<int>({kFlashCrc, kBootOff}));

  EXPECT_TRUE(b.simLastLine.contains("boot mode left")) << b.simLastLine.toStdString();
  EXPECT_TRUE(b.simLastLine.contains("blocks programmed: 0 1,")) << b.simLastLine.toStdString();
  EXPECT_EQ(ldrCompare(b.path("flash.bin"), kTwoBlock), 0);
  // The comparison is not blind: the small sample differs from this flash.
  EXPECT_EQ(ldrCompare(b.path("flash.bin"), kSmall), 1);
}

TEST(ProgramModuleSim, FixtureRunWritesAndAdvancesSerial) {
  const struct {
    const char* stored;  // nullptr: no "Serial" key
    QByteArray record;
    QString after;
  } cases[] = {
      {"1234", QByteArray::fromHex("0B000004D2"), "1235"},
      {"200", QByteArray::fromHex("0B000000C8"), "201"},
      {"70000", QByteArray::fromHex("0B00011170"), "70001"},
      {nullptr, QByteArray::fromHex("0B0000FFFF"), "?"},
      {"abc", QByteArray::fromHex("0B0000FFFF"), "abc"},
      {"99999999999", QByteArray::fromHex("0B0000FFFF"), "99999999999"},  // does not fit 32 bits
  };
  for (const auto& c : cases) {
    Bench b({"--fixture"});
    ASSERT_TRUE(b.sim->ok());
    if (c.stored) IniFileHandler::WriteIniValue("Calvsettings", "Serial", c.stored, b.iniPath());
    ASSERT_TRUE(b.run(kSmall)) << c.stored;
    EXPECT_EQ(b.program->DeviceKind, 1);
    EXPECT_TRUE(b.view.statuses.contains("Fixtur found"));
    EXPECT_EQ(b.view.statuses.last(), "Done with succes");
    EXPECT_EQ(b.dump("ram.bin").mid(0x7FFB, 5).toHex(' '), c.record.toHex(' ')) << c.stored;
    // The data went to the fixture's memory; its flash stays erased.
    EXPECT_EQ(b.dump("ram.bin").left(4).toHex(' '), QByteArray("7c 34 03 53"));
    EXPECT_EQ(b.dump("flash.bin").count(char(0xFF)), 7 * 65536);
    EXPECT_EQ(IniFileHandler::ReadIniValue("Calvsettings", "Serial", "", b.iniPath()), c.after);
    const QList<int> codes = b.codes();
    for (int never : {kErase, kProgram, kCrc, kFlashCrc}) EXPECT_FALSE(codes.contains(never)) << never;
    EXPECT_EQ(codes.last(), kBootOff);
  }
}

struct FaultCase {
  const char* name;
  QStringList simArgs;
  QString status;          // last status line
  QList<int> lastFrames;   // the frames sent, from the end
  bool exitSent = false;
};

TEST(ProgramModuleSim, FaultsEndWithWarning) {
  const FaultCase cases[] = {
      {"silent device", {"--silent-from", "1"}, "COM timeout", {kProbe, kBootOn}},
      {"no boot announcement", {"--no-announce"}, "Fault", {kProbe, kBootOn}},
      {"erase fault at block 2", {"--fail", "erase=0x15@3"}, "Fault", {kBootOn, kErase, kErase, kErase}},
      {"short erase reply", {"--short-reply", "erase"}, "Fault", {kBootOn, kErase}},
      {"write fault", {"--fail", "write=0x14@2"}, "Fault", {kErase, kWrite, kWrite}},
      {"CRC read fault", {"--fail", "crc=0x13"}, "Fault", {kWrite, kCrc}},
      {"program fault", {"--fail", "program=0x14"}, "Fault", {kWrite, kCrc, kProgram}},
      {"silent while sending", {"--silent-from", "12"}, "COM timeout", {kWrite, kWrite}},
      {"silent at the flash CRC", {"--fail", "flashcrc=0x14", "--silent-from", "28"}, "COM timeout",
       {kCrc, kProgram, kFlashCrc}},
  };
  for (const auto& c : cases) {
    Bench b(c.simArgs);
    ASSERT_TRUE(b.sim->ok()) << c.name;
    b.program->AnnounceTimeout = 300ms;
    EXPECT_FALSE(b.run(kSmall)) << c.name;
    ASSERT_FALSE(b.view.statuses.isEmpty());
    EXPECT_EQ(b.view.statuses.last(), c.status) << c.name;
    EXPECT_EQ(b.view.warnings, QStringList({"Warning|" + kWarningText})) << c.name;
    ASSERT_FALSE(b.view.progress.isEmpty()) << c.name;
    EXPECT_EQ(b.view.progress.last(), 0.0f) << c.name;
    if (c.status == "COM timeout") {
      EXPECT_EQ(b.view.details.last(), "Timeout") << c.name;
    }
    const QList<int> codes = b.codes();
    EXPECT_EQ(codes.mid(codes.size() - c.lastFrames.size()), c.lastFrames) << c.name;
    EXPECT_FALSE(codes.contains(kBootOff)) << c.name;
  }
}

// The small sample: 16 records, block 0. Frames: probe 1, boot 2, erase 3..9,
// writes 10..25, CRC 26, program 27, flash CRC 28, exit 29.
TEST(ProgramModuleSim, FileFaultsSendNothingButTheProbe) {
  const struct {
    const char* name;
    QByteArray content;  // empty: no file at all
  } cases[] = {
      {"missing file", {}},
      {"bad checksum in the last line", lines({block(0), record(0, 0, bytes(16)), ":00000001FE"})},
      {"record longer than 32 bytes", lines({block(0), record(0, 0, bytes(40)), eof()})},
      {"record past the block's end", lines({block(0), record(0, 0xFFF8, bytes(16)), eof()})},
  };
  for (const auto& c : cases) {
    Bench b({});
    ASSERT_TRUE(b.sim->ok());
    const QString file = c.content.isEmpty() ? b.path("nothing.ldr") : b.write(c.content);
    EXPECT_FALSE(b.run(file)) << c.name;
    EXPECT_EQ(b.view.statuses.last(), "Fault") << c.name;
    EXPECT_EQ(b.view.warnings.size(), 1) << c.name;
    EXPECT_EQ(b.codes(), QList<int>({kProbe})) << c.name;
  }
}

TEST(ProgramModuleSim, FileGoneBeforeTheProgrammingPass) {
  Bench b({});
  ASSERT_TRUE(b.sim->ok());
  const QString file = b.write(LdrText::lines({block(0), record(0, 0, bytes(32)), eof()}));
  b.view.onStatus = [&](const QString& s) {
    if (s == "File ok") QFile::remove(file);
  };
  EXPECT_FALSE(b.run(file));
  EXPECT_EQ(b.view.statuses.last(), "Fault");
  EXPECT_EQ(b.view.warnings.size(), 1);
  EXPECT_FALSE(b.codes().contains(kWrite));
}

struct PassCase {
  const char* name;
  QByteArray content;
  QString programmed;  // simulator's list of programmed blocks
  QList<int> committedAt;  // number of writes sent before each program frame
  bool plainHex = true;    // the flash holds what an ordinary reader of the file expects
};

TEST(ProgramModuleSim, BlockBookkeeping) {
  const PassCase cases[] = {
      {"no end-of-file record: the last block is still committed",
       lines({block(0), record(0, 0, bytes(32)), record(0, 32, bytes(32))}), "0", {2}},
      {"end of file right after a block record commits the block before",
       lines({block(0), record(0, 0, bytes(32)), block(1), eof()}), "0", {1}},
      {"second block record in a row is ignored",
       lines({block(3), block(1), record(0, 0x100, bytes(16)), eof()}), "3", {1}, false},
      {"two blocks without end-of-file record",
       lines({block(0), record(0, 0, bytes(16)), block(1), record(0, 0, bytes(16))}), "0 1", {1, 2}},
  };
  for (const auto& c : cases) {
    Bench b({});
    ASSERT_TRUE(b.sim->ok());
    const QString file = b.write(c.content);
    ASSERT_TRUE(b.run(file)) << c.name;
    EXPECT_EQ(b.view.statuses.last(), "Done with succes") << c.name;
    EXPECT_TRUE(b.simLastLine.contains("blocks programmed: " + c.programmed + ","))
        << c.name << ": " << b.simLastLine.toStdString();
    QList<int> writesBefore;
    int writes = 0;
    for (int code : b.codes()) {
      if (code == kWrite) ++writes;
      if (code == kProgram) writesBefore << writes;
    }
    EXPECT_EQ(writesBefore, c.committedAt) << c.name;
    if (c.plainHex) {
      EXPECT_EQ(ldrCompare(b.path("flash.bin"), file), 0) << c.name;
    }
  }
}

TEST(ProgramModuleSim, ProgressInQuartersAndCrcMismatchNotFatal) {
  Bench b({"--bad-crc"});
  ASSERT_TRUE(b.sim->ok());
  const QString file =
      b.write(lines({block(0), record(0, 0, bytes(32)), record(0, 32, bytes(32)), record(0, 64, bytes(32)),
                     record(0, 96, bytes(32)), eof()}));
  ASSERT_TRUE(b.run(file));
  EXPECT_EQ(b.view.progress, QList<float>({0, 25, 50, 75, 100}));
  EXPECT_TRUE(b.view.details.contains("   CRC fault"));
  EXPECT_EQ(b.codes().count(kProgram), 1);
  EXPECT_EQ(b.view.statuses.last(), "Done with succes");
}

// Outside test-file mode the detail texts stay off the status line; in it
// they take it over.
TEST(ProgramModuleSim, DetailTextsReachStatusLineOnlyInTestFileMode) {
  for (std::uint8_t mode : {1, 0}) {
    Bench b({"--fixture"});
    ASSERT_TRUE(b.sim->ok());
    b.program->TestFileMode = mode;
    EXPECT_FALSE(b.run(b.path("missing.ldr")));
    const QStringList expected =
        mode == 1 ? QStringList({"Init", "Fixtur found", "Checking file...", "Fault"})
                  : QStringList({"Init", "Fixtur found", "Fixtur found", "Checking file", "Checking file...",
                                 "File not found", "Fault"});
    EXPECT_EQ(b.view.statuses, expected) << int(mode);
  }
}

}  // namespace

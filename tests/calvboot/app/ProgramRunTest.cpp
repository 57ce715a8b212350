// calvboot --program and --list-ports as a production script runs them:
// the program copied into a folder with its setup.ini, calvsim at the far end.
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include "SimProcess.h"
#include <CliFolder.h>
#include <PtyBench.h>

#include <set>

namespace {

const QString kSample = QStringLiteral(EXAMPLES_DIR "/calv-two-block.ldr");
const QString kWarning = QStringLiteral("Warning: Error! Fault during upload.");

QByteArray portsIni(const QStringList& devices, const QByteArray& more = {}) {
  QByteArray ini = "[Ports]\r\n";
  for (int n = 0; n < devices.size(); ++n) ini += QStringLiteral("COM%1=%2\r\n").arg(n + 1).arg(devices[n]).toUtf8();
  return ini + more;
}

struct Row {
  const char* name;
  QStringList sim;
  QStringList args;  // "FILE" stands for the sample
  int exit;
  const char* last;  // stdout's last line
  QString err;       // a line standard error must hold
  bool flashIsFile;
  const char* interruptAt = nullptr;
};

TEST(ProgramRun, ExitStatuses) {
  const QStringList run{QStringLiteral("--program"), QStringLiteral("FILE")};
  const std::vector<Row> rows{
      {"done", {}, run + QStringList{"--log"}, 0, "Done with succes", {}, true},
      {"in the window", {}, run + QStringList{"--window"}, 0, "Done with succes", {}, true},
      {"network address", {"--address", "7"}, run + QStringList{"--address", "7"}, 0, "Done with succes", {}, true},
      {"fault exit", {"--fail", "erase=0x04"}, run, 1, "Fault", kWarning, false},
      {"time-out exit", {"--silent-from", "209"}, run, 2, "COM timeout", kWarning, true},
      {"no port", {}, run + QStringList{"--device", "/dev/no-such-tty"}, 3, "", "calvboot: Comm Port not available!", false},
      {"module CRC differs", {"--bad-crc"}, run, 5, "Done with succes", "block(s) 0, 1", true},
      {"interrupted", {"--baud", "9600"}, run, 130, "Fault", kWarning, false, "Program flash block 0"},
      {"version", {}, {"--version"}, 0, "Calvaro Bootloader Version 1.00", {}, false},
      {"missing file", {}, {"--port", "1"}, 64, "", "missing --program", false},
      {"bad speed", {}, run + QStringList{"--speed", "1200"}, 64, "", "--speed takes", false},
      {"bad port", {}, run + QStringList{"--port", "17"}, 64, "", "--port takes", false},
      {"bad address", {}, run + QStringList{"--address", "65536"}, 64, "", "--address takes", false},
      {"unknown option", {}, run + QStringList{"--bogus"}, 64, "", "Unknown option 'bogus'", false},
  };
  // COM2 held by another program and COM3 missing, for --list-ports.
  PseudoTerminal held;
  QProcess holder;
  holder.start(QStringLiteral(SERIAL_PORT_HOLDER), {held.slavePath()});
  ASSERT_TRUE(holder.waitForReadyRead(5000));
  QList<QByteArray> traces;  // what calvsim received on each row
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CliFolder folder(QStringLiteral(CALVBOOT_PATH));
    const QString flash = folder.path(QStringLiteral("flash.bin"));
    const QString trace = folder.path(QStringLiteral("trace.txt"));
    CalvsimProcess sim(row.sim + QStringList{QStringLiteral("--flash-out"), flash, QStringLiteral("--trace"), trace});
    ASSERT_TRUE(sim.started());
    const QByteArray ini =
        portsIni({sim.slavePath(), held.slavePath(), "/dev/no-such-tty"}, "[ComSettings]\r\nDevAdr=1\r\n");
    folder.writeIni(ini);
    QStringList args = row.args;
    args.replaceInStrings(QStringLiteral("FILE"), kSample);
    const CliFolder::Result r = folder.run(args, QString::fromLatin1(row.interruptAt ? row.interruptAt : ""));
    EXPECT_EQ(r.exitCode, row.exit) << qPrintable(r.err);
    EXPECT_EQ(r.lastLine(), QString::fromLatin1(row.last)) << qPrintable(r.out);
    EXPECT_TRUE(r.err.contains(row.err)) << qPrintable(r.err);
    // Nothing of the run's own choices is stored, and the port is left free.
    EXPECT_EQ(folder.ini(), ini);
    EXPECT_EQ(QFile(folder.path(QStringLiteral("Log.txt"))).size() > 0, row.args.contains(QStringLiteral("--log")));
    const CliFolder::Result ports = folder.run({QStringLiteral("--list-ports")});
    const QStringList lines = ports.out.split(u'\n');
    ASSERT_GE(lines.size(), 16);
    EXPECT_EQ(ports.exitCode, 0);
    EXPECT_TRUE(lines[0].contains(sim.slavePath() + " ") && lines[0].endsWith(u"present, free"))
        << qPrintable(lines[0]);
    EXPECT_TRUE(lines[1].contains(u"present, busy")) << qPrintable(lines[1]);
    EXPECT_TRUE(lines[2].endsWith(u"/dev/no-such-tty         not present")) << qPrintable(lines[2]);
    EXPECT_TRUE(lines[15].startsWith(u"COM16")) << qPrintable(lines[15]);
    sim.stop();
    EXPECT_EQ(QProcess::execute(QStringLiteral(LDRTOOL_PATH), {"compare", flash, kSample}) == 0, row.flashIsFile);
    traces << fileBytes(trace);
  }
  // The window's pass and the command line's send the same bytes.
  EXPECT_GT(traces[0].size(), 1000);
  EXPECT_EQ(traces[0], traces[1]);
}

// Eight fixtures programmed at once from one folder: every one gets its own
// serial number and the counter moves on by exactly eight.
TEST(ProgramRun, ParallelFixturesGetDistinctSerials) {
  constexpr int kFixtures = 8;
  CliFolder folder(QStringLiteral(CALVBOOT_PATH));
  std::vector<std::unique_ptr<CalvsimProcess>> sims;
  QStringList devices;
  for (int n = 0; n < kFixtures; ++n) {
    sims.push_back(std::make_unique<CalvsimProcess>(QStringList{
        QStringLiteral("--fixture"), QStringLiteral("--ram-out"), folder.path(QStringLiteral("ram%1").arg(n))}));
    ASSERT_TRUE(sims.back()->started());
    devices << sims.back()->slavePath();
  }
  folder.writeIni(portsIni(devices, "[Calvsettings]\r\nSerial=5000\r\n"));
  std::vector<std::unique_ptr<QProcess>> runs;
  for (int n = 0; n < kFixtures; ++n)
    runs.push_back(folder.start({QStringLiteral("--program"), kSample, QStringLiteral("--port"), QString::number(n + 1)}));
  std::set<std::string> serials;
  for (int n = 0; n < kFixtures; ++n) {
    EXPECT_EQ(CliFolder::finish(*runs[n]).exitCode, 0);
    sims[n]->stop();
    // The fixture's serial record: 0x0B, then the number high byte first (5000 is 0x1388).
    serials.insert(fileBytes(folder.path(QStringLiteral("ram%1").arg(n))).mid(0x7FFB, 5).toHex().toStdString());
  }
  EXPECT_EQ(serials, (std::set<std::string>{"0b00001388", "0b00001389", "0b0000138a", "0b0000138b", "0b0000138c",
                                            "0b0000138d", "0b0000138e", "0b0000138f"}));
  EXPECT_TRUE(folder.ini().contains("Serial=5008\r\n")) << folder.ini().constData();
}

}  // namespace

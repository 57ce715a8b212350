// calvboot --program and --list-ports as a production script runs them:
// the program copied into a folder with its setup.ini, calvsim at the far end.
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

#include <tests/sim/SimProcess.h>
#include <tests/support/CliFolder.h>
#include <tests/support/FakeAdapters.h>
#include <tests/support/PtyBench.h>

#include <filesystem>
#include <set>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QString kSample = QStringLiteral(EXAMPLES_DIR "/calv-two-block.ldr");
const QString kSmall = QStringLiteral(EXAMPLES_DIR "/calv-small.ldr");
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
  int signal = SIGINT;
};

TEST(ProgramRun, ExitStatuses) {
  const QStringList run{QStringLiteral("--program"), QStringLiteral("FILE")};
  const std::vector<Row> rows{
      {"done", {}, run + QStringList{"--log"}, 0, "Done with succes", {}, true},
      {"log of its own", {}, run + QStringList{"--log=own.log"}, 0, "Done with succes", {}, true},
      {"in the window", {}, run + QStringList{"--window"}, 0, "Done with succes", {}, true},
      {"network address", {"--address", "7"}, run + QStringList{"--address", "7"}, 0, "Done with succes", {}, true},
      {"fault exit", {"--fail", "erase=0x04"}, run, 1, "Fault", kWarning, false},
      {"time-out exit", {"--silent-from", "209"}, run, 2, "COM timeout", kWarning, true},
      {"no port", {}, run + QStringList{"--device", "/dev/no-such-tty"}, 3, "", "calvboot: Comm Port not available!", false},
      {"device gone", {"--vanish-at", "erase"}, run + QStringList{"--log"}, 3, "COM timeout", "calvboot: COM1 lost: /dev/pts/", false},
      {"module CRC differs", {"--bad-crc"}, run, 5, "Done with succes", "block(s) 0, 1", true},
      {"interrupted", {"--baud", "9600"}, run, 130, "Fault", kWarning, false, "Program flash block 0"},
      {"terminated", {"--baud", "9600"}, run, 143, "Fault", kWarning, false, "Program flash block 0", SIGTERM},
      {"version", {}, {"--version"}, 0, "Calvaro Bootloader Version 1.00", {}, false},
      {"help", {}, {"--help"}, 0, "         command in flight; a second signal ends the run at once", {}, false},
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
    const CliFolder::Result r = folder.run(args, QString::fromLatin1(row.interruptAt ? row.interruptAt : ""), row.signal);
    EXPECT_EQ(r.exitCode, row.exit) << qPrintable(r.err);
    EXPECT_EQ(r.lastLine(), QString::fromLatin1(row.last)) << qPrintable(r.out);
    EXPECT_TRUE(r.err.contains(row.err)) << qPrintable(r.err);
    if (r.lastLine() == QStringLiteral("Done with succes") && !row.args.contains(QStringLiteral("--window"))) {
      // The bytes of the file, all sent, with the rate: the lines before the status.
      const auto m = QRegularExpression(QStringLiteral("\n(\\d+) / \\1 bytes sent \\(100 %\\)\n(.*\n)*"
                                                       "Programmed \\1 bytes in \\d+\\.\\d s \\(\\d+\\.\\d kB/s\\)\nDone with succes\n$"))
                         .match(r.out);
      EXPECT_TRUE(m.hasMatch() && m.captured(1).toInt() > 1000) << qPrintable(r.out);
    }
    // Nothing of the run's own choices is stored, and the port is left free.
    EXPECT_EQ(folder.ini(), ini);
    EXPECT_EQ(QFile(folder.path(QStringLiteral("Log.txt"))).size() > 0, row.args.contains(QStringLiteral("--log")));
    EXPECT_EQ(fileBytes(folder.path(QStringLiteral("own.log"))).contains(" TX: "), row.args.contains("--log=own.log"));
    // The log holds its header and traffic lines only, whatever happened to the line.
    EXPECT_TRUE(QRegularExpression("^[0-9A-Za-z .:*\r\n]*$").match(QString::fromLatin1(fileBytes(folder.path("Log.txt")))).hasMatch());
    if (row.sim.contains("--vanish-at")) continue;  // the device is gone for good
    const CliFolder::Result ports = folder.run({QStringLiteral("--list-ports")});
    // The port lines; what the system knows of a present device is indented below.
    const QStringList lines = ports.out.split(u'\n').filter(QRegularExpression(QStringLiteral("^COM")));
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
// serial number, the counter moves on by exactly eight, and each line is
// opened once however many frames cross it.
TEST(ProgramRun, ParallelFixturesGetDistinctSerials) {
  constexpr int kFixtures = 8;
  CliFolder folder(QStringLiteral(CALVBOOT_PATH));
  std::vector<std::unique_ptr<CalvsimProcess>> sims;
  QStringList devices;
  for (int n = 0; n < kFixtures; ++n) {
    sims.push_back(std::make_unique<CalvsimProcess>(
        QStringList{QStringLiteral("--fixture"), QStringLiteral("--ram-out"), folder.path(QStringLiteral("ram%1").arg(n)),
                    QStringLiteral("--counters"), folder.path(QStringLiteral("counters%1").arg(n))}));
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
    // One open for the whole run: the line is kept from frame to frame.
    EXPECT_EQ(SimProcess::counter(folder.path(QStringLiteral("counters%1").arg(n)), "opens"), 1);
    // The fixture's serial record: 0x0B, then the number high byte first (5000 is 0x1388).
    serials.insert(fileBytes(folder.path(QStringLiteral("ram%1").arg(n))).mid(0x7FFB, 5).toHex().toStdString());
  }
  EXPECT_EQ(serials, (std::set<std::string>{"0b00001388", "0b00001389", "0b0000138a", "0b0000138b", "0b0000138c",
                                            "0b0000138d", "0b0000138e", "0b0000138f"}));
  EXPECT_TRUE(folder.ini().contains("Serial=5008\r\n")) << folder.ini().constData();
}

// What a run's record says and how the run ends. A serial number the fixture
// refused (its record is the run's last memory write, the 17th of the small
// sample) is spent, not written; a port that would not open leaves a record
// too. The summary's time is the line's: a record file held for 1 s after
// the module left boot mode adds nothing to it.
TEST(ProgramRun, RecordsSayWhatHappened) {
  const struct {
    const char* name;
    QStringList sim, args;
    int exit;
    QString tail;  // the record's device_kind, serial_number, block_crcs, final_status, exit_status
    QString err;
    QByteArray serialAfter;
    bool holdRecords = false;
  } rows[] = {
      {"fixture takes its number", {"--fixture"}, {}, 0, "fixture,500,,Done with succes,0", {}, "501", true},
      {"fixture refuses its number", {"--fixture", "--fail", "write=0x14@17"}, {}, 5,
       "fixture,,,Done with succes; serial number 500 refused by the fixture (Flash write error),5",
       "calvboot: serial number 500 refused by the fixture (Flash write error): do not pass the module", "501"},
      {"port not opened", {}, {"--device", "/dev/no-such-tty"}, 3, ",,,,Comm Port not available!,3",
       "Comm Port not available!", "500"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    CliFolder folder(QStringLiteral(CALVBOOT_PATH));
    CalvsimProcess sim(row.sim);
    ASSERT_TRUE(sim.started());
    folder.writeIni(portsIni({sim.slavePath()}, "[Calvsettings]\r\nSerial=500\r\n"));
    const int held = ::open(QFile::encodeName(folder.path("r.csv")).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_TRUE(!row.holdRecords || ::flock(held, LOCK_EX) == 0);
    auto process = folder.start(QStringList{"--program", kSmall, "--records", "r.csv"} + row.args);
    QString out;
    QDeadlineTimer deadline(20000);
    while (row.holdRecords && !out.contains("Exit bootmode\n") && process->state() != QProcess::NotRunning &&
           !deadline.hasExpired()) {
      process->waitForReadyRead(50);
      out += QString::fromLocal8Bit(process->readAllStandardOutput());
    }
    if (row.holdRecords) QThread::msleep(1000);
    ::close(held);
    const CliFolder::Result r = CliFolder::finish(*process);
    out += r.out;
    EXPECT_EQ(r.exitCode, row.exit) << qPrintable(r.err);
    EXPECT_TRUE(r.err.contains(row.err)) << qPrintable(r.err);
    const QList<QByteArray> lines = fileBytes(folder.path("r.csv")).split('\n');
    ASSERT_EQ(lines.size(), 3) << qPrintable(r.err) << qPrintable(out);  // the header, the record, nothing after its line end
    EXPECT_TRUE(lines[1].endsWith(row.tail.toUtf8() + '\r')) << lines[1].constData();
    EXPECT_TRUE(folder.ini().contains("Serial=" + row.serialAfter + "\r\n")) << folder.ini().constData();
    if (row.exit == 3) continue;
    const auto m = QRegularExpression(R"(([\d.]+) Exit bootmode\n(.*\n)*Programmed \d+ bytes in ([\d.]+) s )").match(out);
    ASSERT_TRUE(m.hasMatch()) << qPrintable(out);
    EXPECT_LE(m.captured(3).toDouble(), m.captured(1).toDouble() + 0.1) << qPrintable(out);
  }
}

// A stop signal while another program keeps the record file locked ends the
// wait at once: the record goes to the spool, and the run says why.
TEST(ProgramRun, AStopEndsTheWaitForAHeldRecordFile) {
  CliFolder folder(QStringLiteral(CALVBOOT_PATH));
  CalvsimProcess sim;
  ASSERT_TRUE(sim.started());
  folder.writeIni(portsIni({sim.slavePath()}));
  const int held = ::open(QFile::encodeName(folder.path("r.csv")).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const CliFolder::Result r = folder.run({"--program", kSmall, "--records", "r.csv"}, "Exit bootmode", SIGTERM);
  ::close(held);
  EXPECT_EQ(r.exitCode, 0) << qPrintable(r.err);  // the module was programmed before the stop
  EXPECT_TRUE(r.err.contains("run record not written: stopped while another program held r.csv")) << qPrintable(r.err);
  EXPECT_EQ(fileBytes(folder.path("r.csv")), QByteArray());
  EXPECT_TRUE(fileBytes(folder.path("production-spool.jsonl")).contains("\"final_status\":\"Done with succes\""));
}

// A line found in the terminal's default mode: a listing leaves it exactly so;
// a run leaves it raw, so that nothing the module sends later comes back to it.
TEST(ProgramRun, LeavesALineItUsedRawAndALineItLookedAtAsFound) {
  CliFolder folder(QStringLiteral(CALVBOOT_PATH));
  CalvsimProcess sim;
  ASSERT_TRUE(sim.started());
  folder.writeIni(portsIni({sim.slavePath()}));
  const LineModes found = cookLine(sim.slavePath());
  ASSERT_TRUE(found.echoes());
  EXPECT_EQ(folder.run({QStringLiteral("--list-ports")}).exitCode, 0);
  EXPECT_EQ(lineModes(sim.slavePath()), found);
  EXPECT_EQ(folder.run({QStringLiteral("--program"), kSample}).exitCode, 0);
  EXPECT_FALSE(lineModes(sim.slavePath()).echoes());
}

// --list-ports on a fake /sys, /dev and /proc: what the kernel knows of each
// present adapter, a console left unopened, a name without a device behind it
// (a locked pseudo-terminal gives EIO, as a ttyS without a UART does), and the
// serial devices no COM number reaches with their "Ports" line; an adapter
// with a serial number gets the "Adapters" line that binds it.
TEST(PortList, NamesAdaptersAndUnreachedDevices) {
  namespace fs = std::filesystem;
  CliFolder folder(QStringLiteral(CALVBOOT_PATH));
  const fs::path sys = folder.path(QStringLiteral("sys")).toStdString();
  const std::string dev = folder.path(QStringLiteral("dev")).toStdString();
  const std::string usb = "pci0000:00/0000:00:01.2/usb1/1-";
  struct Tty {
    std::string name, device;                              // device: the tty's parent under devices/
    std::vector<std::pair<std::string, std::string>> links, files;  // under devices/: to bus/, contents
  };
  const std::vector<Tty> ttys{
      {"ttyUSB0", usb + "1/1-1:1.0/ttyUSB0", {{usb + "1/1-1:1.0/ttyUSB0/driver", "usb-serial/drivers/ftdi_sio"}},
       {{usb + "1/idVendor", "0403\n"}, {usb + "1/idProduct", "6001\n"}, {usb + "1/manufacturer", "Kestrel\x1b[2J\n"},
        {usb + "1/product", "Bench Serial\n"}, {usb + "1/serial", "KB0001\n"}, {usb + "1/1-1:1.0/ttyUSB0/latency_timer", "16\n"}}},
      {"ttyUSB9", usb + "2/1-2:1.0/ttyUSB9", {{usb + "2/1-2:1.0/ttyUSB9/driver", "usb-serial/drivers/cp210x"}},
       {{usb + "2/idVendor", "10c4"}, {usb + "2/idProduct", "ea60"}, {usb + "2/serial", "0001"}}},
      {"ttyACM0", usb + "3/1-3:1.0", {{usb + "3/1-3:1.0/driver", "usb/drivers/cdc_acm"}},
       {{usb + "3/idVendor", "2e8a"}, {usb + "3/idProduct", "000a"}}},
      {"ttyS5", "pnp0/00:05", {{"pnp0/00:05/driver", "pnp/drivers/serial"}}, {{"pnp0/00:05/tty/ttyS5/type", "4\n"}}},
      {"ttyS6", "pnp0/00:06/00:06:0/00:06:0.0",
       {{"pnp0/00:06/driver", "pnp/drivers/serial"}, {"pnp0/00:06/00:06:0/subsystem", "serial-base"},
        {"pnp0/00:06/00:06:0/00:06:0.0/subsystem", "serial-base"}}, {}},
      {"ttyS4", "platform/serial8250", {{"platform/serial8250/driver", "platform/drivers/serial8250"}},
       {{"platform/serial8250/tty/ttyS4/type", "0\n"}}},
  };
  PseudoTerminal adapter;
  fs::create_directories(dev + "/serial/by-id");
  fs::create_directories(dev + "/serial/by-path");
  fs::create_directories(sys / "class/tty/tty7");  // a console: no device
  for (const Tty& t : ttys) {
    const fs::path node = sys / "devices" / t.device / "tty" / t.name;
    fs::create_directories(node);
    fs::create_directory_symlink(sys / "devices" / t.device, node / "device");
    fs::create_directory_symlink(node, sys / "class/tty" / t.name);
    for (const auto& [from, to] : t.links) {
      fs::create_directories(sys / "bus" / to);
      fs::create_directory_symlink(sys / "bus" / to, sys / "devices" / from);
    }
    for (const auto& [file, text] : t.files) writeFile(QString::fromStdString((sys / "devices" / file).string()), text.c_str());
    if (t.name != "ttyUSB0") writeFile(QString::fromStdString(dev + "/" + t.name), {});
  }
  fs::create_symlink(adapter.slavePath().toStdString(), dev + "/ttyUSB0");
  fs::create_symlink("../../ttyUSB0", dev + "/serial/by-id/usb-Kestrel_Bench_Serial_KB0001-if00-port0");
  fs::create_symlink("../../ttyUSB0", dev + "/serial/by-path/pci-0000:00:01.2-usb-0:1:1.0-port0");
  fs::create_symlink("../../ttyUSB9", dev + "/serial/by-id/usb-Other-if00-port0");
  const int locked = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(locked, 0);
  const QString silent = QString::fromLocal8Bit(::ptsname(locked));
  fs::create_directories(folder.path(QStringLiteral("proc")).toStdString());
  writeFile(folder.path(QStringLiteral("proc/consoles")), "ttyS5                -W- (EC p a)    4:69\n");
  QStringList devices{QString::fromStdString(dev + "/ttyUSB0"), silent, QString::fromStdString(dev + "/ttyS5")};
  for (int n = 4; n <= 16; ++n) devices << QStringLiteral("/dev/no-such-tty%1").arg(n);
  folder.writeIni(portsIni(devices));

  qputenv("KESTRUNE_SYSFS_ROOT", sys.c_str());
  qputenv("KESTRUNE_DEV_ROOT", dev.c_str());
  qputenv("KESTRUNE_PROC_ROOT", folder.path(QStringLiteral("proc")).toLocal8Bit());
  const CliFolder::Result r = folder.run({QStringLiteral("--list-ports")});
  for (const char* name : {"KESTRUNE_SYSFS_ROOT", "KESTRUNE_DEV_ROOT", "KESTRUNE_PROC_ROOT"}) qunsetenv(name);
  ::close(locked);
  QString expected = QStringLiteral("COM1   %1/ttyUSB0 present, free\n"
      "       driver ftdi_sio, USB 0403:6001, Kestrel?[2J, Bench Serial, serial KB0001, latency timer 16 ms\n"
      "       %1/serial/by-id/usb-Kestrel_Bench_Serial_KB0001-if00-port0\n"
      "       %1/serial/by-path/pci-0000:00:01.2-usb-0:1:1.0-port0\n"
      "       [Adapters] COM1=KB0001\n"
      "COM2   %3 present, but no device answers behind this name (Input/output error)\n"
      "COM3   %1/ttyS5 present, the system console (not opened)\n       driver serial\n");
  for (int n = 4; n <= 16; ++n) expected += QStringLiteral("COM%1 /dev/no-such-tty%2       not present\n").arg(n, -3).arg(n, -2);
  expected += QStringLiteral("Serial devices no COM number reaches; to reach one, put its line under [Ports] in %2:\n"
      "       %1/ttyACM0 COM4=%1/ttyACM0\n       driver cdc_acm, USB 2e8a:000a\n"
      "       %1/ttyS6 COM5=%1/ttyS6\n       driver serial\n"
      "       %1/ttyUSB9 COM6=%1/serial/by-id/usb-Other-if00-port0\n       driver cp210x, USB 10c4:ea60, serial 0001\n"
      "       [Adapters] COM6=0001\n");
  EXPECT_EQ(r.out, expected.arg(QString::fromStdString(dev), folder.path(QStringLiteral("setup.ini")),
                                silent.leftJustified(24)));
}

}  // namespace

namespace {

// calvboot --ports: nine fixtures from one process. One stops answering
// (COM3), one's line vanishes (COM6) and one's adapter is not the one its
// slot is bound to (COM9, refused before anything is sent): each ends alone
// with its own status, the six others pass with distinct serial numbers (COM1
// bound to its own adapter), every slot leaves its record, and the process's
// status is COM3's, the first failed.
TEST(GangRun, EightFixturesAtOnceEachEndingAlone) {
  constexpr int kSlots = 9;
  CliFolder folder(QStringLiteral(CALVBOOT_PATH));
  FakeAdapters adapters(folder);
  std::vector<std::unique_ptr<CalvsimProcess>> sims;
  QStringList devices;
  for (int n = 1; n <= kSlots; ++n) {
    QStringList options{QStringLiteral("--fixture"), QStringLiteral("--ram-out"), folder.path(QStringLiteral("ram%1").arg(n))};
    if (n == 3) options << QStringLiteral("--silent-from") << QStringLiteral("40");
    if (n == 6) options << QStringLiteral("--vanish-at") << QStringLiteral("30");
    if (n == 9) options << QStringLiteral("--counters") << folder.path(QStringLiteral("counters9"));
    sims.push_back(std::make_unique<CalvsimProcess>(options));
    ASSERT_TRUE(sims.back()->started());
    devices << sims.back()->slavePath();
  }
  devices[0] = adapters.add(0, devices[0], "KB0001");
  devices[8] = adapters.add(8, devices[8], "KB0099");  // swapped in for KB0009
  folder.writeIni(portsIni(devices, "[Calvsettings]\r\nSerial=700\r\n[Adapters]\r\nCOM1=KB0001\r\nCOM9=KB0009\r\n"));
  const CliFolder::Result r =
      folder.run({QStringLiteral("--program"), kSample, QStringLiteral("--ports"), QStringLiteral("1-9"),
                  QStringLiteral("--records"), QStringLiteral("r.csv")});
  EXPECT_EQ(r.exitCode, 2) << qPrintable(r.out) << qPrintable(r.err);
  EXPECT_TRUE(r.err.contains(QStringLiteral("calvboot: COM6 lost: /dev/pts/"))) << qPrintable(r.err);
  EXPECT_TRUE(r.err.contains(QStringLiteral("Cannot open serial port COM9 (%1): adapter serial KB0009 expected, "
                                            "found KB0099 ([Adapters] COM9 in %2)\n")
                                 .arg(devices[8], folder.path(QStringLiteral("setup.ini")))))
      << qPrintable(r.err);
  sims[8]->stop();
  EXPECT_EQ(SimProcess::counter(folder.path(QStringLiteral("counters9")), "opens"), 0);

  // The table: a row per slot in port order, with outcome, status and serial.
  const QStringList lines = r.out.split(u'\n', Qt::SkipEmptyParts);
  const auto header = std::find_if(lines.begin(), lines.end(), [](const QString& l) { return l.startsWith("Slot "); });
  ASSERT_NE(header, lines.end()) << qPrintable(r.out);
  ASSERT_EQ(lines.end() - header, kSlots + 1) << qPrintable(r.out);
  std::set<QString> serials;
  for (int n = 1; n <= kSlots; ++n) {
    const QStringList cells = header[n].split(QRegularExpression(QStringLiteral("\\s{2,}")));
    ASSERT_GE(cells.size(), 5) << qPrintable(header[n]);
    EXPECT_EQ(cells[0], QStringLiteral("COM%1").arg(n));
    const int expected = n == 3 ? 2 : n == 6 || n == 9 ? 3 : 0;
    EXPECT_EQ(cells[2].toInt(), expected) << qPrintable(header[n]);
    if (n == 9) {
      EXPECT_EQ(cells[1], QStringLiteral("port not opened"));
    }
    if (expected != 0) continue;
    EXPECT_EQ(cells[1], QStringLiteral("Done with succes"));
    serials.insert(cells[3]);
    // The serial record in the fixture's memory is the number in the table.
    sims[std::size_t(n - 1)]->stop();
    const QByteArray record = fileBytes(folder.path(QStringLiteral("ram%1").arg(n))).mid(0x7FFB, 5);
    EXPECT_EQ(record, QByteArray::fromHex("0b") + QByteArray::fromHex(QByteArray::number(cells[3].toUInt(), 16).rightJustified(8, '0')))
        << qPrintable(header[n]);
  }
  EXPECT_EQ(serials.size(), 6u);
  // Every slot's record, with its own exit status.
  const QList<QByteArray> records = fileBytes(folder.path("r.csv")).split('\n');
  ASSERT_EQ(records.size(), kSlots + 2) << fileBytes(folder.path("r.csv")).constData();
  std::multiset<QByteArray> statuses;
  for (int i = 1; i <= kSlots; ++i) statuses.insert(records[i].trimmed().split(',').last());
  EXPECT_TRUE(fileBytes(folder.path("r.csv")).contains(",Comm Port not open,3\r\n"));
  EXPECT_EQ(statuses, (std::multiset<QByteArray>{"0", "0", "0", "0", "0", "0", "2", "3", "3"}));
}

// Ctrl+C ends every slot after its command in flight, each with its record.
TEST(GangRun, AStopEndsEverySlotWithItsRecord) {
  CliFolder folder(QStringLiteral(CALVBOOT_PATH));
  std::vector<std::unique_ptr<CalvsimProcess>> sims;
  QStringList devices;
  for (int n = 0; n < 3; ++n) {
    sims.push_back(std::make_unique<CalvsimProcess>(QStringList{"--baud", "9600"}));
    ASSERT_TRUE(sims.back()->started());
    devices << sims.back()->slavePath();
  }
  folder.writeIni(portsIni(devices));
  const CliFolder::Result r = folder.run(
      {"--program", kSample, "--devices", devices.join(u','), "--records", "r.csv", "--speed", "9600"}, "bytes (25 %)");
  EXPECT_EQ(r.exitCode, 130) << qPrintable(r.out) << qPrintable(r.err);
  const QStringList rows = r.out.split(u'\n', Qt::SkipEmptyParts).mid(r.out.split(u'\n', Qt::SkipEmptyParts).size() - 3);
  for (int n = 0; n < 3; ++n) {
    const QStringList cells = rows[n].split(QRegularExpression(QStringLiteral("\\s{2,}")));
    ASSERT_GE(cells.size(), 3) << qPrintable(r.out);
    EXPECT_EQ(cells[0] + u' ' + cells[1] + u' ' + cells[2], devices[n] + QStringLiteral(" Fault 130")) << qPrintable(r.out);
    // Stopped mid-pass, as a single run: the module is left in boot mode
    // for the next pass, and each slot's line had its own traffic.
    const QString report = sims[std::size_t(n)]->stop();
    EXPECT_TRUE(report.contains(QStringLiteral("boot mode active, blocks erased: 0 1 2 3 4 5 42"))) << qPrintable(report);
  }
  const QList<QByteArray> records = fileBytes(folder.path("r.csv")).split('\n');
  ASSERT_EQ(records.size(), 5);
  for (int i = 1; i <= 3; ++i) EXPECT_TRUE(records[i].trimmed().endsWith(",130")) << records[i].constData();
}

// Each amplifier slot's line says which block its module has just checked and
// how the CRC came out; the module whose CRC differs fails alone with 5.
TEST(GangRun, EachSlotLineNamesTheBlockChecked) {
  CliFolder folder(QStringLiteral(CALVBOOT_PATH));
  CalvsimProcess good(QStringList{}), bad(QStringList{QStringLiteral("--bad-crc")});
  ASSERT_TRUE(good.started() && bad.started());
  const QString devices = good.slavePath() + u',' + bad.slavePath();
  const CliFolder::Result r = folder.run({"--program", kSample, "--devices", devices});
  EXPECT_EQ(r.exitCode, 5) << qPrintable(r.out) << qPrintable(r.err);
  EXPECT_TRUE(r.out.contains(good.slavePath() + QStringLiteral(": Programming Calvaro module, block 1 CRC ok")))
      << qPrintable(r.out);
  EXPECT_TRUE(r.out.contains(bad.slavePath() + QStringLiteral(": Programming Calvaro module, block 1 CRC differs")))
      << qPrintable(r.out);
}

// A slot bound to an adapter runs only on that adapter: another one, or none,
// behind its device refuses the run before the device is even opened, with a
// record and status 3. A bound port opens the adapter's own node, so a link
// planted in its place cannot lead the run to another line.
TEST(AdapterBinding, RunsOnlyOnTheBoundAdapter) {
  const struct {
    const char* name;
    const char* ports;     // [Ports] COM3: "adapter", "pty" or "planted"
    const char* adapters;  // [Adapters] COM3, if any
    QStringList args;      // "ADAPTER" stands for the adapter's node
    int exit;
    const char* refusal;  // after "Cannot open serial port "; %1 the device, %2 setup.ini
  } rows[] = {
      {"another adapter", "adapter", "KB0030", {"--port", "3"}, 3,
       "COM3 (%1): adapter serial KB0030 expected, found KB0003 ([Adapters] COM3 in %2)"},
      {"no adapter", "pty", "KB0003", {"--port", "3"}, 3,
       "COM3 (%1): adapter serial KB0003 expected, found none ([Adapters] COM3 in %2)"},
      {"planted link", "planted", "KB0003", {"--port", "3"}, 0, nullptr},
      {"another on the command line", "adapter", "KB0003", {"--devices", "ADAPTER=KB0030"}, 3,
       "%1: adapter serial KB0030 expected, found KB0003 (--devices)"},
      {"its own on the command line", "pty", nullptr, {"--devices", "ADAPTER=KB0003"}, 0, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    CliFolder folder(QStringLiteral(CALVBOOT_PATH));
    FakeAdapters adapters(folder);
    CalvsimProcess bound({QStringLiteral("--counters"), folder.path(QStringLiteral("bound"))});
    CalvsimProcess other({QStringLiteral("--counters"), folder.path(QStringLiteral("other"))});
    ASSERT_TRUE(bound.started() && other.started());
    const QString node = adapters.add(2, bound.slavePath(), "KB0003");
    QString device = row.ports == std::string("adapter") ? node : bound.slavePath();
    if (row.ports == std::string("planted")) {
      // Named like the adapter, leading to another line.
      device = folder.path(QStringLiteral("planted/ttyUSB2"));
      std::filesystem::create_directories(folder.path(QStringLiteral("planted")).toStdString());
      std::filesystem::create_symlink(other.slavePath().toStdString(), device.toStdString());
    }
    QByteArray ini = "[Ports]\r\nCOM3=" + device.toUtf8() + "\r\n";
    if (row.adapters) ini += QByteArray("[Adapters]\r\nCOM3=") + row.adapters + "\r\n";
    folder.writeIni(ini);
    QStringList args{QStringLiteral("--program"), kSmall, QStringLiteral("--records"), QStringLiteral("r.csv")};
    for (const QString& arg : row.args) args << QString(arg).replace(QStringLiteral("ADAPTER"), node);
    const CliFolder::Result r = folder.run(args);
    EXPECT_EQ(r.exitCode, row.exit) << qPrintable(r.out) << qPrintable(r.err);
    bound.stop();
    other.stop();
    EXPECT_EQ(SimProcess::counter(folder.path(QStringLiteral("other")), "opens"), 0);
    EXPECT_EQ(SimProcess::counter(folder.path(QStringLiteral("bound")), "opens"), row.exit == 0 ? 1 : 0);
    if (row.exit == 0) continue;
    const QString reason = QString::fromUtf8(row.refusal)
                               .replace(QStringLiteral("%1"), device)
                               .replace(QStringLiteral("%2"), folder.path(QStringLiteral("setup.ini")));
    const QString refusal = QStringLiteral("Cannot open serial port ") + reason;
    EXPECT_TRUE(r.err.contains(refusal + u'\n')) << qPrintable(r.err);
    EXPECT_TRUE(fileBytes(folder.path("r.csv")).contains(",Comm Port not open,3\r\n"));
    // --list-ports says why the port would not open.
    if (row.args.first() == QStringLiteral("--port")) {
      const QString listed = folder.run({QStringLiteral("--list-ports")}).out;
      const QString why = reason.section(QStringLiteral("): "), 1);
      EXPECT_TRUE(listed.contains(QStringLiteral("%1 refused: %2\n").arg(device, -24).arg(why))) << qPrintable(listed);
    }
  }
}

TEST(GangRun, PortListsAreCheckedBeforeAnythingIsSent) {
  CliFolder folder(QStringLiteral(CALVBOOT_PATH));
  const QStringList run{QStringLiteral("--program"), kSmall};
  for (const QStringList& bad : {QStringList{"--ports", "1,1"}, QStringList{"--ports", "3-1"},
                                 QStringList{"--ports", "0-2"}, QStringList{"--ports", "1,17"},
                                 QStringList{"--ports", "1", "--port", "2"}, QStringList{"--devices", "a,,b"},
                                 QStringList{"--devices", "a=,b"}, QStringList{"--devices", "a=X,a=Y"},
                                 QStringList{"--ports", "1", "--devices", "a"}, QStringList{"--ports", "1-2", "--window"},
                                 QStringList{"--station", "--ports", "1,1"}}) {
    const CliFolder::Result r = folder.run(run + bad);
    EXPECT_EQ(r.exitCode, 64) << qPrintable(bad.join(u' ')) << qPrintable(r.err);
  }
}

}  // namespace

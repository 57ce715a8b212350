// romlift --upload as a production script runs it: the program copied into a
// folder with its setup.ini, bootsim at the far end.
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <csignal>

#include <tests/sim/SimProcess.h>
#include <tests/support/CliFolder.h>
#include <tests/support/PtyBench.h>

namespace {

const QString kSample = QStringLiteral(EXAMPLES_DIR "/dv-9.s19");
const QString kDamaged = QStringLiteral(EXAMPLES_DIR "/dv-9-damaged.s19");

struct Row {
  const char* name;
  QStringList sim = {}, args = {};  // in args, "FILE" stands for the file
  int exit;
  const char* last;              // how stdout's last line ends
  QString err = {};              // what standard error must hold
  const char* report = nullptr;  // the report's "Status", or nullptr: no report
  // file empty: the sample with LF line ends; interruptAt: SIGINT once standard output shows it.
  QString file = kSample, interruptAt = {};
  int signal = SIGINT;
  const char* record = nullptr;  // how the record's line ends (final_status,exit_status); nullptr: not checked
};

TEST(UploadRun, ExitStatuses) {
  const QStringList run{"--upload", "FILE", "--delay", "150", "--records", "r.csv"};
  const std::vector<Row> rows{
      {"success", {}, run, 0, "Updated with success", {}, "Succes"},
      {"in the window", {}, run + QStringList{"--window"}, 0, "Updated with success", {}, "Succes"},
      {"no OK", {"--no-ok"}, run, 1, "Update Failed", {}, "Failed"},
      {"refused", {}, run, 2, "Wrong File", {}, nullptr, kDamaged},
      {.name = "no port", .args = run + QStringList{"--device", "/dev/no-such-tty"}, .exit = 3,
       .last = "DV-9 is in bootmode.", .err = "Romlift: Comm Port not available!", .record = ",Comm Port not available!,3"},
      {"no boot loader", {"--no-announce"}, run + QStringList{"--wait-boot", "1"}, 4, "Port closed",
       "no boot loader within 1 s"},
      {"not valid, LF only", {}, run, 5, "File not valid for any Amplifier or CD player", "unix2dos", nullptr, {}},
      {"unreadable file", {}, run, 5, "File not valid for any Amplifier or CD player", "cannot read", nullptr,
       kSample + ".missing"},
      {"cancelled", {}, run, 130, "Update cancelled", {}, "Cancelled", kSample, "updating..."},
      {"terminal closed", {}, run, 129, "Update cancelled", {}, "Cancelled", kSample, "updating...", SIGHUP},
      {"device gone waiting", {"--no-announce", "--vanish-after", "0", "--vanish-delay", "2000"}, run, 3,
       "Port closed", "romlift: COM1 lost: /dev/pts/"},
      {"device gone uploading", {"--vanish-after", "3"}, run, 3, "Update Failed", "romlift: COM1 lost: /dev/pts/",
       "Failed"},
      {"cancelled waiting", {"--no-announce"}, run, 130, "Port closed", {}, nullptr, kSample, "Waiting for response"},
      {"version", {}, {"--version"}, 0, "Romlift Version 1.16"},
      {"bad delay", {}, run + QStringList{"--delay", "fast"}, 64, "", "--delay takes"},
      {"missing file", {}, {"--speed", "9600"}, 64, "", "missing --upload"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CliFolder folder(QStringLiteral(ROMLIFT_PATH));
    BootSimProcess sim(row.sim);
    ASSERT_TRUE(sim.started());
    const QString ini = QStringLiteral("[Ports]\r\nCOM1=%1\r\n").arg(sim.slavePath());
    folder.writeIni(ini.toUtf8());
    const QString file = row.file.isEmpty() ? folder.path(QStringLiteral("lf.s19")) : row.file;
    if (row.file.isEmpty()) {
      ASSERT_TRUE(writeFile(file, fileBytes(kSample).replace("\r\n", "\n")));
    }
    const QStringList args = QStringList(row.args).replaceInStrings(QRegularExpression("^FILE$"), file);
    const CliFolder::Result r = folder.run(args, row.interruptAt, row.signal);
    EXPECT_EQ(r.exitCode, row.exit) << qPrintable(r.err);
    EXPECT_TRUE(*row.last ? r.lastLine().endsWith(QString::fromLatin1(row.last)) : r.out.isEmpty()) << qPrintable(r.out);
    EXPECT_TRUE(r.err.contains(row.err)) << qPrintable(r.err);
    if (row.record) {
      EXPECT_TRUE(fileBytes(folder.path("r.csv")).endsWith(row.record + QByteArray("\r\n")));
    }
    // The report is all that a run writes; its time is masked.
    QString written = QString::fromUtf8(folder.ini());
    written.replace(QRegularExpression(QStringLiteral("\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d")), QStringLiteral("TIME"));
    const QString report = "[Romlifter]\r\nProduct=DV-9\r\nFile name=%1\r\nUpload time=TIME\r\nStatus=%2\r\n";
    EXPECT_EQ(written, ini + (row.report ? report.arg(file, QString::fromLatin1(row.report)) : QString()));
    // The lines bootsim took are the matrix's; progress shows on the console only.
    EXPECT_TRUE(QByteArray(row.report) != "Succes" || row.args.contains(QStringLiteral("--window")) ||
                r.out.contains(QStringLiteral("\n10 / 10 lines sent (100 %)\n")));
  }
}

// A line found echoing is left raw by an upload: the boot loader's "..." is
// never sent back into it.
TEST(UploadRun, LeavesTheLineRaw) {
  CliFolder folder(QStringLiteral(ROMLIFT_PATH));
  BootSimProcess sim;
  ASSERT_TRUE(sim.started());
  folder.writeIni(QStringLiteral("[Ports]\r\nCOM1=%1\r\n").arg(sim.slavePath()).toUtf8());
  ASSERT_TRUE(cookLine(sim.slavePath()).echoes());
  EXPECT_EQ(folder.run({QStringLiteral("--upload"), kSample, QStringLiteral("--delay"), QStringLiteral("150")}).exitCode, 0);
  EXPECT_FALSE(lineModes(sim.slavePath()).echoes());
}

}  // namespace

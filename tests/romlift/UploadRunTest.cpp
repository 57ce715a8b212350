// romlift --upload as a production script runs it: the program copied into a
// folder with its setup.ini, bootsim at the far end.
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include "SimProcess.h"
#include <CliFolder.h>

namespace {

const QString kSample = QStringLiteral(EXAMPLES_DIR "/dv-9.s19");
const QString kDamaged = QStringLiteral(EXAMPLES_DIR "/dv-9-damaged.s19");

struct Row {
  const char* name;
  QStringList sim, args;  // in args, "FILE" stands for the file
  QString file;           // empty: the sample with LF line ends
  int exit;
  const char* last;    // how stdout's last line ends
  QString err;         // what standard error must hold
  const char* report;  // the report's "Status", or nullptr: no report
  const char* interruptAt = nullptr;
};

TEST(UploadRun, ExitStatuses) {
  const QStringList run{"--upload", "FILE", "--delay", "150"};
  const std::vector<Row> rows{
      {"success", {}, run, kSample, 0, "Updated with success", {}, "Succes"},
      {"in the window", {}, run + QStringList{"--window"}, kSample, 0, "Updated with success", {}, "Succes"},
      {"no OK", {"--no-ok"}, run, kSample, 1, "Update Failed", {}, "Failed"},
      {"refused", {}, run, kDamaged, 2, "Wrong File", {}, nullptr},
      {"no port", {}, run + QStringList{"--device", "/dev/no-such-tty"}, kSample, 3, "DV-9 is in bootmode.",
       "Romlift: Comm Port not available!", nullptr},
      {"no boot loader", {"--no-announce"}, run + QStringList{"--wait-boot", "1"}, kSample, 4, "Port closed",
       "no boot loader within 1 s", nullptr},
      {"not valid, LF only", {}, run, {}, 5, "File not valid for any Amplifier or CD player", "unix2dos", nullptr},
      {"unreadable file", {}, run, kSample + ".missing", 5, "File not valid for any Amplifier or CD player",
       "cannot read", nullptr},
      {"cancelled", {}, run, kSample, 130, "Update cancelled", {}, "Cancelled", "updating..."},
      {"cancelled waiting", {"--no-announce"}, run, kSample, 130, "Port closed", {}, nullptr, "Waiting for response"},
      {"version", {}, {"--version"}, kSample, 0, "Romlift Version 1.16", {}, nullptr},
      {"bad delay", {}, run + QStringList{"--delay", "fast"}, kSample, 64, "", "--delay takes", nullptr},
      {"missing file", {}, {"--speed", "9600"}, kSample, 64, "", "missing --upload", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CliFolder folder(QStringLiteral(ROMLIFT_PATH));
    BootSimProcess sim(row.sim);
    ASSERT_TRUE(sim.started());
    const QByteArray ini = QStringLiteral("[Ports]\r\nCOM1=%1\r\n").arg(sim.slavePath()).toUtf8();
    folder.writeIni(ini);
    QString file = row.file;
    if (file.isEmpty()) {
      file = folder.path(QStringLiteral("lf.s19"));
      QFile in(kSample), out(file);
      ASSERT_TRUE(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
      out.write(in.readAll().replace("\r\n", "\n"));
    }
    QStringList args = row.args;
    args.replaceInStrings(QRegularExpression(QStringLiteral("^FILE$")), file);
    const CliFolder::Result r = folder.run(args, QString::fromLatin1(row.interruptAt ? row.interruptAt : ""));
    EXPECT_EQ(r.exitCode, row.exit) << qPrintable(r.err);
    EXPECT_TRUE(*row.last ? r.lastLine().endsWith(QString::fromLatin1(row.last)) : r.out.isEmpty()) << qPrintable(r.out);
    EXPECT_TRUE(r.err.contains(row.err)) << qPrintable(r.err);
    // The report is all that a run writes; its time is masked.
    EXPECT_TRUE(folder.ini().startsWith(ini));
    QString report = QString::fromUtf8(folder.ini().mid(ini.size()));
    report.replace(QRegularExpression(QStringLiteral("\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d")), QStringLiteral("TIME"));
    EXPECT_EQ(report, row.report ? QStringLiteral("[Romlifter]\r\nProduct=DV-9\r\nFile name=%1\r\nUpload time=TIME\r\n"
                                                  "Status=%2\r\n").arg(file, QString::fromLatin1(row.report))
                                 : QString());
    // The lines bootsim took are the matrix's; progress shows on the console only.
    EXPECT_TRUE(QByteArray(row.report) != "Succes" || row.args.contains(QStringLiteral("--window")) ||
                r.out.contains(QStringLiteral("\n10 / 10 lines sent (100 %)\n")));
  }
}

}  // namespace

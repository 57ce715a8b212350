#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <QDirIterator>
#include <QMap>

#include <production/CsvRecords.h>
#include <production/Production.h>
#include <production/Spool.h>
#include <settings/SettingsLock.h>
#include <tests/support/PtyBench.h>

#include <chrono>
#include <csignal>
#include <functional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

// A database that goes away in the middle of a delivery: the records it took
// leave the spool, the others stay in their order, and the next delivery
// starts where the last one stopped.
TEST(Spool, DeliversInOrderAndKeepsWhatWasNotTaken) {
  QTemporaryDir dir;
  Spool spool(QDir(dir.path()).filePath(QStringLiteral("setup.ini")));
  for (const char* uid : {"a", "b", "c"}) {
    RunRecord r;
    r.uid = QString::fromLatin1(uid);
    r.firmwarePath = QStringLiteral("fw, \"v1\"\nx");
    ASSERT_EQ(spool.append(r), QString());
  }
  QStringList stored;
  QString error;
  EXPECT_FALSE(spool.deliver([&](const RunRecord& r) {
    if (stored.size() == 1) return false;
    stored << r.uid + u'|' + r.firmwarePath;
    return true;
  }, error));
  EXPECT_TRUE(spool.deliver([&](const RunRecord& r) { return stored << r.uid, true; }, error));
  EXPECT_EQ(stored, (QStringList{QStringLiteral("a|fw, \"v1\"\nx"), QStringLiteral("b"), QStringLiteral("c")}));
  EXPECT_FALSE(QFile::exists(spool.path()));
  EXPECT_TRUE(error.isEmpty());
}

TEST(RunRecordText, CsvFieldsAndUrisWithoutPasswords) {
  EXPECT_EQ(CsvRecords::field(QStringLiteral("plain")), "plain");
  EXPECT_EQ(CsvRecords::field(QStringLiteral("a,b \"c\"")), "\"a,b \"\"c\"\"\"");
  EXPECT_EQ(CsvRecords::field(QStringLiteral("two\r\nlines")), "\"two\r\nlines\"");
  EXPECT_EQ(CsvRecords::field(QStringLiteral("Grüße")), "Grüße");
  // Text a spreadsheet would take for a formula stays text.
  EXPECT_EQ(CsvRecords::field(QStringLiteral("=HYPERLINK(\"x\")")), "\"'=HYPERLINK(\"\"x\"\")\"");
  for (const char* start : {"+1", "-1", "@SUM(A1)", "\tx", "\rx"})
    EXPECT_TRUE(CsvRecords::field(QString::fromLatin1(start)).startsWith(QByteArray("'") + start[0]) ||
                CsvRecords::field(QString::fromLatin1(start)).startsWith(QByteArray("\"'") + start[0]))
        << start;
  for (const char* uri : {"postgresql://line:s%23cret@db/prod", "postgresql://line@db/prod?password=s%23cret",
                          "postgresql://line:s#cret@db/prod"}) {
    const QString shown = withoutPassword(QString::fromLatin1(uri));
    EXPECT_FALSE(shown.contains(u"cret")) << qPrintable(shown);
  }
  EXPECT_EQ(withoutPassword(QStringLiteral("postgresql://line:pw@db:5433/prod?sslmode=require")),
            QStringLiteral("postgresql://line@db:5433/prod?sslmode=require"));
}

namespace {

RunRecord recordFor(const char* uid) {
  RunRecord r;
  r.uid = QString::fromLatin1(uid);
  r.program = QStringLiteral("calvboot");
  return r;
}

// Every file under `root` with its bytes (links as their targets' names).
QMap<QString, QByteArray> snapshot(const QString& root) {
  QMap<QString, QByteArray> files;
  QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QFileInfo info(it.next());
    files[info.filePath()] = info.isSymLink() ? "-> " + QFile::encodeName(info.symLinkTarget())
                             : info.isFile()  ? fileBytes(info.filePath())
                                              : QByteArray("(other)");
  }
  return files;
}

}  // namespace

// What a group member can plant in a shared station folder: the "Records"
// value and the kind of file found at its place. No record leaves the
// folder, nothing outside it changes, nothing blocks, and each refusal is
// one line naming what was refused.
TEST(StationRecords, PlantedPathsAndFileKinds) {
  const struct {
    const char* name;
    QString records;        // the "Records" value
    std::function<void(const QString& station, const QString& outside)> plant;
    QString written;         // the file inside the station that gets the record, or empty
    QString said;            // part of the one message, or empty for none
  } rows[] = {
      {"a file beside setup.ini", "runs.csv", {}, "runs.csv", ""},
      {"a file in a folder below", "records/runs.csv",
       [](const QString& s, const QString&) { QDir(s).mkdir("records"); }, "records/runs.csv", ""},
      {"an absolute path", "%outside%/victim", {}, "", "[Production] Records=%outside%/victim refused"},
      {"a path that climbs out", "../outside/victim", {}, "", "[Production] Records=../outside/victim refused"},
      {"a path that climbs out and back", "records/../runs.csv",
       [](const QString& s, const QString&) { QDir(s).mkdir("records"); }, "", "refused"},
      {"a link in the folder's place", "records/runs.csv",
       [](const QString& s, const QString& o) { QFile::link(o, s + "/records"); }, "", "symbolic link on the way"},
      {"a link in the file's place", "runs.csv",
       [](const QString& s, const QString& o) { QFile::link(o + "/victim", s + "/runs.csv"); }, "",
       "symbolic link on the way"},
      {"a FIFO in the file's place", "runs.csv",
       [](const QString& s, const QString&) { ASSERT_EQ(::mkfifo(QFile::encodeName(s + "/runs.csv"), 0666), 0); },
       "", "not a regular file"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    QTemporaryDir top;
    const QString station = top.filePath("station"), outside = top.filePath("outside");
    QDir().mkpath(station);
    QDir().mkpath(outside);
    ASSERT_TRUE(writeFile(outside + "/victim", "export PATH=/usr/bin\n"));
    if (row.plant) row.plant(station, outside);
    QString records = row.records;
    records.replace("%outside%", outside);
    const QString ini = station + "/setup.ini";
    ASSERT_TRUE(writeFile(ini, "[Production]\r\nRecords=" + records.toUtf8() + "\r\n"));
    const auto before = snapshot(outside);

    QStringList messages;
    Production production(ProductionConfig::fromIni(ini), [&](const QString& m) { messages << m; });
    const auto start = std::chrono::steady_clock::now();
    production.keep(recordFor("r1"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);

    EXPECT_EQ(snapshot(outside), before);
    if (row.written.isEmpty()) {
      QString said = row.said;
      said.replace("%outside%", outside);
      ASSERT_EQ(messages.size(), 1) << messages.join(" / ").toStdString();
      EXPECT_TRUE(messages[0].contains(said)) << messages[0].toStdString();
    } else {
      EXPECT_EQ(messages, QStringList());
      EXPECT_TRUE(fileBytes(station + "/" + row.written).contains(",r1,") ||
                  fileBytes(station + "/" + row.written).contains("r1,"));
    }
  }
}

// A record file another program keeps locked is not waited for longer than
// the settings lock: the record goes to the spool, and the run says so.
TEST(StationRecords, AHeldRecordFileSendsTheRecordToTheSpool) {
  QTemporaryDir dir;
  const QString ini = dir.filePath("setup.ini");
  ASSERT_TRUE(writeFile(ini, "[Production]\r\nRecords=runs.csv\r\n"));
  ASSERT_TRUE(writeFile(dir.filePath("runs.csv"), ""));
  const int held = ::open(QFile::encodeName(dir.filePath("runs.csv")), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  QStringList messages;
  Production production(ProductionConfig::fromIni(ini), [&](const QString& m) { messages << m; });
  const auto start = std::chrono::steady_clock::now();
  production.keep(recordFor("held"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  ::close(held);
  EXPECT_EQ(fileBytes(dir.filePath("runs.csv")), "");
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains("held") && messages[0].contains("production-spool.jsonl")) << qPrintable(messages[0]);
  QStringList spooled;
  QString error;
  EXPECT_TRUE(Spool(ini).deliver([&](const RunRecord& r) { return spooled << r.uid, true; }, error));
  EXPECT_EQ(spooled, QStringList{"held"});
}

// Appends around a failed write and a line a crash left unfinished: every
// record arrives once, in order; the unreadable line is moved aside and
// named, and holds nothing back.
TEST(Spool, AFailedAppendAndAnUnfinishedLineLoseNothing) {
  QTemporaryDir dir;
  const QString ini = dir.filePath("setup.ini");
  Spool spool(ini);
  ASSERT_EQ(spool.append(recordFor("100")), QString());
  {
    // The disk full for the next record: nothing of it may stay behind.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit tight = old;
    tight.rlim_cur = rlim_t(QFileInfo(spool.path()).size() + 20);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    EXPECT_NE(spool.append(recordFor("lost")), QString());
    ::setrlimit(RLIMIT_FSIZE, &old);
  }
  {
    QFile f(spool.path());
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("{\"uid\":\"cut");  // what a crash mid-append leaves
  }
  ASSERT_EQ(spool.append(recordFor("101")), QString());
  ASSERT_EQ(spool.append(recordFor("102")), QString());

  QStringList stored;
  QString error;
  EXPECT_TRUE(spool.deliver([&](const RunRecord& r) { return stored << r.uid, true; }, error));
  EXPECT_EQ(stored, (QStringList{"100", "101", "102"}));
  EXPECT_TRUE(error.contains(dir.filePath("production-spool.unreadable"))) << qPrintable(error);
  EXPECT_EQ(fileBytes(dir.filePath("production-spool.unreadable")), "{\"uid\":\"cut\n");
  EXPECT_FALSE(QFile::exists(spool.path()));
}

// A spool planted as a link or a FIFO is neither read through nor written
// to, and the run is told.
TEST(Spool, APlantedSpoolIsNamedNotUsed) {
  for (const bool fifo : {false, true}) {
    SCOPED_TRACE(fifo ? "FIFO" : "link");
    QTemporaryDir dir;
    const QString ini = dir.filePath("setup.ini");
    Spool spool(ini);
    ASSERT_TRUE(writeFile(dir.filePath("other.jsonl"), "{\"uid\":\"planted\"}\n"));
    if (fifo)
      ASSERT_EQ(::mkfifo(QFile::encodeName(spool.path()), 0666), 0);
    else
      ASSERT_TRUE(QFile::link(dir.filePath("other.jsonl"), spool.path()));
    QStringList stored;
    QString error;
    EXPECT_TRUE(spool.deliver([&](const RunRecord& r) { return stored << r.uid, true; }, error));
    EXPECT_EQ(stored, QStringList());
    EXPECT_TRUE(error.contains("not a plain file")) << qPrintable(error);
    EXPECT_NE(spool.append(recordFor("r")), QString());
    EXPECT_EQ(fileBytes(dir.filePath("other.jsonl")), "{\"uid\":\"planted\"}\n");
  }
}

// Without the settings lock (another program holds it) a record is not
// appended behind a delivery's back: nothing is written, and the caller is told.
TEST(Spool, AnAppendWithoutTheLockWritesNothingAndSaysSo) {
  QTemporaryDir dir;
  const QString ini = dir.filePath("setup.ini");
  Spool spool(ini);
  const int held = ::open(QFile::encodeName(SettingsLock::lockFileFor(ini)), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const QString error = spool.append(recordFor("late"));
  ::close(held);
  EXPECT_TRUE(error.contains("another program held")) << qPrintable(error);
  EXPECT_FALSE(QFile::exists(spool.path()));
}

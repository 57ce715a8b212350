#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <production/CsvRecords.h>
#include <production/Spool.h>

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
  for (const char* uri : {"postgresql://line:s%23cret@db/prod", "postgresql://line@db/prod?password=s%23cret",
                          "postgresql://line:s#cret@db/prod"}) {
    const QString shown = withoutPassword(QString::fromLatin1(uri));
    EXPECT_FALSE(shown.contains(u"cret")) << qPrintable(shown);
  }
  EXPECT_EQ(withoutPassword(QStringLiteral("postgresql://line:pw@db:5433/prod?sslmode=require")),
            QStringLiteral("postgresql://line@db:5433/prod?sslmode=require"));
}

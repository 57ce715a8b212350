#include <QDir>
#include <QFileInfo>

#include "SerialTestSupport.h"

namespace {

// The six header lines, each 107 characters, as written for one start time.
QByteArray header(const char* stamp) {
  const QByteArray stars(107, '*'), blank = '*' + QByteArray(105, ' ') + '*';
  const QByteArray title = "*   Logfile for serial comunication between PC and Kestrune products" + QByteArray(38, ' ');
  const QByteArray start = "*   Start time : " + QByteArray(stamp) + QByteArray(70, ' ');
  return QByteArrayList{stars, title + '*', blank, start + '*', blank, stars}.join("\r\n") + "\r\n";
}

class TrafficLogTest : public SerialFormTest {
 protected:
  void SetUp() override {
    SerialFormTest::SetUp();
    makeLink(Rule::Frame, Timing{.clock = [this] { return now; }});
  }
  QDateTime now{QDate(2026, 12, 5), QTime(21, 3, 11)};
  const QString logFile = path("Log.txt");
};

// The header carries the time of ticking, each line its own.
TEST_F(TrafficLogTest, TickReplacesAReadOnlyOldLogUntickStopsRetickStartsAFreshLog) {
  QFile old(logFile);
  ASSERT_TRUE(old.open(QIODevice::WriteOnly) && old.write("old run\r\n") > 0);
  old.close();
  ASSERT_TRUE(old.setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
  form->ChkLog->click();
  EXPECT_TRUE(link->LogOn);
  now = QDateTime(QDate(2027, 1, 2), QTime(3, 4, 5));
  form->SetLogOn();  // ticked already: the running log goes on untouched
  ASSERT_TRUE(link->SetupMScomm(kPort, 0));
  link->SendMScommString(QByteArray("\x06\x01\x00", 3));
  ASSERT_EQ(pty.read(3, 1s).size(), 3);
  now = now.addSecs(60);
  ASSERT_TRUE(deliver(QByteArray("\x03\x01\x00", 3)));
  const QByteArray first = header("05.12.2026 21.03.11") + "02.01.2027 03.04.05 TX: 06 01 00 \r\n"
                                                           "02.01.2027 03.05.05 RX: 03 01 00 \r\n";
  EXPECT_EQ(fileBytes(logFile), first);

  form->ChkLog->click();
  EXPECT_FALSE(link->LogOn);
  link->WriteOut(QStringLiteral("TX: 02 "));
  link->WriteIn(QStringLiteral("RX: 03 "));
  EXPECT_EQ(fileBytes(logFile), first);
  EXPECT_EQ(form->Text1->text(), QStringLiteral("TX: 02 "));

  now = QDateTime(QDate(2026, 12, 6), QTime(7, 8, 9));
  form->ChkLog->click();
  link->WriteIn(QStringLiteral("RX: 04 "));
  EXPECT_EQ(fileBytes(logFile), header("06.12.2026 07.08.09") + "06.12.2026 07.08.09 RX: 04 \r\n");
}

TEST_F(TrafficLogTest, UnwritableLogDropsLinesWhileTrafficGoesOn) {
  ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("a-folder")));
  QStringList told;
  link->setMessageSink([&](const QString& line) { told << line; });
  for (const QString& target : {path("missing/Log.txt"), path("a-folder")}) {
    link->LogFileName = target;
    form->ChkLog->setChecked(false);
    form->ChkLog->click();
    EXPECT_TRUE(link->LogOn);
    ASSERT_TRUE(link->SetupMScomm(kPort, 0));
    link->SendMScommString(QByteArray("\x02\x05", 2));
    EXPECT_EQ(pty.read(2, 1s), QByteArray("\x02\x05", 2));
    ASSERT_TRUE(deliver(QByteArray("\x02\x06", 2)));
    EXPECT_EQ(form->Text1->text() + form->Text2->text(), QStringLiteral("TX: 02 05 RX: 02 06 "));
    link->ReplyBuffer.clear();
  }
  EXPECT_FALSE(QFileInfo::exists(path("missing")));
  EXPECT_TRUE(QFileInfo(path("a-folder")).isDir());
  EXPECT_FALSE(QFileInfo::exists(logFile));
  // Something planted where the log goes is named once; a missing folder is not.
  EXPECT_EQ(told, QStringList{path("a-folder") + " is not a regular file: the traffic log is not written"});
}

}  // namespace

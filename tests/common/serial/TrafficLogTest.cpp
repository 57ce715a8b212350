#include <QDir>
#include <QFileInfo>

#include "SerialTestSupport.h"

namespace {

const QString kStamp1 = QStringLiteral("05.12.2026 21.03.11");
const QString kStamp2 = QStringLiteral("06.12.2026 07.08.09");

QByteArray header(const QString& stamp) {
  const QString stars(107, u'*');
  const QString blank = u'*' + QString(105, u' ') + u'*';
  const QStringList lines = {
      stars,
      QStringLiteral("*   Logfile for serial comunication between PC and Kestrune products") + QString(38, u' ') + u'*',
      blank,
      QStringLiteral("*   Start time : ") + stamp + QString(70, u' ') + u'*',
      blank,
      stars,
  };
  QByteArray out;
  for (const QString& line : lines) {
    EXPECT_EQ(line.size(), 107) << line.toStdString();
    out += line.toLatin1() + "\r\n";
  }
  return out;
}

class TrafficLogTest : public SerialFormTest {
 protected:
  void SetUp() override {
    SerialFormTest::SetUp();
    makeForm(ComForm::Host::Calvboot);
    now = QDateTime(QDate(2026, 12, 5), QTime(21, 3, 11));
    form->trafficLog().setClock([this] { return now; });
    logFile = path(QStringLiteral("Log.txt"));
  }
  QDateTime now;
  QString logFile;
};

TEST_F(TrafficLogTest, TimeStampIsDayMonthYearAndTwentyFourHourTimeWithDots) {
  EXPECT_EQ(form->LogTimestamp(), kStamp1);
  now = QDateTime(QDate(2027, 1, 2), QTime(3, 4, 5));
  EXPECT_EQ(form->LogTimestamp(), QStringLiteral("02.01.2027 03.04.05"));
}

TEST_F(TrafficLogTest, TickingWritesTheHeaderThenEachLineIsStamped) {
  EXPECT_FALSE(QFile::exists(logFile));
  form->ChkLog->click();
  EXPECT_TRUE(form->LogOn);
  EXPECT_EQ(fileBytes(logFile), header(kStamp1));

  ASSERT_TRUE(form->SetupMScomm(kPort, 0));
  form->SendMScommString(QByteArray("\x06\x01\x00", 3));
  ASSERT_EQ(pty.read(3, 1s).size(), 3);
  ASSERT_TRUE(deliver(QByteArray("\x03\x01\x00", 3)));
  EXPECT_EQ(fileBytes(logFile), header(kStamp1) + "05.12.2026 21.03.11 TX: 06 01 00 \r\n"
                                                  "05.12.2026 21.03.11 RX: 03 01 00 \r\n");

  EXPECT_TRUE(form->LogWriteLine(QStringLiteral("plain"), false));
  EXPECT_TRUE(fileBytes(logFile).endsWith("\r\nplain\r\n"));
}

TEST_F(TrafficLogTest, UntickStopsAndKeepsTheFileRetickStartsAFreshOne) {
  form->ChkLog->click();
  form->WriteOut(QStringLiteral("TX: 01 "));
  const QByteArray first = fileBytes(logFile);

  form->ChkLog->click();
  EXPECT_FALSE(form->LogOn);
  form->WriteOut(QStringLiteral("TX: 02 "));
  form->WriteIn(QStringLiteral("RX: 03 "));
  EXPECT_EQ(fileBytes(logFile), first);
  EXPECT_EQ(form->Text1->text(), QStringLiteral("TX: 02 "));

  now = QDateTime(QDate(2026, 12, 6), QTime(7, 8, 9));
  form->ChkLog->click();
  form->WriteIn(QStringLiteral("RX: 04 "));
  EXPECT_EQ(fileBytes(logFile), header(kStamp2) + "06.12.2026 07.08.09 RX: 04 \r\n");
}

TEST_F(TrafficLogTest, SetLogOnTicksOnceAndLeavesARunningLogAlone) {
  form->SetLogOn();
  EXPECT_TRUE(form->ChkLog->isChecked());
  EXPECT_TRUE(form->LogOn);
  form->WriteOut(QStringLiteral("TX: 01 "));
  const QByteArray running = fileBytes(logFile);
  ASSERT_FALSE(running.isEmpty());

  now = now.addSecs(60);
  form->SetLogOn();
  EXPECT_EQ(fileBytes(logFile), running);
  EXPECT_TRUE(form->LogOn);
}

TEST_F(TrafficLogTest, ReadOnlyLogFromAnEarlierRunIsReplaced) {
  {
    QFile old(logFile);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old run\r\n");
  }
  ASSERT_TRUE(QFile::setPermissions(logFile, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
  form->ChkLog->click();
  EXPECT_EQ(fileBytes(logFile), header(kStamp1));
}

TEST_F(TrafficLogTest, UnwritableLogDropsLinesWhileTrafficGoesOn) {
  const QString folderPath = path(QStringLiteral("a-folder"));
  ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("a-folder")));
  for (const QString& target : {path(QStringLiteral("missing/Log.txt")), folderPath}) {
    form->LogFileName = target;
    form->ChkLog->setChecked(false);
    form->ChkLog->click();
    EXPECT_TRUE(form->LogOn);

    ASSERT_TRUE(form->SetupMScomm(kPort, 0));
    form->SendMScommString(QByteArray("\x02\x05", 2));
    EXPECT_EQ(pty.read(2, 1s), QByteArray("\x02\x05", 2));
    EXPECT_EQ(form->Text1->text(), QStringLiteral("TX: 02 05 "));
    form->ClearMScommInput();
    ASSERT_TRUE(deliver(QByteArray("\x02\x06", 2)));
    EXPECT_EQ(form->Text2->text(), QStringLiteral("RX: 02 06 "));
  }
  EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("missing"))));
  EXPECT_TRUE(QFileInfo(folderPath).isDir());
  EXPECT_FALSE(QFileInfo::exists(logFile));
}

}  // namespace

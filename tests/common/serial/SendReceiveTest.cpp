#include <QRegularExpression>

#include <algorithm>

#include "HexText.h"
#include "SerialTestSupport.h"

namespace {

QByteArray allByteValues() {
  QByteArray bytes;
  for (int v = 0; v < 256; ++v) bytes.append(char(v));
  return bytes;
}

QByteArray reversed(QByteArray bytes) {
  std::reverse(bytes.begin(), bytes.end());
  return bytes;
}

QStringList logLines(const QString& fileName) {
  QString text = QString::fromLatin1(fileBytes(fileName));
  if (text.endsWith(QStringLiteral("\r\n"))) text.chop(2);
  return text.isEmpty() ? QStringList() : text.split(QStringLiteral("\r\n"));
}

using SendReceive = SerialFormTest;

TEST_F(SendReceive, EveryByteValuePassesUnchangedBothWays) {
  ComForm& com = makeForm(ComForm::Host::Romlift);  // frame mode without the 80-byte rule
  ASSERT_TRUE(com.SetupMScomm(kPort, 2));
  for (const QByteArray& bytes : {allByteValues(), reversed(allByteValues())}) {
    com.ClearMScommInput();
    com.SendMScommString(bytes);
    EXPECT_EQ(pty.read(256, 2s), bytes);
    EXPECT_EQ(com.Text1->text(), QStringLiteral("TX: ") + HexText::HexStringToReadable(bytes));

    ASSERT_TRUE(pty.write(bytes));
    ASSERT_TRUE(waitUntil([&] { return com.ReplyBuffer.size() >= 256; }, 2s));
    EXPECT_EQ(com.ReplyBuffer, bytes);
    EXPECT_EQ(com.Text2->text(), QStringLiteral("RX: ") + HexText::HexStringToReadable(bytes));
  }
}

TEST_F(SendReceive, LongStringsGoOutWholeWithoutServingEvents) {
  ComForm& com = makeForm(ComForm::Host::Romlift);
  ASSERT_TRUE(com.SetupMScomm(kPort, 0));
  QByteArray line;
  for (int i = 0; i < 1000; ++i) line.append(char('0' + i % 10));
  com.SendMScommString(line);
  EXPECT_EQ(com.MSComm1().outBufferCount(), 0);
  EXPECT_EQ(pty.read(line.size(), 2s), line);
}

TEST_F(SendReceive, FrameModeShowsAReplyOnceItsLengthByteIsMet) {
  ComForm& com = makeForm(ComForm::Host::Calvboot);
  com.SetLogOn();
  ASSERT_TRUE(com.SetupMScomm(kPort, 0));
  const QString log = path(QStringLiteral("Log.txt"));
  const int headerLines = logLines(log).size();

  ASSERT_TRUE(deliver(QByteArray("\x07\x01\x00", 3)));
  EXPECT_EQ(com.ReplyBuffer, QByteArray("\x07\x01\x00", 3));
  EXPECT_EQ(com.Text2->text(), QString());
  EXPECT_EQ(logLines(log).size(), headerLines);

  ASSERT_TRUE(deliver(QByteArray("\x00\x00\x10\x20", 4)));
  EXPECT_EQ(com.Text2->text(), QStringLiteral("RX: 07 01 00 00 00 10 20 "));
  QStringList lines = logLines(log);
  ASSERT_EQ(lines.size(), headerLines + 1);
  EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^\d\d\.\d\d\.\d{4} \d\d\.\d\d\.\d\d RX: 07 01 00 00 00 10 20 $)"))
                  .match(lines.last())
                  .hasMatch())
      << lines.last().toStdString();

  // A complete reply is shown again with every later byte.
  ASSERT_TRUE(deliver(QByteArray("\x55", 1)));
  EXPECT_EQ(com.Text2->text(), QStringLiteral("RX: 07 01 00 00 00 10 20 55 "));
  lines = logLines(log);
  ASSERT_EQ(lines.size(), headerLines + 2);
  EXPECT_TRUE(lines.last().endsWith(QStringLiteral(" RX: 07 01 00 00 00 10 20 55 ")));

  // A first byte of 0 passes at once.
  com.ReplyBuffer.clear();
  ASSERT_TRUE(deliver(QByteArray(1, '\0')));
  EXPECT_EQ(com.Text2->text(), QStringLiteral("RX: 00 "));
}

TEST_F(SendReceive, OnlyCalvbootEmptiesTheBufferPastEightyBytes) {
  const struct {
    ComForm::Host host;
    bool emptied;
  } cases[] = {{ComForm::Host::Calvboot, true}, {ComForm::Host::Romlift, false}};
  for (const auto& c : cases) {
    ComForm& com = makeForm(c.host);
    ASSERT_TRUE(com.SetupMScomm(kPort, 0));
    // A length byte of 255 keeps the reply "incomplete", so only the rule shows it.
    const QByteArray eighty = QByteArray(1, '\xFF') + QByteArray(79, '\x11');
    ASSERT_TRUE(deliver(eighty));
    EXPECT_EQ(com.ReplyBuffer, eighty);
    EXPECT_EQ(com.Text2->text(), QString());

    ASSERT_TRUE(deliver(QByteArray(1, '\x22')));
    if (c.emptied) {
      EXPECT_TRUE(com.ReplyBuffer.isEmpty());
      EXPECT_EQ(com.Text2->text(), QStringLiteral("RX: ") + HexText::HexStringToReadable(eighty + '\x22'));
    } else {
      EXPECT_EQ(com.ReplyBuffer, eighty + '\x22');
      EXPECT_EQ(com.Text2->text(), QString());
    }
    com.CloseMScomm();
  }
}

TEST_F(SendReceive, UploaderModeCollectsTextAndSkipsChunksReadingThirteenOrTen) {
  ComForm& com = makeForm(ComForm::Host::Romlift);
  com.SetRomliftActive();
  ASSERT_TRUE(com.SetupMScomm(kPort, 0));
  const struct {
    QByteArray chunk;
    bool kept;
  } steps[] = {
      {"...", true},
      {"13", false},
      {" 1 0\n", false},  // blanks and line feeds do not count: reads 10
      {"&HD", false},      // hexadecimal 13
      {"\r", true},        // a lone CR reads 0
      {"\n", true},
      {"130", true},
      {"10x", false},  // reading stops at the x: 10
      {"OK", true},
  };
  QByteArray expected;
  QString shown;
  for (const auto& s : steps) {
    ASSERT_TRUE(deliver(s.chunk)) << s.chunk.toHex().constData();
    if (s.kept) {
      expected += s.chunk;
      shown = QStringLiteral("RX: ") + HexText::HexStringToReadable(expected);  // the whole buffer so far
    }
    EXPECT_EQ(com.ReplyBuffer, expected) << "after " << s.chunk.toHex().constData();
    EXPECT_EQ(com.Text2->text(), shown) << "after " << s.chunk.toHex().constData();
  }
  EXPECT_EQ(expected, QByteArray("...\r\n130OK"));
}

TEST_F(SendReceive, ClearMScommInputDiscardsWaitingBytes) {
  ComForm& com = makeForm(ComForm::Host::Calvboot);
  ASSERT_TRUE(com.SetupMScomm(kPort, 0));
  com.ReplyBuffer = "stale";
  ASSERT_TRUE(pty.write(QByteArray("\x05\x01\x02\x03\x04", 5)));
  ASSERT_TRUE(waitForWaitingBytes(5));

  com.ClearMScommInput();
  EXPECT_TRUE(com.ReplyBuffer.isEmpty());
  EXPECT_EQ(com.GetMScommInBufferCount(), 0);
  waitUntil([] { return false; }, 50ms);  // any receive event now finds nothing
  EXPECT_TRUE(com.ReplyBuffer.isEmpty());
  EXPECT_EQ(com.Text2->text(), QString());

  // The line keeps working afterwards.
  ASSERT_TRUE(deliver(QByteArray("\x03\x01\x00", 3)));
  EXPECT_EQ(com.ReplyBuffer, QByteArray("\x03\x01\x00", 3));
}

TEST_F(SendReceive, SendingOnAClosedPortShowsAndLogsNothing) {
  ComForm& com = makeForm(ComForm::Host::Calvboot);
  com.SetLogOn();
  ASSERT_TRUE(com.SetupMScomm(kPort, 0));
  com.SendMScommString(QByteArray("\x06\x01\x00", 3));
  ASSERT_EQ(pty.read(3, 1s).size(), 3);
  const QByteArray logBefore = fileBytes(path(QStringLiteral("Log.txt")));

  com.CloseMScomm();
  com.SendMScommString("\x09\x09");
  EXPECT_EQ(com.Text1->text(), QStringLiteral("TX: 06 01 00 "));
  EXPECT_EQ(fileBytes(path(QStringLiteral("Log.txt"))), logBefore);
  EXPECT_TRUE(messages.isEmpty());
  EXPECT_TRUE(pty.readUntilQuiet(30ms, 200ms).isEmpty());
}

TEST_F(SendReceive, BinaryReadTakesEverythingWaiting) {
  ComForm& com = makeForm(ComForm::Host::Calvboot);
  ASSERT_TRUE(com.SetupMScommAsBinary(kPort, 0));
  ASSERT_TRUE(pty.write(QByteArray("\x01\xFE\x00\x80", 4)));
  ASSERT_TRUE(waitForWaitingBytes(4));
  EXPECT_EQ(com.GetMScommInBuffer(), QByteArray("\x01\xFE\x00\x80", 4));
  EXPECT_EQ(com.Text2->text(), QStringLiteral("RX: 01 FE 00 80 "));
  EXPECT_EQ(com.GetMScommInBufferCount(), 0);
}

}  // namespace

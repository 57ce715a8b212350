#include <QTimer>

#include <thread>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "SerialTestSupport.h"

namespace {

using SendReceive = SerialFormTest;

TEST_F(SendReceive, EveryByteValuePassesUnchangedBothWays) {
  SerialLink& com = openLink(Rule::Uploader, 2);  // uploader mode: no 80-byte rule
  com.SetLogOn();
  QByteArray bytes;
  for (int v = 255; v >= 0; --v) bytes.append(char(v));  // first byte 255: complete only at the end
  // Far beyond the 96-byte driver buffer, yet handed over whole without serving events.
  const QByteArray sent = bytes.repeated(4);
  com.SendMScommString(sent);
  EXPECT_EQ(com.MSComm1().outBufferCount(), 0);
  EXPECT_EQ(pty.read(int(sent.size()), 2s), sent);
  EXPECT_EQ(form->Text1->text(), QStringLiteral("TX: ") + HexText::HexStringToReadable(sent));

  ASSERT_TRUE(pty.write(bytes));
  ASSERT_TRUE(waitUntil([&] { return com.ReplyBuffer.size() >= 256; }, 2s));
  EXPECT_EQ(com.ReplyBuffer, bytes);
  EXPECT_EQ(form->Text2->text(), rx(bytes));

  const QByteArray log = fileBytes(path("Log.txt"));
  com.CloseMScomm();
  com.SendMScommString("\x09\x09");  // on a closed port: neither sent, shown nor logged
  EXPECT_EQ(form->Text1->text(), QStringLiteral("TX: ") + HexText::HexStringToReadable(sent));
  EXPECT_EQ(fileBytes(path("Log.txt")), log);
  EXPECT_TRUE(messages.isEmpty() && pty.readUntilQuiet(30ms, 200ms).isEmpty());
}

TEST_F(SendReceive, FrameModeShowsAndLogsAReplyOnceItsLengthByteIsMet) {
  SerialLink& com = openLink(Rule::Frame);
  com.SetLogOn();
  const struct {
    QByteArray chunk;
    QByteArray shown;  // empty: nothing shown or logged
  } steps[] = {
      {QByteArray("\x07\x01\x00", 3), {}},
      {QByteArray("\x00\x00\x10\x20", 4), QByteArray("\x07\x01\x00\x00\x00\x10\x20", 7)},
      {"\x55", QByteArray("\x07\x01\x00\x00\x00\x10\x20\x55", 8)},  // complete: shown again
  };
  int logged = 0;
  for (const auto& s : steps) {
    ASSERT_TRUE(deliver(s.chunk));
    const QByteArray log = fileBytes(path("Log.txt"));
    logged += s.shown.isEmpty() ? 0 : 1;
    EXPECT_EQ(log.count(" RX: "), logged);
    EXPECT_EQ(form->Text2->text(), s.shown.isEmpty() ? QString() : rx(s.shown));
    EXPECT_TRUE(s.shown.isEmpty() || log.endsWith(' ' + rx(s.shown).toLatin1() + "\r\n"));
  }
  com.ReplyBuffer.clear();
  ASSERT_TRUE(deliver(QByteArray(1, '\0')));  // a first byte of 0 passes at once
  EXPECT_EQ(form->Text2->text(), QStringLiteral("RX: 00 "));

  // Past 80 bytes, a reply still incomplete is shown and emptied.
  const QByteArray tooLong = QByteArray(1, '\xFF') + QByteArray(80, '\x11');
  com.ReplyBuffer.clear();
  ASSERT_TRUE(deliver(tooLong));
  EXPECT_TRUE(com.ReplyBuffer.isEmpty());
  EXPECT_EQ(form->Text2->text(), rx(tooLong));
}

TEST_F(SendReceive, UploaderModeCollectsTextAndSkipsChunksReadingThirteenOrTen) {
  SerialLink& com = openLink(Rule::Uploader);
  const struct {
    QByteArray chunk;
    bool kept;
  } steps[] = {
      {"...", true}, {"13", false},
      {" 1 0\n", false},  // blanks and line feeds do not count: reads 10
      {"&HD", false},     // hexadecimal 13
      {"\r", true},       // a lone CR reads 0
      {"\n", true},  {"130", true},
      {"10x", true},   // reads 10, but more than the number came with it
      {"13\r\n10Wrong signature", true},
      {"OK", true},
  };
  QByteArray expected;
  for (const auto& s : steps) {
    ASSERT_TRUE(deliver(s.chunk)) << s.chunk.toHex().constData();
    if (s.kept) expected += s.chunk;
    EXPECT_EQ(com.ReplyBuffer, expected) << "after " << s.chunk.toHex().constData();
    EXPECT_EQ(form->Text2->text(), rx(expected)) << "after " << s.chunk.toHex().constData();  // the whole buffer
  }
}

TEST_F(SendReceive, ClearMScommInputDiscardsWaitingBytes) {
  SerialLink& com = openLink(Rule::Frame);
  com.ReplyBuffer = "stale";
  ASSERT_TRUE(pty.write(QByteArray("\x05\x01\x02\x03\x04", 5)));
  // Waits without serving events, so no receive event takes the bytes.
  for (int n = 0; n < 2000 && com.GetMScommInBufferCount() < 5; ++n) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(com.GetMScommInBufferCount(), 5);
  com.ClearMScommInput();
  EXPECT_EQ(com.GetMScommInBufferCount(), 0);
  waitUntil([] { return false; }, 50ms);  // any receive event now finds nothing
  EXPECT_TRUE(com.ReplyBuffer.isEmpty());
  EXPECT_EQ(form->Text2->text(), QString());
  // What arrives between a close and the next frame's setup is gone, as a reopen loses it.
  com.CloseMScomm();
  ASSERT_TRUE(pty.write(QByteArray("\x05\x01\x02\x03\x04", 5)));
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(com.SetupMScomm(kPort, 0));
  waitUntil([] { return false; }, 50ms);
  EXPECT_TRUE(com.ReplyBuffer.isEmpty());
  ASSERT_TRUE(deliver(QByteArray("\x03\x01\x00", 3)));  // the line keeps working
  EXPECT_EQ(com.ReplyBuffer, QByteArray("\x03\x01\x00", 3));
}

// A far end that stops taking bytes (the line's output held, as a device
// that no longer reads): what the line holds counts as output not yet sent
// until it is dropped, and dropped it never goes out. (How a wait for it ends
// is checked on the test line, on virtual time.)
TEST_F(SendReceive, HeldOutputCountsUntilDropped) {
  SerialLink& com = openLink(Rule::Uploader, 2);
  const int held = ::open(pty.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::tcflow(held, TCOOFF), 0);
  com.SendMScommString(QByteArray(100, 'x'));
  EXPECT_EQ(com.MSComm1().outBufferCount(), 100);
  bool served = false;
  QTimer::singleShot(0, [&] { served = true; });
  EXPECT_EQ(com.MSComm1().drainOutput([&] { return served; }), SerialPortControl::Drain::Stopped);
  com.MSComm1().setOutBufferCount(0);
  EXPECT_EQ(com.MSComm1().outBufferCount(), 0);
  EXPECT_EQ(com.MSComm1().drainOutput(), SerialPortControl::Drain::Drained);
  ::tcflow(held, TCOON);
  ::close(held);
  EXPECT_TRUE(pty.readUntilQuiet(50ms, 300ms).isEmpty());
}

}  // namespace

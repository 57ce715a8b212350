#include "ProtocolBench.h"

#include <termios.h>

#include <vector>

// A reply that every operation takes as success.
const QByteArray kOkReply = hexBytes("09 01 00 00 12 34 56 78 1E");

// DevAdr is read leniently; a value that does not fit 16 bits sends nothing.
TEST_F(PeerBench, NetworkAddressInTheFrame) {
  peer->reply = kOkReply;
  const std::vector<std::pair<const char*, QByteArray>> cases = {
      {"300", hexBytes("06 2C 01 F7 01 2B")},   {"abc", hexBytes("06 00 00 F7 01 FE")},
      {" 2 45 7", hexBytes("06 99 09 F7 01 A0")}, {"&H10", hexBytes("06 10 00 F7 01 0E")},
      {"2.5", hexBytes("06 02 00 F7 01 00")},   {"65535", hexBytes("06 FF FF F7 01 FC")},
      {"65536", {}}, {"-1", {}}, {"&HFFFF", {}}, {"1E300", {}},
  };
  for (const auto& [devAdr, frame] : cases) {
    peer->frames.clear();
    cmd->DevAdr = QString::fromLatin1(devAdr);
    EXPECT_EQ(cmd->EnterBootMode().text, frame.isEmpty() ? "Enter bootmode fault" : "Bootmode") << devAdr;
    waitUntil([] { return false; }, 20ms);
    EXPECT_EQ(peer->frames.value(0), frame) << devAdr;
    EXPECT_LE(peer->frames.size(), 1) << devAdr;
  }
}

// Frames the table cannot give a length to, or too long for FrameBuf, are not sent.
TEST_F(PeerBench, FramesWithoutAUsableLengthAreNotSent) {
  EXPECT_FALSE(cmd->SendCommandFrame(0));   // slot 0: length 0
  EXPECT_FALSE(cmd->SendCommandFrame(93));  // past the table
  for (const std::uint8_t n : {0, 39}) {    // 39: more than the 38 bytes that reach the frame
    cmd->SfoBuf[0] = n;
    EXPECT_FALSE(cmd->SFOsendNew()) << int(n);
  }
  cmd->FrameBuf[5] = 46;  // L = 51 would put the check byte past FrameBuf
  EXPECT_FALSE(cmd->SendCommandFrame(92));
  waitUntil([] { return false; }, 50ms);
  EXPECT_TRUE(peer->frames.isEmpty());
}

// Every frame reopens the port, so a new port or speed holds from the next frame on.
TEST_F(PeerBench, EachFrameReopensThePortWithTheCurrentSettings) {
  PseudoTerminal second;
  ScriptedPeer secondPeer(second);
  writePortsIni(dir.path(), 2, second.slavePath());
  peer->reply = kOkReply;
  secondPeer.reply = kOkReply;
  cmd->ComSpeed = 0;
  EXPECT_EQ(cmd->ExitBootMode().text, "Exit bootmode");
  EXPECT_EQ(pty.lineSpeed(), speed_t(B9600));
  cmd->ComPort = 2;
  cmd->ComSpeed = 2;
  EXPECT_EQ(cmd->ExitBootMode().text, "Exit bootmode");
  EXPECT_EQ(second.lineSpeed(), speed_t(B115200));
  EXPECT_EQ(peer->frames.size(), 1);
  EXPECT_EQ(secondPeer.frames.size(), 1);
}

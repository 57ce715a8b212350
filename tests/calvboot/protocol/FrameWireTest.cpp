#include "ProtocolBench.h"

#include <CalvsimProcess.h>

#include <termios.h>

#include <vector>

using namespace std::chrono_literals;

namespace {

// A reply that every operation takes as success.
const QByteArray kOkReply = hexBytes("09 01 00 00 12 34 56 78 1E");

std::string hexOf(const QByteArray& bytes) { return bytes.toHex(' ').toStdString(); }

// The speed the slave side has set on a pseudo-terminal's line.
speed_t lineSpeed(const PseudoTerminal& pty) {
  termios tio{};
  ::tcgetattr(pty.masterFd(), &tio);
  return ::cfgetospeed(&tio);
}

}  // namespace

// The bytes of each operation as they leave the slave side of the line.
TEST_F(PeerBench, EveryOperationSendsItsFrame) {
  peer->pieces = {kOkReply};
  const std::uint8_t data[] = {0xAA, 0xBB};
  std::uint8_t record[32];
  for (int i = 0; i < 32; ++i) record[i] = std::uint8_t(0xE0 + i);
  const std::vector<std::pair<std::function<void()>, QByteArray>> cases = {
      {[&] { cmd->EnterBootMode(); }, hexBytes("06 01 00 F7 01 FF")},
      {[&] { cmd->ExitBootMode(); }, hexBytes("06 01 00 F7 02 00")},
      {[&] { cmd->ProbeDevice(); }, hexBytes("09 01 00 F8 04 23 10 37 70")},
      {[&] { cmd->EraseFlashBlockNo(3); }, hexBytes("0A 01 00 F8 05 23 42 03 6D DD")},
      {[&] { cmd->WriteSFOmem(2, 0x1234, data); }, hexBytes("0D 01 00 F8 08 23 41 34 12 AA BB 17 34")},
      {[&] { cmd->WriteSFOmem(32, 0xFFE0, record); },  // 43 bytes, the longest frame
       hexBytes("2B 01 00 F8 26 23 41 E0 FF E0 E1 E2 E3 E4 E5 E6 E7 E8 E9 EA EB EC ED EE EF F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF 59 D6")},
      {[&] { cmd->WriteFlashBlockNo(42); }, hexBytes("0A 01 00 F8 05 23 43 2A 95 2D")},
      {[&] { cmd->GetCRCfromRAM(); }, hexBytes("09 01 00 F8 04 23 44 6B D8")},
      {[&] { cmd->WriteFlashCRC(); }, hexBytes("09 01 00 F8 04 23 45 6C DA")},
  };
  for (const auto& [run, frame] : cases) {
    peer->frames.clear();
    run();
    EXPECT_EQ(hexOf(peer->frames.value(0)), hexOf(frame));
    EXPECT_EQ(peer->frames.size(), 1) << hexOf(frame);
  }
  EXPECT_TRUE(portMessages.isEmpty());
}

// DevAdr is read leniently; a value that does not fit 16 bits sends nothing.
TEST_F(PeerBench, NetworkAddressInTheFrame) {
  peer->pieces = {kOkReply};
  const std::vector<std::pair<const char*, QByteArray>> cases = {
      {"300", hexBytes("06 2C 01 F7 01 2B")},   {"abc", hexBytes("06 00 00 F7 01 FE")},
      {" 2 45 7", hexBytes("06 99 09 F7 01 A0")}, {"&H10", hexBytes("06 10 00 F7 01 0E")},
      {"2.5", hexBytes("06 02 00 F7 01 00")},   {"65535", hexBytes("06 FF FF F7 01 FC")},
      {"65536", {}}, {"-1", {}}, {"&HFFFF", {}}, {"1E300", {}},
  };
  for (const auto& [devAdr, frame] : cases) {
    peer->frames.clear();
    cmd->DevAdr = QString::fromLatin1(devAdr);
    EXPECT_EQ(cmd->EnterBootMode(), frame.isEmpty() ? "Enter bootmode fault" : "Bootmode") << devAdr;
    waitUntil([] { return false; }, 20ms);
    EXPECT_EQ(hexOf(peer->frames.value(0)), hexOf(frame)) << devAdr;
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
  peer->pieces = {kOkReply};
  secondPeer.pieces = {kOkReply};
  cmd->ComSpeed = 0;
  EXPECT_EQ(cmd->ExitBootMode(), "Exit bootmode");
  EXPECT_EQ(lineSpeed(pty), speed_t(B9600));
  cmd->ComPort = 2;
  cmd->ComSpeed = 2;
  EXPECT_EQ(cmd->ExitBootMode(), "Exit bootmode");
  EXPECT_EQ(lineSpeed(second), speed_t(B115200));
  EXPECT_EQ(peer->frames.size(), 1);
  EXPECT_EQ(secondPeer.frames.size(), 1);
}

#include "ProtocolBench.h"

#include <vector>

using namespace std::chrono_literals;

namespace {

// A reply that every operation takes as success.
const QByteArray kOkReply = hexBytes("09 01 00 00 12 34 56 78 1E");

struct WireCase {
  const char* what;
  std::function<void(ModuleCommands&)> run;
  QByteArray frame;
};

}  // namespace

// The bytes of each operation as they leave the slave side of the line.
TEST_F(PeerBench, EveryOperationSendsItsFrame) {
  peer->answerAlways({kOkReply});
  const std::uint8_t data[] = {0xAA, 0xBB};
  const std::vector<WireCase> cases = {
      {"enter boot mode", [](ModuleCommands& c) { c.EnterBootMode(); }, hexBytes("06 01 00 F7 01 FF")},
      {"exit boot mode", [](ModuleCommands& c) { c.ExitBootMode(); }, hexBytes("06 01 00 F7 02 00")},
      {"status query", [](ModuleCommands& c) { c.ProbeDevice(); }, hexBytes("09 01 00 F8 04 23 10 37 70")},
      {"erase block 3", [](ModuleCommands& c) { c.EraseFlashBlockNo(3); },
       hexBytes("0A 01 00 F8 05 23 42 03 6D DD")},
      {"memory write at 0x1234", [&](ModuleCommands& c) { c.WriteSFOmem(2, 0x1234, data); },
       hexBytes("0D 01 00 F8 08 23 41 34 12 AA BB 17 34")},
      {"program block 42", [](ModuleCommands& c) { c.WriteFlashBlockNo(42); },
       hexBytes("0A 01 00 F8 05 23 43 2A 95 2D")},
      {"CRC of memory", [](ModuleCommands& c) { c.GetCRCfromRAM(); }, hexBytes("09 01 00 F8 04 23 44 6B D8")},
      {"store flash CRC", [](ModuleCommands& c) { c.WriteFlashCRC(); }, hexBytes("09 01 00 F8 04 23 45 6C DA")},
  };
  for (const WireCase& c : cases) {
    peer->frames.clear();
    c.run(*cmd);
    ASSERT_EQ(peer->frames.size(), 1) << c.what;
    EXPECT_EQ(peer->frames[0].toHex(' ').toStdString(), c.frame.toHex(' ').toStdString()) << c.what;
  }
  EXPECT_TRUE(portMessages.isEmpty());
}

TEST_F(PeerBench, LongestMemoryWriteFillsFortyThreeBytes) {
  peer->answerAlways({kOkReply});
  std::uint8_t data[32];
  for (int i = 0; i < 32; ++i) data[i] = std::uint8_t(0xE0 + i);
  EXPECT_EQ(cmd->WriteSFOmem(32, 0xFFE0, data), "Write Calvaro memory adr.: 0xFFE0 (32 bytes)");
  ASSERT_EQ(peer->frames.size(), 1);
  const QByteArray frame = peer->frames[0];
  ASSERT_EQ(frame.size(), 43);
  EXPECT_EQ(frame.mid(0, 9).toHex(' ').toStdString(), "2b 01 00 f8 26 23 41 e0 ff");
  EXPECT_EQ(frame.mid(9, 32), QByteArray(reinterpret_cast<const char*>(data), 32));
  // Two independent check bytes: the SFO message's, then the frame's.
  unsigned sfoSum = 0, frameSum = 0;
  for (int i = 4; i < 41; ++i) sfoSum += std::uint8_t(frame[i]);
  for (int i = 0; i < 42; ++i) frameSum += std::uint8_t(frame[i]);
  EXPECT_EQ(std::uint8_t(frame[41]), std::uint8_t(sfoSum));
  EXPECT_EQ(std::uint8_t(frame[42]), std::uint8_t(frameSum));
}

// DevAdr is read leniently; a value that does not fit 16 bits sends nothing.
TEST_F(PeerBench, NetworkAddressInTheFrame) {
  peer->answerAlways({kOkReply});
  struct Case {
    const char* devAdr;
    QByteArray frame;  // empty: nothing may be sent
  };
  const std::vector<Case> cases = {
      {"300", hexBytes("06 2C 01 F7 01 2B")},
      {"abc", hexBytes("06 00 00 F7 01 FE")},
      {" 2 45 7", hexBytes("06 99 09 F7 01 A0")},
      {"&H10", hexBytes("06 10 00 F7 01 0E")},
      {"2.5", hexBytes("06 02 00 F7 01 00")},
      {"65535", hexBytes("06 FF FF F7 01 FC")},
      {"65536", {}},
      {"-1", {}},
      {"&HFFFF", {}},
      {"1E300", {}},
  };
  for (const Case& c : cases) {
    peer->frames.clear();
    cmd->DevAdr = QString::fromLatin1(c.devAdr);
    const QString text = cmd->EnterBootMode();
    waitUntil([] { return false; }, 20ms);
    if (c.frame.isEmpty()) {
      EXPECT_TRUE(peer->frames.isEmpty()) << c.devAdr;
      EXPECT_EQ(text, "Enter bootmode fault") << c.devAdr;
      EXPECT_EQ(cmd->CmdState, 4) << c.devAdr;
    } else {
      ASSERT_EQ(peer->frames.size(), 1) << c.devAdr;
      EXPECT_EQ(peer->frames[0].toHex(' ').toStdString(), c.frame.toHex(' ').toStdString()) << c.devAdr;
      EXPECT_EQ(text, "Bootmode") << c.devAdr;
    }
  }
}

// Frames the table cannot give a length to, or too long for FrameBuf, are not sent.
TEST_F(PeerBench, FramesWithoutAUsableLengthAreNotSent) {
  peer->answerAlways({kOkReply});
  EXPECT_FALSE(cmd->SendCommandFrame(0));   // slot 0: length 0
  EXPECT_FALSE(cmd->SendCommandFrame(93));  // past the table
  cmd->SfoBuf[0] = 0;
  EXPECT_FALSE(cmd->SFOsendNew());
  cmd->SfoBuf[0] = 39;  // more than the 38 bytes that reach the frame
  EXPECT_FALSE(cmd->SFOsendNew());
  cmd->FrameBuf[5] = 46;  // L = 51 would put the check byte past FrameBuf
  EXPECT_FALSE(cmd->SendCommandFrame(92));
  waitUntil([] { return false; }, 50ms);
  EXPECT_TRUE(peer->frames.isEmpty());

  // The longest carrier frame still goes out.
  cmd->SfoBuf.fill(0);
  cmd->SfoBuf[0] = 38;
  EXPECT_TRUE(cmd->SFOsendNew());
  EXPECT_TRUE(waitUntil([&] { return peer->frames.size() == 1; }, 1000ms));
  EXPECT_EQ(peer->frames.value(0).size(), 43);
}

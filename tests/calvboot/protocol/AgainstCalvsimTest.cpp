#include "ProtocolBench.h"

#include <CalvsimProcess.h>

using namespace std::chrono_literals;

// An amplifier session as the programming sequence runs it, one block long:
// the module's CRC and the stored flash CRC agree with the PC's.
TEST_F(ProtocolBench, AmplifierSessionAgainstCalvsimAgreesWithThePcImage) {
  CalvsimProcess sim;
  ASSERT_TRUE(sim.started());
  attach(sim.slavePath());
  EXPECT_EQ(cmd->ProbeDevice(), 2);
  EXPECT_EQ(cmd->EnterBootMode(), "Bootmode");
  // EnterBootMode empties ReplyBuffer, so the announcement arrives in an empty one.
  EXPECT_TRUE(waitUntil([&] { return com->ReplyBuffer == hexBytes("05 01 40 00 46"); }, 1000ms));
  for (const int block : {0, 1, 2, 3, 4, 5, 42})
    EXPECT_EQ(cmd->EraseFlashBlockNo(std::uint8_t(block)), QStringLiteral("Flash erase block %1").arg(block));

  image.ClearImageBuffer();
  std::uint8_t record[32];
  for (int adr = 0; adr < 0x200; adr += 32) {
    for (int i = 0; i < 32; ++i) record[i] = std::uint8_t(adr / 32 + i * 3);
    cmd->WriteSFOmem(32, adr, record);
    EXPECT_EQ(cmd->CmdState, 3) << adr;
  }
  EXPECT_EQ(cmd->GetCRCfromRAM(), "CRC received");
  EXPECT_EQ(cmd->ReceivedCrc, image.CalcImageCrc());
  EXPECT_EQ(cmd->WriteFlashBlockNo(0), "Program flash block 0");

  const auto flash = std::uint16_t(image.CalcFlashCrc());
  const QString value = QStringLiteral("%1").arg(flash, 4, 16, QLatin1Char('0')).toUpper();
  EXPECT_EQ(cmd->WriteFlashCRC(), "Flash CRC written - Value in block 42=0x" + value + "   Value (program)=0x" +
                                       value + "  Calculated=0x" + value);
  EXPECT_EQ(cmd->ExitBootMode(), "Exit bootmode");
  EXPECT_EQ(cmd->CmdState, 3);
  EXPECT_EQ(sim.stop().toStdString(),
            "calvsim: boot mode left, blocks erased: 0 1 2 3 4 5 42, blocks programmed: 0, frames: 29");
  EXPECT_TRUE(portMessages.isEmpty());
}

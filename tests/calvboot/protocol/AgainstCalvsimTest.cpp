#include "ProtocolBench.h"

#include <CalvsimProcess.h>

#include <tuple>
#include <vector>

using namespace std::chrono_literals;

namespace {

// The command layer talking to a simulator started with the given options.
class SimBench : public ProtocolBench {
 protected:
  bool start(const QStringList& options) {
    sim = std::make_unique<CalvsimProcess>(options);
    if (!sim->started()) return false;
    attach(sim->slavePath());
    return true;
  }
  std::unique_ptr<CalvsimProcess> sim;
};

}  // namespace

TEST_F(SimBench, ProbeAgainstFixtureAndAmplifier) {
  const std::vector<std::tuple<QStringList, int, int>> cases = {
      // options, result, CmdState (99: left as it was)
      {{}, 2, 99},
      {{"--status-code", "0x13"}, 2, 99},
      {{"--fixture"}, 1, 99},
      {{"--fixture", "--status-code", "0x13"}, 1, 99},
      {{"--status-code", "0x02"}, 0, 11},
  };
  for (const auto& [options, result, cmdState] : cases) {
    ASSERT_TRUE(start(options));
    cmd->CmdState = 99;
    const std::string what = options.join(' ').toStdString();
    EXPECT_EQ(cmd->ProbeDevice(), result) << what;
    EXPECT_EQ(cmd->CmdState, cmdState) << what;
  }
}

// An amplifier session as the programming sequence runs it, one block long:
// the module's CRC and the stored flash CRC agree with the PC's.
TEST_F(SimBench, AmplifierSessionAgreesWithThePcImage) {
  ASSERT_TRUE(start({}));
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
  EXPECT_EQ(sim->stop().toStdString(),
            "calvsim: boot mode left, blocks erased: 0 1 2 3 4 5 42, blocks programmed: 0, frames: 29");
  EXPECT_TRUE(portMessages.isEmpty());
}

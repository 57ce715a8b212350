#include "ProtocolBench.h"

#include <QElapsedTimer>

// An idle wait costs almost no processor time, yet a reply ends it at once.
TEST_F(PeerBench, WaitingNeitherSpinsNorLags) {
  setReplyTimeout(600ms);
  const double cpuBefore = ownCpuSeconds();
  QElapsedTimer wall;
  wall.start();
  EXPECT_EQ(cmd->GetCRCfromRAM().text, "Get CRC COM timeout");
  EXPECT_GE(wall.elapsed(), 600);
  EXPECT_LT(wall.elapsed(), 1500);
  // A spinning wait would take the whole 0.6 s of one core.
  EXPECT_LT(ownCpuSeconds() - cpuBefore, 0.15) << "processor seconds spent waiting";

  setReplyTimeout(5000ms);
  peer->delay = 200ms;
  peer->replyWith("07 01 00 00 BE EF B5");
  wall.restart();
  EXPECT_EQ(cmd->GetCRCfromRAM().text, "CRC received");
  EXPECT_GE(wall.elapsed(), 190);
  EXPECT_LT(wall.elapsed(), 500);
}

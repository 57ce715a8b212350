#include "ProtocolBench.h"

#include <QElapsedTimer>

#include <PtyBench.h>

#include <vector>

using namespace std::chrono_literals;

// Completeness is judged by the reply's length byte alone, as pieces arrive.
TEST_F(PeerBench, ReplyCompletesOnlyAtItsAnnouncedLength) {
  const std::vector<std::pair<QList<QByteArray>, bool>> cases = {
      {{hexBytes("07 01 00 00 00 12 FF")}, true},
      {{hexBytes("07 01 00"), hexBytes("00 00 12 FF")}, true},
      {{hexBytes("07"), hexBytes("01 00"), hexBytes("00"), hexBytes("00 12"), hexBytes("FF")}, true},
      {{hexBytes("07 01 00 00 00 12 FF 00")}, false},             // one byte more than announced
      {{hexBytes("07 01 00 00 00 12"), hexBytes("FF 00")}, false},  // the extra byte in a later piece
      {{hexBytes("00 01 00 00 00 12 FF")}, false},
      {{hexBytes("FF 01 00 00 00 12 FF")}, false},
      {{hexBytes("07 01 00 00 00 12")}, false},  // stops short
      // The serial link empties ReplyBuffer past 80 bytes; an empty buffer is no reply.
      {{QByteArray(1, '\0') + QByteArray(80, '\x11')}, false},
  };
  peer->gap = 20ms;
  for (const auto& [pieces, complete] : cases) {
    peer->pieces = pieces;
    cmd->CmdState = 99;
    EXPECT_EQ(cmd->ProbeDevice(), complete ? 2 : 0) << pieces.join('|').toHex(' ').toStdString();
    EXPECT_EQ(cmd->CmdState, complete ? 99 : 4) << pieces.join('|').toHex(' ').toStdString();
  }
}

// An idle wait costs almost no processor time, yet a reply ends it at once.
TEST_F(PeerBench, WaitingNeitherSpinsNorLags) {
  cmd->ReplyTimeout = 600ms;
  const double cpuBefore = ownCpuSeconds();
  QElapsedTimer wall;
  wall.start();
  EXPECT_EQ(cmd->GetCRCfromRAM(), "Get CRC COM timeout");
  EXPECT_GE(wall.elapsed(), 600);
  EXPECT_LT(wall.elapsed(), 1500);
  // A spinning wait would take the whole 0.6 s of one core.
  EXPECT_LT(ownCpuSeconds() - cpuBefore, 0.15) << "processor seconds spent waiting";

  cmd->ReplyTimeout = 5000ms;
  peer->firstDelay = 200ms;
  peer->pieces = {hexBytes("07 01 00 00 BE EF B5")};
  wall.restart();
  EXPECT_EQ(cmd->GetCRCfromRAM(), "CRC received");
  EXPECT_GE(wall.elapsed(), 190);
  EXPECT_LT(wall.elapsed(), 500);
}

#include "ProtocolBench.h"

#include <QElapsedTimer>

#include <sys/resource.h>

#include <vector>

using namespace std::chrono_literals;

namespace {

double processCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

// Completeness is judged by the reply's length byte alone, as pieces arrive.
TEST_F(PeerBench, ReplyCompletesOnlyAtItsAnnouncedLength) {
  struct Case {
    const char* what;
    QList<QByteArray> pieces;
    bool complete;
  };
  const std::vector<Case> cases = {
      {"in one piece", {hexBytes("07 01 00 00 00 12 FF")}, true},
      {"in pieces of 3 and 4", {hexBytes("07 01 00"), hexBytes("00 00 12 FF")}, true},
      {"byte by byte",
       {hexBytes("07"), hexBytes("01"), hexBytes("00"), hexBytes("00"), hexBytes("00"), hexBytes("12"), hexBytes("FF")},
       true},
      {"one byte more than announced", {hexBytes("07 01 00 00 00 12 FF 00")}, false},
      {"the extra byte in a later piece", {hexBytes("07 01 00 00 00 12"), hexBytes("FF 00")}, false},
      {"first byte 0", {hexBytes("00 01 00 00 00 12 FF")}, false},
      {"first byte 255", {hexBytes("FF 01 00 00 00 12 FF")}, false},
      {"stops short", {hexBytes("07 01 00 00 00 12")}, false},
  };
  peer->gap = 20ms;
  for (const Case& c : cases) {
    peer->answerAlways(c.pieces);
    cmd->CmdState = 99;
    const std::uint8_t result = cmd->ProbeDevice();
    EXPECT_EQ(result, c.complete ? 2 : 0) << c.what;
    EXPECT_EQ(cmd->CmdState, c.complete ? 99 : 4) << c.what;
  }
}

// The serial link empties ReplyBuffer past 80 bytes; an empty buffer is no reply.
TEST_F(PeerBench, OverflowedBufferIsNotAReply) {
  peer->answerAlways({QByteArray(1, '\0') + QByteArray(80, '\x11')});
  EXPECT_EQ(cmd->ProbeDevice(), 0);
  EXPECT_EQ(cmd->CmdState, 4);
}

TEST_F(PeerBench, WaitingDoesNotBurnTheProcessor) {
  peer->answer = nullptr;
  cmd->ReplyTimeout = 600ms;
  const double cpuBefore = processCpuSeconds();
  QElapsedTimer wall;
  wall.start();
  EXPECT_EQ(cmd->GetCRCfromRAM(), "Get CRC COM timeout");
  const double cpu = processCpuSeconds() - cpuBefore;
  EXPECT_GE(wall.elapsed(), 600);
  EXPECT_LT(wall.elapsed(), 1500);
  // A spinning wait would take the whole 0.6 s of one core.
  EXPECT_LT(cpu, 0.15) << "processor seconds spent waiting";
}

TEST_F(PeerBench, ReplyIsNoticedAtOnce) {
  cmd->ReplyTimeout = 5000ms;
  peer->firstDelay = 200ms;
  peer->answerAlways({hexBytes("07 01 00 00 BE EF B5")});
  QElapsedTimer wall;
  wall.start();
  EXPECT_EQ(cmd->GetCRCfromRAM(), "CRC received");
  EXPECT_GE(wall.elapsed(), 190);
  EXPECT_LT(wall.elapsed(), 500);
}

#include <tests/support/TestPort.h>

#include <QElapsedTimer>

#include "ProtocolBench.h"

namespace {

// The command layer on a test line with a 600 ms reply time-out, all waits
// on virtual time. A silent device costs the whole time-out and not more than
// a yield beyond it; a reply, here 200 ms after the frame arrived, ends the
// wait as soon as it is in.
TEST(ReplyWait, TimeOutOrReplyEndTheWait) {
  RSfunctions::InitCommandTable();
  QTemporaryDir dir;
  TestClock clock;
  TestDevice device{clock};
  SerialLink com{std::make_unique<FrameRule>(), dir.path(), Timing{.waits = &clock}, nullptr, device.makePort()};
  com.MSComm1().setDeviceOverride(device.path);
  ModuleCommands cmd(com, Timing{.reply = 600ms, .waits = &clock});
  cmd.ComSpeed = 2;
  QByteArray frame, reply;
  device.onArrival = [&](char byte) {
    frame += byte;
    if (frame.size() < std::uint8_t(frame.at(0))) return;
    frame.clear();
    if (!reply.isEmpty()) clock.after(200ms, [&, bytes = reply] { device.send(bytes); });
  };

  const auto began = clock.now();
  EXPECT_EQ(cmd.GetCRCfromRAM().text, "Get CRC COM timeout");
  EXPECT_GT(clock.now() - began, 600ms);
  EXPECT_LE(clock.now() - began, 600ms + 2 * kYieldBlock);

  reply = hexBytes("07 01 00 00 BE EF B5");
  EXPECT_EQ(cmd.GetCRCfromRAM().text, "CRC received");
  ASSERT_FALSE(device.arrivalTimes.empty());
  EXPECT_EQ(clock.now(), device.arrivalTimes.back() + 200ms);
}

// The system clock's idle yield blocks rather than spins (the processor
// share is a figure of bench/); the first yields may find start-up events.
TEST(ReplyWait, AnIdleYieldBlocks) {
  bool blocked = false;
  for (int pass = 0; pass < 5 && !blocked; ++pass) {
    QElapsedTimer wall;
    wall.start();
    WaitClock::system().yield(50ms);
    blocked = wall.elapsed() >= 45;
  }
  EXPECT_TRUE(blocked);
}

}  // namespace

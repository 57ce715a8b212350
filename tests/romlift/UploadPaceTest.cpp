#include <romlift/UploadDialogue.h>
#include <romlift/UploaderRule.h>
#include <serial/SerialLink.h>
#include <tests/support/PtyBench.h>
#include <tests/support/TestPort.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

class QuietView : public UploadView {
 public:
  void setLogText(const QString&) override {}
  void appendLogText(const QString&) override {}
  void repaintLog() override {}
  void setPortCaption(const QString&) override {}
  void setUploadEnabled(bool) override {}
};

// A boot loader on a 9600-baud test line that takes bytes at half the line's
// rate (so the output queue, not the transmit time, says when a line has
// left): it announces itself and says "OK" after the last line. The silence
// after each line, from its line feed leaving the wire to the next line's
// first byte leaving the PC, is the line delay, and at most one idle yield
// more.
TEST(UploadPace, TheSilenceAfterEachLineCountsFromItsLastByteOnTheWire) {
  QTemporaryDir dir;
  TestClock clock;
  TestDevice loader{clock};
  SerialLink com{std::make_unique<UploaderRule>(), dir.path(), Timing{.waits = &clock}, nullptr, loader.makePort()};
  com.MSComm1().setDeviceOverride(loader.path);
  QuietView view;
  UploadDialogue dialogue(com, dir.filePath(QStringLiteral("setup.ini")));
  dialogue.setView(&view);

  constexpr int kLines = 4;
  constexpr double kPace = 480;  // bytes per second
  loader.setPace(kPace);
  const QByteArray line = "S113" + QByteArray(36, '0');  // 40 bytes: 83 ms to leave
  ASSERT_TRUE(writeFile(dir.filePath(QStringLiteral("file.s19")), (line + "\r\n").repeated(kLines)));
  int lineFeeds = 0;
  loader.onArrival = [&](char byte) {
    if (byte == '\n' && ++lineFeeds == kLines) loader.send("OK");
  };
  clock.after(100ms, [&] { loader.send("..."); });
  ASSERT_TRUE(!dialogue.Commport_Click(1, LineSpeed()) && dialogue.BootReady);
  EXPECT_EQ(dialogue.BtnUpload_Click({true, dir.filePath(QStringLiteral("file.s19")), 0}).end, UploadEnd::Succeeded);

  const QByteArray& arrived = loader.arrived;
  const auto& times = loader.arrivalTimes;
  ASSERT_EQ(arrived, (line + "\r\n").repeated(kLines));
  const auto perByte = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(1 / kPace));
  const std::chrono::milliseconds delay{dialogue.LineDelay};
  for (qsizetype i = line.size() + 2; i < arrived.size(); i += line.size() + 2) {
    const auto silence = times[i] - perByte - times[i - 1];
    EXPECT_GE(silence, delay) << i;
    EXPECT_LE(silence, delay + kYieldBlock) << i;
  }
}

}  // namespace

// bootsim: record checks, the boot loader on a given clock, and the program on
// its pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <BootLoader.h>
#include <BootSimProcess.h>
#include <SRecord.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = BootLoader::Clock;
using SRecord::Verdict;

TEST(RecordCheck, TellsValidDamagedAndMalformedLines) {
  const struct {
    const char* line;
    Verdict verdict;
  } cases[] = {
      {"S008000044562D3900F7", Verdict::Valid},
      {"S00C00004B5641353130305200FA", Verdict::BadChecksum},  // KVA5100+ header: one off
      {"S00C00004B5641353130305200F9", Verdict::Valid},
      {"S1130000285F245F2212226A000424290008237C2A", Verdict::Valid},
      {"S1130000285F245F2212226A000424290009237C2A", Verdict::BadChecksum},
      {"S1130000285f245f2212226a000424290008237c2a", Verdict::Valid},
      {"S804000000FB", Verdict::Valid},
      {"S9030000F", Verdict::Malformed},    // odd length
      {"S9040000FC", Verdict::Malformed},   // count too large
      {"S9030000GC", Verdict::Malformed},   // not hex
      {"S4030000FC", Verdict::Malformed},   // no such type
      {"S9030000FC ", Verdict::Malformed},  // trailing blank
      {"", Verdict::Malformed},
  };
  for (const auto& c : cases) EXPECT_EQ(SRecord::parse(c.line).verdict, c.verdict) << '"' << c.line << '"';
}

// ---- The boot loader on a clock of the test's own ----

const Clock::time_point t0 = Clock::now();

// Feeds bytes 1 ms apart from at; returns the time of the last one.
Clock::time_point feed(BootLoader& b, const std::string& bytes, Clock::time_point at) {
  for (char c : bytes) b.receive(c, at += 1ms);
  return at;
}

BootSimOptions silent() {
  BootSimOptions o;
  o.announce = false;
  return o;
}

TEST(BootLoaderClock, RepeatsTheAnnouncementUntilALineBegins) {
  BootSimOptions o;
  o.announceRepeat = 100ms;
  BootLoader b(o, t0);
  EXPECT_EQ(b.takeDue(t0 + 250ms), "......");
  b.receive('S', t0 + 320ms);
  EXPECT_EQ(b.takeDue(t0 + 1s), "");
  EXPECT_FALSE(b.nextDue().has_value());
}

TEST(BootLoaderClock, MeasuresFromEachLineFeedToTheNextLine) {
  BootLoader b(silent(), t0);
  auto lf = feed(b, "S008000044562D3900F7\r\n", t0);
  lf = feed(b, "S1130000285F245F2212226A000424290008237C2A\r\n", lf + 149ms);
  lf = feed(b, "\r\n", lf + 150ms);
  feed(b, "S9030000FC\n", lf + 399ms);
  EXPECT_EQ(b.gaps(), (std::vector<double>{150.0, 151.0, 400.0}));
  EXPECT_EQ(b.linesReceived(),
            "S008000044562D3900F7\r\nS1130000285F245F2212226A000424290008237C2A\r\n\r\nS9030000FC\n");
  const std::string summary = b.summary();
  EXPECT_NE(summary.find("bootsim: lines 4\n"), std::string::npos) << summary;
  EXPECT_NE(summary.find("bootsim: gaps 3 min 150.0 median 151.0 max 400.0 ms\n"), std::string::npos) << summary;
  EXPECT_NE(summary.find("without CR before LF 1\n"), std::string::npos) << summary;
}

TEST(BootLoaderClock, AnswersByTheLinesItTakes) {
  struct Case {
    std::vector<std::string> lines;
    int refuseLine;
    bool sendOk;
    std::string replies;
    const char* verdict;
  };
  const std::string header = "S00C00004B5641353130305200FA";  // KVA5100+: checksum one off
  const std::string data = "S1130000285F245F2212226A000424290008237C2A";
  const std::string bad = "S1130000285F245F2212226A000424290008237C2B";
  const Case cases[] = {
      {{header, data, "", "S9030000FC"}, 0, true, "OK\r\n", "accepted (OK sent)"},
      {{header, bad, data, "S9030000FC"}, 0, true, "Wrong signature\r\nOK\r\n", "refused (Wrong signature at line 2)"},
      {{header, "garbage", "S9030000FC"}, 0, true, "Wrong signature\r\nOK\r\n", "refused (Wrong signature at line 2)"},
      {{header, data, "S9030000FC"}, 1, true, "Wrong signature\r\nOK\r\n", "refused (Wrong signature at line 1)"},
      {{header, data, "S804000000FB"}, 0, false, "", "end record taken, no OK sent"},
      {{header, data}, 0, true, "", "incomplete (no end record)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.verdict);
    BootSimOptions o = silent();
    o.refuseLine = c.refuseLine;
    o.sendOk = c.sendOk;
    BootLoader b(o, t0);
    auto at = t0;
    for (const std::string& line : c.lines) at = feed(b, line + "\r\n", at + 150ms);
    EXPECT_EQ(b.takeDue(at), c.replies);
    EXPECT_NE(b.summary().find(std::string("bootsim: verdict ") + c.verdict + "\n"), std::string::npos)
        << b.summary();
  }
}

// ---- The program ----

// What arrives on fd until want is in it or two seconds pass.
std::string readUntil(int fd, const std::string& want) {
  std::string got;
  const auto end = Clock::now() + 2s;
  while (got.find(want) == std::string::npos && Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 10);
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) got.append(buf, n);
  }
  return got;
}

TEST(BootSimProgram, HelpListsEveryOption) {
  QProcess help;
  help.start(QStringLiteral(BOOTSIM_PATH), {QStringLiteral("--help")});
  ASSERT_TRUE(help.waitForFinished(5000));
  EXPECT_EQ(help.exitCode(), 0);
  const QByteArray text = help.readAllStandardOutput();
  for (const char* option : {"--announce-delay", "--announce-repeat", "--no-announce", "--ok-delay", "--no-ok",
                             "--refuse-line", "--exit-after-ok", "--baud", "--lines-out", "--make-samples",
                             "--noise", "--vanish-after", "--vanish-delay", "--link"})
    EXPECT_TRUE(text.contains(option)) << option;
}

TEST(BootSimProgram, TakesAFileAtTheBaudRateAndEndsAfterOk) {
  QTemporaryDir dir;
  const QString linesOut = dir.filePath(QStringLiteral("lines"));
  BootSimProcess sim;
  ASSERT_TRUE(sim.start({QStringLiteral("--announce-delay"), QStringLiteral("100"), QStringLiteral("--baud"),
                         QStringLiteral("1000"), QStringLiteral("--exit-after-ok"), QStringLiteral("--lines-out"),
                         linesOut}));
  // bootsim made the line raw already.
  const int fd = ::open(sim.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(readUntil(fd, "..."), "...");
  const std::string file = "S008000044562D3900F7\r\nS9030000FD\r\nS9030000FC\r\n";
  ASSERT_EQ(::write(fd, file.data(), file.size()), ssize_t(file.size()));
  // 1000 baud: 10 ms a byte, so the refusal takes at least 160 ms from its
  // first byte to its last.
  EXPECT_EQ(readUntil(fd, "W"), "W");
  const auto first = Clock::now();
  EXPECT_EQ(readUntil(fd, "\n"), "rong signature\r\n");
  EXPECT_GE(Clock::now() - first, 150ms);
  EXPECT_EQ(readUntil(fd, "OK\r\n"), "OK\r\n");
  const QString report = sim.finish(3000);
  ::close(fd);
  EXPECT_TRUE(sim.endedByItself());
  EXPECT_EQ(BootSimProcess::linesTaken(report), 3);
  EXPECT_EQ(BootSimProcess::verdict(report), QStringLiteral("refused (Wrong signature at line 2)"));
  QFile taken(linesOut);
  ASSERT_TRUE(taken.open(QIODevice::ReadOnly));
  EXPECT_EQ(taken.readAll().toStdString(), file);
}

}  // namespace

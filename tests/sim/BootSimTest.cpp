// bootsim: record checks, the boot loader on a given clock, and the program on
// its pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
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

// ---- S-record checks ----

struct RecordCase {
  const char* line;
  SRecord::Verdict verdict;
  char type;
};

void PrintTo(const RecordCase& c, std::ostream* os) { *os << '"' << c.line << '"'; }

class RecordCheck : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordCheck, Verdict) {
  const SRecord::Parsed p = SRecord::parse(GetParam().line);
  EXPECT_EQ(p.verdict, GetParam().verdict);
  if (p.verdict != SRecord::Verdict::Malformed) {
    EXPECT_EQ(p.type, GetParam().type);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RecordCheck,
    ::testing::Values(
        // The six product header lines: all but KVA5100+ carry the rule's checksum.
        RecordCase{"S00C0000504C58413438383000EA", SRecord::Verdict::Valid, '0'},
        RecordCase{"S00B00005A454E5452413700E9", SRecord::Verdict::Valid, '0'},
        RecordCase{"S00B00004B564135313030004C", SRecord::Verdict::Valid, '0'},
        RecordCase{"S008000044562D3900F7", SRecord::Verdict::Valid, '0'},
        RecordCase{"S00C00004B5641353130305200FA", SRecord::Verdict::BadChecksum, '0'},
        RecordCase{"S00C00004B5641353130305200F9", SRecord::Verdict::Valid, '0'},
        RecordCase{"S0090000445650524F006B", SRecord::Verdict::Valid, '0'},
        RecordCase{"S1130000285F245F2212226A000424290008237C2A", SRecord::Verdict::Valid, '1'},
        RecordCase{"S1130000285F245F2212226A000424290009237C2A", SRecord::Verdict::BadChecksum, '1'},
        RecordCase{"S1130000285f245f2212226a000424290008237c2a", SRecord::Verdict::Valid, '1'},
        RecordCase{"S9030000FC", SRecord::Verdict::Valid, '9'},
        RecordCase{"S804000000FB", SRecord::Verdict::Valid, '8'},
        RecordCase{"S9030000F", SRecord::Verdict::Malformed, 0},        // odd length
        RecordCase{"S9040000FC", SRecord::Verdict::Malformed, 0},       // count too large
        RecordCase{"S9030000GC", SRecord::Verdict::Malformed, 0},       // not hex
        RecordCase{"S4030000FC", SRecord::Verdict::Malformed, 0},       // no such type
        RecordCase{"S9030000FC ", SRecord::Verdict::Malformed, 0},      // trailing blank
        RecordCase{"", SRecord::Verdict::Malformed, 0}));

TEST(RecordMake, BuildsRecordsThatCheckOut) {
  const std::vector<std::uint8_t> data{0x00, 0x7F, 0x80, 0xFF};
  EXPECT_EQ(SRecord::make('1', 0x1234, data), "S1071234007F80FFB4");
  EXPECT_EQ(SRecord::make('9', 0, {}), "S9030000FC");
  const SRecord::Parsed p = SRecord::parse(SRecord::make('3', 0x00ABCDEF, data));
  EXPECT_EQ(p.verdict, SRecord::Verdict::Valid);
  EXPECT_EQ(p.address, 0x00ABCDEFu);
  EXPECT_EQ(p.data, data);
}

// ---- The boot loader on a clock of the test's own ----

class BootLoaderClock : public ::testing::Test {
 protected:
  const Clock::time_point t0 = Clock::now();

  // Feeds one line and its CR LF, the bytes 1 ms apart from at.
  static Clock::time_point feed(BootLoader& b, const std::string& bytes, Clock::time_point at) {
    for (char c : bytes) {
      b.receive(c, at);
      at += 1ms;
    }
    return at - 1ms;
  }
};

TEST_F(BootLoaderClock, AnnouncesOnceAfterTheDelay) {
  BootSimOptions o;
  o.announceDelay = 300ms;
  BootLoader b(o, t0);
  EXPECT_EQ(b.takeDue(t0 + 299ms), "");
  EXPECT_EQ(b.nextDue(), t0 + 300ms);
  EXPECT_EQ(b.takeDue(t0 + 300ms), "...");
  EXPECT_EQ(b.takeDue(t0 + 5s), "");
  EXPECT_FALSE(b.nextDue().has_value());
}

TEST_F(BootLoaderClock, RepeatsTheAnnouncementUntilALineBegins) {
  BootSimOptions o;
  o.announceRepeat = 100ms;
  BootLoader b(o, t0);
  EXPECT_EQ(b.takeDue(t0 + 250ms), "......");
  EXPECT_EQ(b.takeDue(t0 + 300ms), "...");
  b.receive('S', t0 + 320ms);
  EXPECT_EQ(b.takeDue(t0 + 1s), "");
  EXPECT_FALSE(b.nextDue().has_value());
}

TEST_F(BootLoaderClock, MeasuresFromEachLineFeedToTheNextLine) {
  BootSimOptions o;
  o.announce = false;
  BootLoader b(o, t0);
  auto lf = feed(b, "S008000044562D3900F7\r\n", t0);
  lf = feed(b, "S1130000285F245F2212226A000424290008237C2A\r\n", lf + 150ms);
  lf = feed(b, "\r\n", lf + 151ms);
  feed(b, "S9030000FC\r\n", lf + 400ms);
  EXPECT_EQ(b.gaps(), (std::vector<double>{150.0, 151.0, 400.0}));
  EXPECT_EQ(b.linesTaken(), 4);
  EXPECT_EQ(b.bareLineFeeds(), 0);
  EXPECT_EQ(b.linesReceived(),
            "S008000044562D3900F7\r\nS1130000285F245F2212226A000424290008237C2A\r\n\r\nS9030000FC\r\n");
  const std::string summary = b.summary();
  EXPECT_NE(summary.find("bootsim: lines 4\n"), std::string::npos) << summary;
  EXPECT_NE(summary.find("bootsim: gaps 3 min 150.0 median 151.0 max 400.0 ms\n"), std::string::npos) << summary;
}

TEST_F(BootLoaderClock, AnswersByTheLinesItTakes) {
  struct Case {
    const char* name;
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
      {"whole file", {header, data, "", "S9030000FC"}, 0, true, "OK\r\n", "accepted (OK sent)"},
      {"bad checksum", {header, bad, data, "S9030000FC"}, 0, true, "Wrong signature\r\nOK\r\n",
       "refused (Wrong signature at line 2)"},
      {"not a record", {header, "garbage", "S9030000FC"}, 0, true, "Wrong signature\r\nOK\r\n",
       "refused (Wrong signature at line 2)"},
      {"refused line", {header, data, "S9030000FC"}, 1, true, "Wrong signature\r\nOK\r\n",
       "refused (Wrong signature at line 1)"},
      {"no OK", {header, data, "S804000000FB"}, 0, false, "", "end record taken, no OK sent"},
      {"no end record", {header, data}, 0, true, "", "incomplete (no end record)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BootSimOptions o;
    o.announce = false;
    o.refuseLine = c.refuseLine;
    o.sendOk = c.sendOk;
    BootLoader b(o, t0);
    auto at = t0;
    for (const std::string& line : c.lines) at = feed(b, line + "\r\n", at + 150ms);
    EXPECT_EQ(b.takeDue(at + 1ms), c.replies);
    EXPECT_EQ(b.okSent(), c.replies.find("OK") != std::string::npos);
    EXPECT_NE(b.summary().find(std::string("bootsim: verdict ") + c.verdict + "\n"), std::string::npos)
        << b.summary();
  }
}

TEST_F(BootLoaderClock, OkFollowsTheEndRecordAfterItsDelay) {
  BootSimOptions o;
  o.announce = false;
  o.okDelay = 250ms;
  BootLoader b(o, t0);
  const auto lf = feed(b, "S9030000FC\r\n", t0);
  EXPECT_EQ(b.nextDue(), lf + 250ms);
  EXPECT_EQ(b.takeDue(lf + 249ms), "");
  EXPECT_FALSE(b.okSent());
  EXPECT_EQ(b.takeDue(lf + 250ms), "OK\r\n");
  EXPECT_TRUE(b.okSent());
}

TEST_F(BootLoaderClock, CountsLinesThatLackTheCarriageReturn) {
  BootSimOptions o;
  o.announce = false;
  BootLoader b(o, t0);
  feed(b, "S9030000FC\n", t0);
  EXPECT_EQ(b.bareLineFeeds(), 1);
  EXPECT_NE(b.summary().find("without CR before LF 1"), std::string::npos);
}

// ---- The program ----

int openRaw(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios tio{};
  if (fd >= 0 && ::tcgetattr(fd, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
  }
  return fd;
}

// Reads until want is in what arrived or timeout passed.
std::string readUntil(int fd, const std::string& want, std::chrono::milliseconds timeout) {
  std::string got;
  const auto end = Clock::now() + timeout;
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
                             "--help"})
    EXPECT_TRUE(text.contains(option)) << option;
}

TEST(BootSimProgram, TakesAFileAndEndsAfterOk) {
  QTemporaryDir dir;
  const QString linesOut = dir.filePath(QStringLiteral("lines"));
  BootSimProcess sim;
  ASSERT_TRUE(sim.start({QStringLiteral("--announce-delay"), QStringLiteral("100"), QStringLiteral("--exit-after-ok"),
                         QStringLiteral("--lines-out"), linesOut}));
  const int fd = openRaw(sim.slavePath().toStdString());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(readUntil(fd, "...", 2s), "...");

  const std::string file = "S008000044562D3900F7\r\nS1130000285F245F2212226A000424290008237C2A\r\nS9030000FC\r\n";
  ASSERT_EQ(::write(fd, file.data(), file.size()), ssize_t(file.size()));
  EXPECT_EQ(readUntil(fd, "OK\r\n", 2s), "OK\r\n");
  const QString report = sim.finish(3000);
  ::close(fd);
  EXPECT_TRUE(sim.endedByItself());
  EXPECT_EQ(sim.exitCode(), 0);
  EXPECT_EQ(BootSimProcess::linesTaken(report), 3);
  EXPECT_EQ(BootSimProcess::verdict(report), QStringLiteral("accepted (OK sent)"));
  QFile taken(linesOut);
  ASSERT_TRUE(taken.open(QIODevice::ReadOnly));
  EXPECT_EQ(taken.readAll().toStdString(), file);
}

TEST(BootSimProgram, PacesItsRepliesAtTheBaudRate) {
  // 1000 baud: 10 ms a byte, so "Wrong signature\r\n" takes at least 160 ms
  // from its first byte to its last.
  BootSimProcess sim;
  ASSERT_TRUE(sim.start({QStringLiteral("--no-announce"), QStringLiteral("--baud"), QStringLiteral("1000")}));
  const int fd = openRaw(sim.slavePath().toStdString());
  ASSERT_GE(fd, 0);
  const std::string bad = "S9030000FD\r\n";
  ASSERT_EQ(::write(fd, bad.data(), bad.size()), ssize_t(bad.size()));
  EXPECT_EQ(readUntil(fd, "W", 2s), "W");
  const auto first = Clock::now();
  EXPECT_EQ(readUntil(fd, "\n", 2s), "rong signature\r\n");
  EXPECT_GE(Clock::now() - first, 150ms);
  ::close(fd);
  EXPECT_EQ(BootSimProcess::verdict(sim.finish()), QStringLiteral("refused (Wrong signature at line 1)"));
}

TEST(BootSimProgram, LineSurvivesTheUploaderClosingItsPort) {
  BootSimProcess sim;
  ASSERT_TRUE(sim.start({QStringLiteral("--announce-repeat"), QStringLiteral("50")}));
  for (int open = 0; open < 2; ++open) {
    const int fd = openRaw(sim.slavePath().toStdString());
    ASSERT_GE(fd, 0);
    EXPECT_NE(readUntil(fd, "...", 2s).find("..."), std::string::npos);
    ::close(fd);
  }
  const QString report = sim.finish();
  EXPECT_EQ(sim.exitCode(), 0);
  EXPECT_EQ(BootSimProcess::linesTaken(report), 0);
}

}  // namespace

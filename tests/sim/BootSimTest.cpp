// bootsim: record checks, the boot loader on a given clock, and the program on
// its pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <BootLoader.h>
#include <SRecord.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
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
        RecordCase{"S1130000285F245F2212226A000424290008237C2B", SRecord::Verdict::BadChecksum, '1'},
        RecordCase{"S1130000285F245F2212226A000424290009237C2A", SRecord::Verdict::BadChecksum, '1'},
        RecordCase{"s1130000285f245f2212226a000424290008237c2a", SRecord::Verdict::Malformed, 0},
        RecordCase{"S1130000285f245f2212226a000424290008237c2a", SRecord::Verdict::Valid, '1'},
        RecordCase{"S5030003F9", SRecord::Verdict::Valid, '5'},
        RecordCase{"S9030000FC", SRecord::Verdict::Valid, '9'},
        RecordCase{"S804000000FB", SRecord::Verdict::Valid, '8'},
        RecordCase{"S70500000000FA", SRecord::Verdict::Valid, '7'},
        RecordCase{"S9030000F", SRecord::Verdict::Malformed, 0},        // odd length
        RecordCase{"S9040000FC", SRecord::Verdict::Malformed, 0},       // count too large
        RecordCase{"S9020000FC", SRecord::Verdict::Malformed, 0},       // count too small
        RecordCase{"S9030000GC", SRecord::Verdict::Malformed, 0},       // not hex
        RecordCase{"S4030000FC", SRecord::Verdict::Malformed, 0},       // no such type
        RecordCase{"S9030000FC ", SRecord::Verdict::Malformed, 0},      // trailing blank
        RecordCase{"", SRecord::Verdict::Malformed, 0}));

TEST(RecordMake, BuildsRecordsThatCheckOut) {
  const std::vector<std::uint8_t> data{0x00, 0x7F, 0x80, 0xFF};
  EXPECT_EQ(SRecord::make('1', 0x1234, data), "S1071234007F80FFB4");
  EXPECT_EQ(SRecord::make('9', 0, {}), "S9030000FC");
  for (char type : {'1', '2', '3', '7', '8', '9'}) {
    const SRecord::Parsed p = SRecord::parse(SRecord::make(type, 0x00ABCDEF & (type == '1' || type == '9' ? 0xFFFF : 0xFFFFFF), data));
    EXPECT_EQ(p.verdict, SRecord::Verdict::Valid) << type;
    EXPECT_EQ(p.data, data) << type;
  }
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

TEST_F(BootLoaderClock, NoAnnouncementWhenToldSo) {
  BootSimOptions o;
  o.announce = false;
  BootLoader b(o, t0);
  EXPECT_EQ(b.takeDue(t0 + 10s), "");
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

// bootsim as a child process with its standard output on a pipe.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv{const_cast<char*>(BOOTSIM_PATH)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(BOOTSIM_PATH, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
  }
  ~Child() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  std::string firstLine() {
    std::string line;
    char c;
    while (::read(out_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  // Waits for the end (after a signal, when given) and returns the rest of
  // the output.
  std::string finish(int signal = 0) {
    if (signal) ::kill(pid_, signal);
    std::string rest;
    char buf[1024];
    ssize_t n;
    while ((n = ::read(out_, buf, sizeof buf)) > 0) rest.append(buf, n);
    int st = 0;
    ::waitpid(pid_, &st, 0);
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
    return rest;
  }
  int status() const { return status_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
};

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
  Child child({"--help"});
  std::string help = child.firstLine() + "\n" + child.finish();
  EXPECT_EQ(child.status(), 0);
  for (const char* option : {"--announce-delay", "--announce-repeat", "--no-announce", "--ok-delay", "--no-ok",
                             "--refuse-line", "--exit-after-ok", "--baud", "--lines-out", "--make-samples",
                             "--help"})
    EXPECT_NE(help.find(option), std::string::npos) << option;
}

TEST(BootSimProgram, RefusesBadOptions) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--frobnicate"}, {"--baud", "0"},
                                        {"--refuse-line", "x"}, {"--ok-delay", "-5"}, {"--lines-out"}}) {
    Child child(args);
    child.finish();
    EXPECT_EQ(child.status(), 2) << args[0];
  }
}

TEST(BootSimProgram, TakesAFileAndEndsAfterOk) {
  char tmpl[] = "/tmp/bootsim-lines-XXXXXX";
  const int tmpFd = ::mkstemp(tmpl);
  ASSERT_GE(tmpFd, 0);
  ::close(tmpFd);
  Child child({"--announce-delay", "100", "--exit-after-ok", "--lines-out", tmpl});
  const std::string path = child.firstLine();
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  const int fd = openRaw(path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(readUntil(fd, "...", 2s), "...");

  const std::string file = "S008000044562D3900F7\r\nS1130000285F245F2212226A000424290008237C2A\r\nS9030000FC\r\n";
  ASSERT_EQ(::write(fd, file.data(), file.size()), ssize_t(file.size()));
  EXPECT_EQ(readUntil(fd, "OK\r\n", 2s), "OK\r\n");
  const std::string report = child.finish();  // ends by itself
  ::close(fd);
  EXPECT_EQ(child.status(), 0);
  EXPECT_NE(report.find("bootsim: lines 3\n"), std::string::npos) << report;
  EXPECT_NE(report.find("bootsim: verdict accepted (OK sent)"), std::string::npos) << report;

  std::ifstream in(tmpl, std::ios::binary);
  std::stringstream taken;
  taken << in.rdbuf();
  EXPECT_EQ(taken.str(), file);
  std::remove(tmpl);
}

TEST(BootSimProgram, PacesItsRepliesAtTheBaudRate) {
  // 1000 baud: 10 ms a byte, so "Wrong signature\r\n" takes at least 160 ms
  // from its first byte to its last.
  Child child({"--no-announce", "--baud", "1000"});
  const int fd = openRaw(child.firstLine());
  ASSERT_GE(fd, 0);
  const std::string bad = "S9030000FD\r\n";
  ASSERT_EQ(::write(fd, bad.data(), bad.size()), ssize_t(bad.size()));
  EXPECT_EQ(readUntil(fd, "W", 2s), "W");
  const auto first = Clock::now();
  EXPECT_EQ(readUntil(fd, "\n", 2s), "rong signature\r\n");
  EXPECT_GE(Clock::now() - first, 150ms);
  const std::string report = child.finish(SIGTERM);
  ::close(fd);
  EXPECT_NE(report.find("refused (Wrong signature at line 1)"), std::string::npos) << report;
}

TEST(BootSimProgram, LineSurvivesTheUploaderClosingItsPort) {
  Child child({"--announce-repeat", "50"});
  const std::string path = child.firstLine();
  int fd = openRaw(path);
  ASSERT_GE(fd, 0);
  EXPECT_NE(readUntil(fd, "...", 2s).find("..."), std::string::npos);
  ::close(fd);
  fd = openRaw(path);
  ASSERT_GE(fd, 0);
  EXPECT_NE(readUntil(fd, "...", 2s).find("..."), std::string::npos);
  ::close(fd);
  const std::string report = child.finish(SIGINT);
  EXPECT_EQ(child.status(), 0);
  EXPECT_NE(report.find("bootsim: lines 0\n"), std::string::npos) << report;
}

}  // namespace

// bootsim: the simulated boot loader of an amplifier or CD player on a
// pseudo-terminal. See --help.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <string_view>

#include "BootLoader.h"
#include <sim/common/LineLink.h>
#include "Samples.h"

namespace {

using Clock = BootLoader::Clock;
using TimePoint = BootLoader::TimePoint;

constexpr auto kExitLinger = std::chrono::milliseconds{300};

constexpr const char* kHelp =
    "usage: bootsim [options]\n"
    "Plays the boot loader of an amplifier or CD player on a pseudo-terminal.\n"
    "The first line on standard output is the terminal's slave path; at exit\n"
    "(SIGTERM, SIGINT or --exit-after-ok) the lines taken, the smallest, median\n"
    "and largest gap between lines (from the end of the LF of one line to the\n"
    "start of the next line's first byte, in ms, on the wire clock of --baud)\n"
    "and a verdict follow.\n"
    "\n"
    "  --announce-delay MS   send \"...\" once, MS after start (default 300)\n"
    "  --announce-repeat MS  send \"...\" every MS until the first line begins\n"
    "  --no-announce         never announce\n"
    "  --ok-delay MS         answer \"OK\" MS after the end record (S7/S8/S9; default 0)\n"
    "  --ok-after N          answer \"OK\" after line N instead (early)\n"
    "  --no-ok               never answer \"OK\"\n"
    "  --refuse-line N       answer \"Wrong signature\" to line N (1 = first line)\n"
    "                        (any other line that is not a valid S-record is refused\n"
    "                        too, except an S0 header whose only fault is its checksum;\n"
    "                        empty lines are ignored)\n"
    "  --exit-after-ok       end once \"OK\" has been sent\n"
    "  --baud B              pace the line at B baud, 10 bit times per byte, both ways\n"
    "  --lines-out FILE      write the lines taken, as received, to FILE at exit\n"
    "  --noise               send stray chunks 4 ms apart around every \"...\",\n"
    "                        \"Wrong signature\" and \"OK\": \"13\", CR, LF, \"10\" before\n"
    "                        it, a few random letters or digits and \"13\" after it\n"
    "  --vanish-after P      close the line, as an adapter pulled out: P is\n"
    "                        \"announce\" (the first \"...\" sent), a line number N\n"
    "                        (its LF taken; 0 = at start) or \"ok\" (\"OK\" sent);\n"
    "                        bytes not yet read are lost. Then waits for SIGTERM.\n"
    "  --vanish-delay MS     close MS after that point (default 0)\n"
    "  --link PATH           make PATH a symbolic link to the terminal, removed when\n"
    "                        the line closes: a new bootsim with the same PATH is\n"
    "                        the same device plugged in again\n"
    "  --make-samples DIR    write the sample S-record files into DIR and end\n"
    "  --help                show this text\n";

volatile sig_atomic_t stopSignal = 0;
void onStopSignal(int) { stopSignal = 1; }

bool parseCount(std::string_view text, long max, long& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && value >= 0 && value <= max;
}

int usageError(const std::string& what) {
  std::fprintf(stderr, "bootsim: %s (see --help)\n", what.c_str());
  return 2;
}

void makeRaw(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
  }
}

timespec untilTimespec(TimePoint now, TimePoint when) {
  const auto wait = when > now ? when - now : Clock::duration::zero();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

int main(int argc, char** argv) {
  BootSimOptions options;
  std::string samplesDir;
  std::string linkPath;
  constexpr long kMaxMs = 24L * 3600 * 1000;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto number = [&](long max, long& out) {
      if (i + 1 >= argc || !parseCount(argv[i + 1], max, out)) return false;
      ++i;
      return true;
    };
    long n = 0;
    if (arg == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (arg == "--announce-delay") {
      if (!number(kMaxMs, n)) return usageError("--announce-delay needs milliseconds");
      options.announceDelay = std::chrono::milliseconds{n};
    } else if (arg == "--announce-repeat") {
      if (!number(kMaxMs, n) || n == 0) return usageError("--announce-repeat needs milliseconds above 0");
      options.announceRepeat = std::chrono::milliseconds{n};
    } else if (arg == "--no-announce") {
      options.announce = false;
    } else if (arg == "--ok-delay") {
      if (!number(kMaxMs, n)) return usageError("--ok-delay needs milliseconds");
      options.okDelay = std::chrono::milliseconds{n};
    } else if (arg == "--ok-after") {
      if (!number(1000000000L, n) || n == 0) return usageError("--ok-after needs a line number from 1");
      options.okAfterLine = static_cast<int>(n);
    } else if (arg == "--no-ok") {
      options.sendOk = false;
    } else if (arg == "--refuse-line") {
      if (!number(1000000000L, n) || n == 0) return usageError("--refuse-line needs a line number from 1");
      options.refuseLine = static_cast<int>(n);
    } else if (arg == "--exit-after-ok") {
      options.exitAfterOk = true;
    } else if (arg == "--baud") {
      if (!number(10000000L, n) || n == 0) return usageError("--baud needs a rate above 0");
      options.baud = n;
    } else if (arg == "--noise") {
      options.noise = true;
    } else if (arg == "--vanish-after") {
      if (i + 1 >= argc) return usageError("--vanish-after needs announce, ok or a line number");
      const std::string_view point = argv[++i];
      if (point == "announce") {
        options.vanish = BootSimOptions::Vanish::AfterAnnouncement;
      } else if (point == "ok") {
        options.vanish = BootSimOptions::Vanish::AfterOk;
      } else if (parseCount(point, 1000000000L, n)) {
        options.vanish = BootSimOptions::Vanish::AfterLine;
        options.vanishLine = static_cast<int>(n);
      } else {
        return usageError("--vanish-after needs announce, ok or a line number");
      }
    } else if (arg == "--vanish-delay") {
      if (!number(kMaxMs, n)) return usageError("--vanish-delay needs milliseconds");
      options.vanishDelay = std::chrono::milliseconds{n};
    } else if (arg == "--link") {
      if (i + 1 >= argc) return usageError("--link needs a path");
      linkPath = argv[++i];
    } else if (arg == "--lines-out") {
      if (i + 1 >= argc) return usageError("--lines-out needs a file");
      options.linesOut = argv[++i];
    } else if (arg == "--make-samples") {
      if (i + 1 >= argc) return usageError("--make-samples needs a folder");
      samplesDir = argv[++i];
    } else {
      return usageError("unknown option " + std::string(arg));
    }
  }

  if (!samplesDir.empty()) {
    std::string error;
    if (!writeSampleFiles(samplesDir, error)) {
      std::fprintf(stderr, "bootsim: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    std::fprintf(stderr, "bootsim: no pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  makeRaw(master);
  const std::string slavePath = ::ptsname(master);
  // Our own slave descriptor keeps the line up while the uploader closes and
  // reopens its port; we never read from it.
  const int keeper = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (keeper < 0) {
    std::fprintf(stderr, "bootsim: cannot open %s: %s\n", slavePath.c_str(), std::strerror(errno));
    return 1;
  }
  makeRaw(keeper);
  if (!linkPath.empty() && !LineLink::publish(slavePath, linkPath, "bootsim")) return 1;

  // Stop signals are taken only inside ppoll, so none is lost between checks.
  sigset_t stopSet, waitMask;
  sigemptyset(&stopSet);
  sigaddset(&stopSet, SIGTERM);
  sigaddset(&stopSet, SIGINT);
  sigprocmask(SIG_BLOCK, &stopSet, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
  struct sigaction act {};
  act.sa_handler = onStopSignal;
  sigaction(SIGTERM, &act, nullptr);
  sigaction(SIGINT, &act, nullptr);

  std::printf("%s\n", slavePath.c_str());
  std::fflush(stdout);

#ifdef __linux__
  // A test that dies must not leave the simulator running.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
  if (options.baud > 0) {
    // The wire clock is only as good as the moment a byte is stamped: where
    // the system allows it, wake ahead of ordinary work (the loop only ever
    // sleeps in ppoll). Without the right to, stamps simply jitter more.
    sched_param priority{};
    priority.sched_priority = sched_get_priority_min(SCHED_FIFO);
    (void)sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &priority);
  }
  const auto byteTime = options.baud > 0
                            ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / options.baud))
                            : Clock::duration::zero();
  BootLoader loader(options, Clock::now());
  std::deque<char> outQueue;
  TimePoint nextOutByte = Clock::now();
  TimePoint lastArrival = Clock::now();
  std::optional<TimePoint> exitAt;

  int lineFd = master;
  while (!stopSignal) {
    TimePoint now = Clock::now();
    if (lineFd >= 0 && loader.vanishAt() && now >= *loader.vanishAt()) {
      // Gone as a pulled-out adapter is: the device name too, and unsent bytes.
      if (!linkPath.empty()) LineLink::withdraw(slavePath, linkPath);
      ::close(keeper);
      ::close(master);
      lineFd = -1;
      outQueue.clear();
      std::printf("bootsim: line closed\n");
      std::fflush(stdout);
    }
    if (lineFd < 0) {
      // Nothing left to serve but the stop signal.
      ::ppoll(nullptr, 0, nullptr, &waitMask);
      continue;
    }
    for (char c : loader.takeDue(now)) outQueue.push_back(c);

    // Send what the line allows by now; a full terminal buffer means nobody
    // listens, and a real line would lose those bytes too.
    while (!outQueue.empty() && (options.baud == 0 || nextOutByte <= now)) {
      const std::size_t n = options.baud == 0 ? outQueue.size() : 1;
      const std::string chunk(outQueue.begin(), outQueue.begin() + static_cast<long>(n));
      const ssize_t w = ::write(master, chunk.data(), chunk.size());
      const std::size_t done = w > 0 ? static_cast<std::size_t>(w) : chunk.size();
      outQueue.erase(outQueue.begin(), outQueue.begin() + static_cast<long>(done));
      if (options.baud > 0) nextOutByte = std::max(nextOutByte, now) + byteTime;
    }
    if (options.exitAfterOk && loader.okSent() && outQueue.empty()) {
      // Closing the master at once would drop "OK" before the uploader read it.
      if (!exitAt) exitAt = now + kExitLinger;
      if (now >= *exitAt) break;
    }

    std::optional<TimePoint> wake = loader.nextDue();
    if (exitAt && (!wake || *exitAt < *wake)) wake = exitAt;
    if (const auto v = loader.vanishAt(); v && (!wake || *v < *wake)) wake = v;
    if (!outQueue.empty() && (!wake || nextOutByte < *wake)) wake = nextOutByte;
    pollfd p{master, POLLIN, 0};
    timespec ts{};
    if (wake) ts = untilTimespec(now, *wake);
    const int r = ::ppoll(&p, 1, wake ? &ts : nullptr, &waitMask);
    if (r <= 0) continue;  // time-out, or a signal
    if (p.revents & POLLIN) {
      char buf[4096];
      const ssize_t got = ::read(master, buf, sizeof buf);
      // Stamped as read. The kernel hands written bytes to this side from a
      // worker thread of ordinary priority, so on a busy machine a stamp can
      // come some ms late; reading at a higher priority does not change that.
      const TimePoint at = Clock::now();
      for (ssize_t k = 0; k < got; ++k) {
        // Paced: a byte cannot come off the line sooner than one byte time
        // after the one before it.
        const TimePoint arrival = options.baud > 0 ? std::max(at, lastArrival + byteTime) : at;
        lastArrival = arrival;
        loader.receive(buf[k], arrival);
      }
    } else if (p.revents & (POLLHUP | POLLERR)) {
      // Only while no slave is open; ours always is, but do not spin.
      ::poll(nullptr, 0, 5);
    }
  }

  if (!options.linesOut.empty()) {
    std::ofstream out(options.linesOut, std::ios::binary | std::ios::trunc);
    out << loader.linesReceived();
    if (!out) std::fprintf(stderr, "bootsim: cannot write %s\n", options.linesOut.c_str());
  }
  std::fputs(loader.summary().c_str(), stdout);
  std::fflush(stdout);
  if (lineFd >= 0) {
    if (!linkPath.empty()) LineLink::withdraw(slavePath, linkPath);
    ::close(keeper);
    ::close(master);
  }
  return 0;
}

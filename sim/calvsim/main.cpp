// calvsim: the far end of calvboot's serial line on a pseudo-terminal.
#include "CalvDevice.h"
#include <sim/common/LineLink.h>
#include "SimOptions.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

int signalPipe[2] = {-1, -1};

void onSignal(int) {
  const char c = 1;
  (void)!::write(signalPipe[1], &c, 1);
}

bool makeRaw(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return false;
  ::cfmakeraw(&tio);
  return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

std::string readable(const Bytes& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (const std::uint8_t b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 0xF];
    s += ' ';
  }
  return s;
}

std::string blockList(const std::vector<int>& blocks) {
  if (blocks.empty()) return "none";
  std::ostringstream s;
  for (std::size_t i = 0; i < blocks.size(); ++i) s << (i ? " " : "") << blocks[i];
  return s.str();
}

bool writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(out);
}

// A byte on the line with the moment it counts as received or due to be sent.
struct TimedByte {
  std::uint8_t value;
  Clock::time_point at;
  Clock::time_point readAt{};  // received bytes: when they were read from the terminal
};

long long nanoseconds(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

class Line {
 public:
  Line(int master, const SimOptions& o) : master_(master), o_(o) {
    if (o.baud > 0) byteTime_ = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / o.baud));
  }

  // Bytes read from the master: with pacing each one arrives a byte time after the previous.
  void received(const char* data, std::size_t size, Clock::time_point now) {
    bytesIn_ += size;
    for (std::size_t i = 0; i < size; ++i) {
      lastIn_ = std::max(now, lastIn_) + byteTime_;
      in_.push_back({std::uint8_t(data[i]), lastIn_, now});
    }
  }

  // Queues bytes to send after `delay`, split into chunks (--chunk and --gap
  // unless given here) and paced.
  Clock::time_point send(const Bytes& bytes, Clock::duration delay, Clock::time_point now, int chunk = -1,
                         int gapMs = -1) {
    if (chunk < 0) chunk = o_.chunk;
    if (gapMs < 0) gapMs = o_.gapMs;
    Clock::time_point t = std::max(now + delay, lastOut_);
    declaredDelay_ += delay;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (chunk > 0 && i > 0 && i % std::size_t(chunk) == 0) {
        t += std::chrono::milliseconds(gapMs);
        declaredDelay_ += std::chrono::milliseconds(gapMs);
      }
      t += byteTime_;
      out_.push_back({bytes[i], t});
    }
    lastOut_ = t;
    queued_ += bytes.size();
    return t;
  }

  // For --timeline: the bytes queued since the last mark are one answer,
  // noted when its last byte has been written.
  void markAnswer() {
    if (o_.timeline.empty()) return;
    if (queued_ > answerFrom_) answers_.push_back({queued_, queued_ - answerFrom_, lastOut_});
    answerFrom_ = queued_;
  }

  // Next received byte that is due, if any.
  bool nextIn(Clock::time_point now, TimedByte& b) {
    if (in_.empty() || in_.front().at > now) return false;
    b = in_.front();
    in_.pop_front();
    return true;
  }

  // Writes every byte that is due in one piece. True when due bytes are left
  // because the line is full (nobody reads the other side).
  bool flushOut(Clock::time_point now) {
    Bytes due;
    for (const auto& b : out_) {
      if (b.at > now) break;
      due.push_back(b.value);
    }
    if (due.empty()) return false;
    const ssize_t n = ::write(master_, due.data(), due.size());
    if (n > 0) {
      out_.erase(out_.begin(), out_.begin() + n);
      bytesOut_ += std::size_t(n);
      while (!answers_.empty() && answers_.front().end <= bytesOut_) {
        const Answer& a = answers_.front();
        timeline_ << "reply " << nanoseconds(a.due) << " " << nanoseconds(now) << " " << a.size << "\n";
        answers_.pop_front();
      }
    }
    blocked_ = n < ssize_t(due.size());
    return blocked_;
  }

  // What a benchmark needs for the line's own time: bytes each way at 10
  // bits, plus the pauses this end was told to make.
  void writeCounters(std::ostream& out, long opens) const {
    out << "received " << bytesIn_ << "\nsent " << bytesOut_ << "\ndelay_us "
        << std::chrono::duration_cast<std::chrono::microseconds>(declaredDelay_).count() << "\nbaud " << o_.baud
        << "\nopens " << opens << "\n";
  }

  void frameStarted(const TimedByte& first, std::size_t size) {
    timeline_ << "frame " << nanoseconds(first.readAt) << " " << size << "\n";
  }
  std::string timeline() const { return timeline_.str(); }

  std::optional<Clock::time_point> nextEvent() const {
    std::optional<Clock::time_point> t;
    if (!in_.empty()) t = in_.front().at;
    if (!blocked_ && !out_.empty() && (!t || out_.front().at < *t)) t = out_.front().at;
    return t;
  }

 private:
  int master_;
  const SimOptions& o_;
  Clock::duration byteTime_{0};
  Clock::time_point lastIn_{};
  Clock::time_point lastOut_{};
  std::deque<TimedByte> in_;
  std::deque<TimedByte> out_;
  bool blocked_ = false;
  std::size_t bytesIn_ = 0;
  std::size_t bytesOut_ = 0;
  Clock::duration declaredDelay_{0};
  // --timeline: answers by the count of queued bytes that ends them.
  struct Answer {
    std::size_t end, size;
    Clock::time_point due;
  };
  std::size_t queued_ = 0, answerFrom_ = 0;
  std::deque<Answer> answers_;
  std::ostringstream timeline_;
};

}  // namespace

int main(int argc, char** argv) {
  const ParseResult parsed = parseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (parsed.help) {
    std::cout << simHelpText();
    return 0;
  }
  if (!parsed.error.empty()) {
    std::cerr << "calvsim: " << parsed.error << "\n";
    return 2;
  }
  const SimOptions& o = parsed.options;

  CalvDevice device(o);
  if (!o.flashIn.empty()) {
    std::ifstream in(o.flashIn, std::ios::binary);
    const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!device.loadFlash(image)) {
      std::cerr << "calvsim: " << o.flashIn << " is not a flash image of " << device.flash().size() << " bytes\n";
      return 2;
    }
  }
  std::ofstream trace;
  if (!o.trace.empty()) {
    trace.open(o.trace, std::ios::trunc);
    if (!trace) {
      std::cerr << "calvsim: cannot write " << o.trace << "\n";
      return 2;
    }
  }

#ifdef __linux__
  // A test that dies must not leave the simulator running.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  // Wakes on the byte clock, not up to 50 us after it (the default slack).
  if (o.baud > 0) ::prctl(PR_SET_TIMERSLACK, 1UL);
#endif
  if (::pipe(signalPipe) != 0) return 1;
  ::fcntl(signalPipe[0], F_SETFL, O_NONBLOCK);
  ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
  struct sigaction sa{};
  sa.sa_handler = onSignal;
  ::sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    std::cerr << "calvsim: no pseudo-terminal: " << std::strerror(errno) << "\n";
    return 1;
  }
  const std::string slavePath = ::ptsname(master);
  makeRaw(master);
  // Held open so the line survives the program closing and reopening its port.
  const int slaveKeeper = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slaveKeeper >= 0) makeRaw(slaveKeeper);
  // Opens of the line by programs, for --counters: watched only after the
  // keeper's own open. Closes are watched too, so that two opens in a row
  // are not merged into one event while this side has not read them yet.
  const int opensWatch = o.counters.empty() ? -1 : ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (opensWatch >= 0 && ::inotify_add_watch(opensWatch, slavePath.c_str(), IN_OPEN | IN_CLOSE) < 0) {
    std::cerr << "calvsim: cannot watch " << slavePath << ": " << std::strerror(errno) << "\n";
    return 1;
  }
  long opens = 0;
  auto countOpens = [&] {
    alignas(inotify_event) char buf[4096];
    ssize_t n;
    while (opensWatch >= 0 && (n = ::read(opensWatch, buf, sizeof buf)) > 0)
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
        if (e->mask & IN_OPEN) ++opens;
        at += ssize_t(sizeof(inotify_event) + e->len);
      }
  };
  if (!o.link.empty() && !LineLink::publish(slavePath, o.link, "calvsim")) return 1;
  std::cout << slavePath << std::endl;

  Line line(master, o);
  Bytes frame;
  TimedByte frameStart{};
  Clock::time_point lastFrameByte{};
  const auto frameTimeout = std::chrono::milliseconds(o.frameTimeoutMs);
  bool stop = false;
  bool lineClosed = false;

  while (!stop) {
    if (lineClosed) {
      // Gone as a pulled-out adapter is: its name too, and unsent bytes.
      if (!o.link.empty()) LineLink::withdraw(slavePath, o.link);
      if (slaveKeeper >= 0) ::close(slaveKeeper);
      ::close(master);
      std::cerr << "calvsim: line closed at frame " << device.frameCount() << "\n";
      // Nothing left to serve but the stop signal.
      pollfd sig{signalPipe[0], POLLIN, 0};
      while (::poll(&sig, 1, -1) < 0 && errno == EINTR) {
      }
      break;
    }
    Clock::time_point now = Clock::now();
    TimedByte b{};
    while (line.nextIn(now, b)) {
      // A frame is framed by its length byte; one shorter than a header is noise.
      if (frame.empty() && b.value < 5) {
        std::cerr << "calvsim: dropped byte " << readable({b.value}) << "\n";
        continue;
      }
      if (frame.empty()) frameStart = b;
      frame.push_back(b.value);
      lastFrameByte = b.at;
      if (frame.size() == frame[0]) {
        if (trace.is_open()) trace << readable(frame) << "\n" << std::flush;
        if (!o.timeline.empty()) line.frameStarted(frameStart, frame.size());
        const CalvDevice::Response r = device.handleFrame(frame);
        frame.clear();
        if (r.vanish) {
          lineClosed = true;
          break;
        }
        if (!r.reply.empty()) {
          // Garbage goes out on its own, so the PC sees it before the reply in any split.
          const auto garbageEnd = line.send(r.garbage, std::chrono::milliseconds(o.replyDelayMs + r.delayMs), b.at);
          const auto replyEnd = line.send(r.reply, r.garbage.empty() ? 0ms : 100ms, garbageEnd);
          if (!r.announcement.empty())
            line.send(r.announcement, std::chrono::milliseconds(o.announceDelayMs), replyEnd,
                      o.announceChunk > 0 ? o.announceChunk : -1, o.announceChunk > 0 ? o.announceGapMs : -1);
          line.markAnswer();
        }
      }
    }
    if (lineClosed) continue;
    if (!frame.empty() && now - lastFrameByte > frameTimeout) {
      std::cerr << "calvsim: dropped partial frame " << readable(frame) << "\n";
      frame.clear();
    }
    const bool lineFull = line.flushOut(now);

    std::optional<Clock::time_point> wake = line.nextEvent();
    if (!frame.empty() && (!wake || lastFrameByte + frameTimeout < *wake)) wake = lastFrameByte + frameTimeout + 1ms;
    // Woken to the nanosecond: a wake rounded up to whole milliseconds would
    // add up to a millisecond per byte time to the line, which a fast line
    // does not have.
    timespec left{};
    if (wake) {
      const auto ns = std::max<long long>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(*wake - Clock::now()).count());
      left.tv_sec = time_t(ns / 1'000'000'000);
      left.tv_nsec = long(ns % 1'000'000'000);
    }
    pollfd fds[3] = {{master, short(POLLIN | (lineFull ? POLLOUT : 0)), 0},
                     {signalPipe[0], POLLIN, 0},
                     {opensWatch, POLLIN, 0}};  // a negative descriptor is skipped
    if (::ppoll(fds, 3, wake ? &left : nullptr, nullptr) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) stop = true;
    if (fds[2].revents & POLLIN) countOpens();
    if (fds[0].revents & POLLIN) {
      char buf[4096];
      ssize_t n;
      while ((n = ::read(master, buf, sizeof buf)) > 0) line.received(buf, std::size_t(n), Clock::now());
    }
  }

  int rc = 0;
  if (!o.flashOut.empty() && !writeFile(o.flashOut, device.flash())) {
    std::cerr << "calvsim: cannot write " << o.flashOut << "\n";
    rc = 1;
  }
  if (!o.ramOut.empty() && !writeFile(o.ramOut, device.memory())) {
    std::cerr << "calvsim: cannot write " << o.ramOut << "\n";
    rc = 1;
  }
  if (!o.counters.empty()) {
    countOpens();  // those since the last pass
    std::ofstream counters(o.counters, std::ios::trunc);
    line.writeCounters(counters, opens);
    if (!counters) {
      std::cerr << "calvsim: cannot write " << o.counters << "\n";
      rc = 1;
    }
  }
  if (!o.timeline.empty()) {
    std::ofstream timeline(o.timeline, std::ios::trunc);
    timeline << line.timeline();
    if (!timeline) {
      std::cerr << "calvsim: cannot write " << o.timeline << "\n";
      rc = 1;
    }
  }
  const char* boot = device.bootState() == CalvDevice::BootState::Left     ? "boot mode left"
                     : device.bootState() == CalvDevice::BootState::Active ? "boot mode active"
                                                                           : "boot mode never entered";
  std::cout << "calvsim: " << boot << ", blocks erased: " << blockList(device.erasedBlocks())
            << ", blocks programmed: " << blockList(device.programmedBlocks())
            << ", frames: " << device.frameCount() << std::endl;
  if (!lineClosed) {
    if (!o.link.empty()) LineLink::withdraw(slavePath, o.link);
    if (slaveKeeper >= 0) ::close(slaveKeeper);
    ::close(master);
  }
  return rc;
}

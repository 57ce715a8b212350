#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the simulated boot loader is told to do.
struct BootSimOptions {
  using ms = std::chrono::milliseconds;
  bool announce = true;
  ms announceDelay{300};             // "..." once, this long after start
  std::optional<ms> announceRepeat;  // or "..." every period until a line begins
  bool sendOk = true;
  ms okDelay{0};                     // from the end record's LF to "OK"
  int okAfterLine = 0;               // answer "OK" early, after this line; 0: after the end record
  int refuseLine = 0;                // answer "Wrong signature" at this line (1-based); 0: none
  bool exitAfterOk = false;
  long baud = 0;                     // 0: bytes are not paced
  std::string linesOut;              // file for the lines taken, written at exit
  bool noise = false;                // stray chunks around every text sent
  enum class Vanish { Never, AfterAnnouncement, AfterLine, AfterOk };
  Vanish vanish = Vanish::Never;
  int vanishLine = 0;                // AfterLine: 0 is the start, before any line
  ms vanishDelay{0};                 // from that point to closing the line
};

// The boot loader of an amplifier or CD player as the uploader meets it:
// announces "...", takes S-record lines ended by CR LF, refuses a line whose
// checksum is wrong with "Wrong signature", and answers "OK" after the end
// record. Time is passed in, so the behaviour is independent of the line.
class BootLoader {
 public:
  using Clock = std::chrono::steady_clock;
  using TimePoint = Clock::time_point;

  static constexpr const char* kAnnouncement = "...";
  static constexpr const char* kRefusal = "Wrong signature\r\n";
  static constexpr const char* kAccepted = "OK\r\n";

  BootLoader(const BootSimOptions& options, TimePoint start);

  // One received byte at the time it came off the line.
  void receive(char byte, TimePoint arrival);

  // Text that is due by now, in order.
  std::string takeDue(TimePoint now);
  // When the next text falls due, if any is pending.
  std::optional<TimePoint> nextDue() const;
  // When the line is to be closed, once the chosen point has passed.
  std::optional<TimePoint> vanishAt() const { return vanishAt_; }

  bool okSent() const { return okSent_; }
  int linesTaken() const { return static_cast<int>(lineCount_); }
  // Milliseconds from the LF of each line to the first byte of the next.
  const std::vector<double>& gaps() const { return gaps_; }
  // The bytes of every complete line as they arrived, line ends included.
  const std::string& linesReceived() const { return raw_; }
  // Lines that ended in LF without the CR before it.
  int bareLineFeeds() const { return bareLf_; }

  // The closing report: lines, gap figures and the verdict.
  std::string summary() const;

 private:
  void schedule(TimePoint when, std::string text);
  // Schedules text, with stray chunks before and after it when asked to.
  void say(TimePoint when, const std::string& text);
  std::string randomChunk();
  void takeLine(const std::string& line, TimePoint lfTime);

  BootSimOptions options_;
  std::vector<std::pair<TimePoint, std::string>> pending_;  // sorted by time
  std::optional<TimePoint> nextAnnouncement_;
  bool lineBegun_ = false;

  std::string current_;
  std::optional<TimePoint> lastLf_;
  bool awaitingFirstByte_ = false;

  std::size_t lineCount_ = 0;
  std::vector<double> gaps_;
  std::string raw_;
  int bareLf_ = 0;
  int firstRefusedLine_ = 0;
  bool endSeen_ = false;
  bool okScheduled_ = false;
  bool okSent_ = false;
  Clock::duration byteTime_{0};
  std::optional<TimePoint> vanishAt_;
  unsigned noiseState_ = 12345;
};

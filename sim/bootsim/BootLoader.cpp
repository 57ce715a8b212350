#include "BootLoader.h"

#include <algorithm>
#include <cstdio>

#include "SRecord.h"

namespace {
// Stray chunks go out this far apart, so a reader that polls takes them one by one.
constexpr auto kStrayGap = std::chrono::milliseconds{4};
}  // namespace

BootLoader::BootLoader(const BootSimOptions& options, TimePoint start) : options_(options) {
  if (options_.baud > 0)
    byteTime_ = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / options_.baud));
  if (options_.vanish == BootSimOptions::Vanish::AfterLine && options_.vanishLine == 0)
    vanishAt_ = start + options_.vanishDelay;
  if (!options_.announce) return;
  nextAnnouncement_ = start + (options_.announceRepeat ? *options_.announceRepeat : options_.announceDelay);
}

void BootLoader::schedule(TimePoint when, std::string text) {
  auto at = std::upper_bound(pending_.begin(), pending_.end(), when,
                             [](TimePoint t, const auto& entry) { return t < entry.first; });
  pending_.insert(at, {when, std::move(text)});
}

void BootLoader::say(TimePoint when, const std::string& text) {
  if (!options_.noise) {
    schedule(when, text);
    return;
  }
  // The same stray chunks around every text, each on its own unless the
  // reader is slow enough to take several at once.
  for (const char* stray : {"13", "\r", "\n", "10"}) {
    schedule(when, stray);
    when += kStrayGap;
  }
  schedule(when, text);
  schedule(when += kStrayGap, randomChunk());
  schedule(when += kStrayGap, "13");
}

// A few random characters that can never form "...", "OK" or "Wrong signature".
std::string BootLoader::randomChunk() {
  static constexpr char kNoise[] = "abcdefghijklmnopqrstuvwxyz0123456789#*+-=";
  auto next = [this] {
    noiseState_ = noiseState_ * 1103515245u + 12345u;
    return noiseState_ >> 16;
  };
  std::string out(1 + next() % 6, ' ');
  for (char& c : out) c = kNoise[next() % (sizeof kNoise - 1)];
  return out;
}

void BootLoader::receive(char byte, TimePoint arrival) {
  if (awaitingFirstByte_) {
    // From the end of the line feed to the start of this byte on the wire.
    gaps_.push_back(std::chrono::duration<double, std::milli>(arrival - byteTime_ - *lastLf_).count());
    awaitingFirstByte_ = false;
  }
  lineBegun_ = true;
  current_ += byte;
  if (byte != '\n') return;

  raw_ += current_;
  std::string line = current_.substr(0, current_.size() - 1);
  current_.clear();
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  else
    ++bareLf_;
  lastLf_ = arrival;
  awaitingFirstByte_ = true;
  takeLine(line, arrival);
  if (options_.vanish == BootSimOptions::Vanish::AfterLine && options_.vanishLine == int(lineCount_))
    vanishAt_ = arrival + options_.vanishDelay;
}

void BootLoader::takeLine(const std::string& line, TimePoint lfTime) {
  const int number = static_cast<int>(++lineCount_);
  bool refuse = number == options_.refuseLine;
  SRecord::Parsed record;
  if (!refuse && !line.empty()) {
    record = SRecord::parse(line);
    // The header names the product; telling products apart is the
    // uploader's business, and one product's header checksum is off by one.
    const bool headerOnly = record.verdict == SRecord::Verdict::BadChecksum && record.type == '0';
    refuse = record.verdict != SRecord::Verdict::Valid && !headerOnly;
  }
  if (refuse) {
    if (firstRefusedLine_ == 0) firstRefusedLine_ = number;
    say(lfTime, kRefusal);
    return;
  }
  const bool endRecord = !line.empty() && SRecord::isEndRecord(record.type);
  if (endRecord) endSeen_ = true;
  if (options_.okAfterLine > 0 ? number == options_.okAfterLine : endRecord) {
    if (options_.sendOk && !okScheduled_) {
      okScheduled_ = true;
      say(lfTime + options_.okDelay, kAccepted);
    }
  }
}

std::string BootLoader::takeDue(TimePoint now) {
  std::string out;
  // The announcement stops once the uploader has begun to send.
  while (nextAnnouncement_ && !lineBegun_ && *nextAnnouncement_ <= now) {
    if (options_.noise)
      say(*nextAnnouncement_, kAnnouncement);
    else
      out += kAnnouncement;
    if (options_.vanish == BootSimOptions::Vanish::AfterAnnouncement && !vanishAt_)
      vanishAt_ = now + options_.vanishDelay;
    if (options_.announceRepeat)
      *nextAnnouncement_ += *options_.announceRepeat;
    else
      nextAnnouncement_.reset();
  }
  if (lineBegun_) nextAnnouncement_.reset();
  while (!pending_.empty() && pending_.front().first <= now) {
    if (pending_.front().second == kAccepted) {
      okSent_ = true;
      if (options_.vanish == BootSimOptions::Vanish::AfterOk && !vanishAt_) vanishAt_ = now + options_.vanishDelay;
    }
    out += pending_.front().second;
    pending_.erase(pending_.begin());
  }
  return out;
}

std::optional<BootLoader::TimePoint> BootLoader::nextDue() const {
  std::optional<TimePoint> due;
  if (nextAnnouncement_ && !lineBegun_) due = nextAnnouncement_;
  if (!pending_.empty() && (!due || pending_.front().first < *due)) due = pending_.front().first;
  return due;
}

std::string BootLoader::summary() const {
  char buf[256];
  std::string out;
  std::snprintf(buf, sizeof buf, "bootsim: lines %zu\n", lineCount_);
  out += buf;
  if (gaps_.empty()) {
    out += "bootsim: gaps 0\n";
  } else {
    std::vector<double> sorted = gaps_;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    std::snprintf(buf, sizeof buf, "bootsim: gaps %zu min %.1f median %.1f max %.1f ms\n", n,
                  sorted.front(), median, sorted.back());
    out += buf;
  }
  if (bareLf_ > 0) {
    std::snprintf(buf, sizeof buf, "bootsim: lines without CR before LF %d\n", bareLf_);
    out += buf;
  }
  if (firstRefusedLine_ > 0)
    std::snprintf(buf, sizeof buf, "bootsim: verdict refused (Wrong signature at line %d)\n",
                  firstRefusedLine_);
  else if (okSent_)
    std::snprintf(buf, sizeof buf, "bootsim: verdict accepted (OK sent)\n");
  else if (endSeen_)
    std::snprintf(buf, sizeof buf, "bootsim: verdict end record taken, no OK sent\n");
  else
    std::snprintf(buf, sizeof buf, "bootsim: verdict incomplete (no end record)\n");
  out += buf;
  return out;
}

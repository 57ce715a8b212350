#include "TestPort.h"

#include <QCoreApplication>

#include <algorithm>
#include <utility>

void TestClock::post(std::function<void()> notification) { posted_.push_back(std::move(notification)); }

bool TestClock::runDue() {
  bool ran = false;
  while (!actions_.empty() && actions_.begin()->first <= now_) {
    auto action = std::move(actions_.begin()->second);
    actions_.erase(actions_.begin());
    action();
    ran = true;
  }
  return ran;
}

void TestClock::yield(std::chrono::milliseconds maxBlock) {
  QCoreApplication::processEvents();  // Qt's own, such as a kept port's release
  const auto pending = std::exchange(posted_, {});
  for (auto& notification : pending) notification();
  if (runDue() || !pending.empty()) return;
  const TimePoint limit = now_ + maxBlock;
  now_ = actions_.empty() ? limit : std::min(limit, actions_.begin()->first);
  runDue();
}

void TestClock::sleepUntil(TimePoint until) {
  while (!actions_.empty() && actions_.begin()->first <= until) {
    now_ = std::max(now_, actions_.begin()->first);
    runDue();
  }
  now_ = std::max(now_, until);
}

// The PC end. A test line has no modem lines, as a pseudo-terminal has none.
class TestPort final : public Port {
 public:
  explicit TestPort(TestDevice& device) : d_(device) {}
  ~TestPort() override { close(); }

  void setEvents(Events events) override { d_.events_ = std::move(events); }
  void setMessageSink(MessageSink) override {}
  OpenResult open(const QString& device, const LineSettings& line, Use) override {
    close();
    if (device != d_.path) return {OpenError::NoSuchPort, QStringLiteral("No such file or directory")};
    d_.open_ = true;
    d_.line_ = line;
    return {};
  }
  void useForTraffic() override {}
  void close() override {
    if (!d_.open_) return;
    d_.queuedAtClose.append(d_.queue_.size());
    discardOutput();
    d_.inbound_.clear();
    d_.open_ = false;
  }
  bool isOpen() const override { return d_.open_; }
  QString device() const override { return d_.path; }
  bool apply(const LineSettings& line) override {
    d_.line_ = line;
    return true;
  }
  bool write(const QByteArray& bytes) override {
    if (!d_.open_) return false;
    d_.queue_ += bytes;
    d_.scheduleDeparture();
    return true;
  }
  void flush() override {}
  QByteArray read() override { return std::exchange(d_.inbound_, {}); }
  qint64 bytesReady() const override { return d_.inbound_.size(); }
  qint64 outputQueued() const override { return d_.queue_.size(); }
  void discardInput() override { d_.inbound_.clear(); }
  void discardOutput() override {
    d_.queue_.clear();
    d_.stopDeparting();
  }
  bool isGone() const override { return false; }
  LineStatus setDtr(bool) override { return modemLines().status; }
  LineStatus setRts(bool) override { return modemLines().status; }
  ModemLines modemLines() const override { return {.status = d_.open_ ? LineStatus::NoSuchLines : LineStatus::NotOpen}; }

 private:
  TestDevice& d_;
};

std::unique_ptr<Port> TestDevice::makePort() { return std::make_unique<TestPort>(*this); }

void TestDevice::scheduleDeparture() {
  if (departing_ || queue_.isEmpty() || !open_ || (pace_ && *pace_ <= 0)) return;
  departing_ = true;
  auto interval = line_.byteTime();
  if (pace_) interval = std::max(interval, std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(1 / *pace_)));
  clock_.after(interval, [this, g = ++generation_] {
    if (generation_ == g) depart();
  });
}

void TestDevice::stopDeparting() {
  ++generation_;
  departing_ = false;
}

void TestDevice::depart() {
  departing_ = false;
  if (queue_.isEmpty()) return;
  const char byte = queue_.front();
  queue_.remove(0, 1);
  arrived += byte;
  arrivalTimes.push_back(clock_.now());
  scheduleDeparture();
  if (onArrival) onArrival(byte);
}

void TestDevice::send(const QByteArray& bytes) {
  if (!open_) return;  // nobody listens
  inbound_ += bytes;
  clock_.post([this] {
    if (open_ && !inbound_.isEmpty() && events_.received) events_.received(std::exchange(inbound_, {}));
  });
}

void TestDevice::setPace(std::optional<double> bytesPerSecond) {
  pace_ = bytesPerSecond;
  stopDeparting();
  scheduleDeparture();
}

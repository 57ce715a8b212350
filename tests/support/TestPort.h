#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <platform/Port.h>
#include <serial/EventYield.h>

// Virtual time for the waits of the code under test. A yield serves the
// test line's pending notifications and Qt's pending events without
// blocking, then runs the device actions that are due; when there was none
// of either, time moves on to the next due action, or by maxBlock.
class TestClock : public WaitClock {
 public:
  TimePoint now() override { return now_; }
  void yield(std::chrono::milliseconds maxBlock) override;
  // Time moves to `until`; device actions due on the way run, but nothing is
  // served to the program (its notifications wait for the next yield).
  void sleepUntil(TimePoint until) override;

  // A device action after a virtual delay.
  void after(std::chrono::nanoseconds delay, std::function<void()> action) { actions_.emplace(now_ + delay, std::move(action)); }
  // A notification for the program, served by the next yield.
  void post(std::function<void()> notification);

 private:
  bool runDue();

  TimePoint now_ = TimePoint{} + std::chrono::hours{1};
  std::multimap<TimePoint, std::function<void()>> actions_;
  std::deque<std::function<void()>> posted_;
};

// An in-process serial line on a TestClock. makePort() gives the PC end, a
// Port for a SerialPortControl or SerialLink; this object is the device end
// and must outlive it (declare it first). Bytes the PC writes wait in its
// output queue and leave it one at a time, at the line's byte time or the
// device's slower pace, arriving here; bytes the device sends are waiting at
// the PC end at once, announced by the next yield.
class TestDevice {
 public:
  explicit TestDevice(TestClock& clock, QString path = QStringLiteral("/dev/ttyTEST0"))
      : path(std::move(path)), clock_(clock) {}

  std::unique_ptr<Port> makePort();
  void send(const QByteArray& bytes);
  // Bytes per virtual second the device takes; unset: the line's own rate;
  // 0: none at all (a stalled device).
  void setPace(std::optional<double> bytesPerSecond);

  const QString path;
  // What arrived from the PC, and when each byte had left the wire.
  QByteArray arrived;
  std::vector<WaitClock::TimePoint> arrivalTimes;
  // Called with each byte as it arrives: the device's answers.
  std::function<void(char byte)> onArrival;
  // The output queue each close of the PC end found (a kernel's close would
  // wait up to 30 s for it).
  QList<qint64> queuedAtClose;

 private:
  friend class TestPort;
  void scheduleDeparture();
  void stopDeparting();
  void depart();

  TestClock& clock_;
  bool open_ = false;
  LineSettings line_;
  Port::Events events_;
  QByteArray queue_;    // written by the PC, not yet on the wire
  QByteArray inbound_;  // sent by the device, not yet read by the PC
  std::optional<double> pace_;
  unsigned generation_ = 0;  // of the departure scheduled, if any
  bool departing_ = false;
};

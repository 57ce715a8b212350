#include "EventYield.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <thread>

void yieldToEventLoop(std::chrono::milliseconds maxBlock) {
  // The timer bounds the block, so a loop still tests its time-out often
  // enough; received bytes or any other event end the block sooner.
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  wake.start(maxBlock);
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

namespace {

class SystemClock final : public WaitClock {
 public:
  TimePoint now() override { return std::chrono::steady_clock::now(); }
  void yield(std::chrono::milliseconds maxBlock) override { yieldToEventLoop(maxBlock); }
  void sleepUntil(TimePoint until) override { std::this_thread::sleep_until(until); }
};

}  // namespace

WaitClock& WaitClock::system() {
  static SystemClock clock;
  return clock;
}

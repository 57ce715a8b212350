#include "EventYield.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

void yieldToEventLoop(std::chrono::milliseconds maxBlock) {
  // The timer bounds the block, so a loop still tests its time-out often
  // enough; received bytes or any other event end the block sooner.
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  wake.start(maxBlock);
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

#pragma once

#include <QDateTime>

#include <chrono>
#include <functional>

#include "EventYield.h"

// How long the programs wait and where their wall-clock time (the traffic
// log's time stamps, romlift's upload report) comes from, given once at
// construction: the programs keep the defaults, tests shorten the waits and
// fix the clock.
struct Timing {
  std::chrono::milliseconds reply = std::chrono::seconds{12};    // calvboot: one transaction's reply
  std::chrono::milliseconds announce = std::chrono::seconds{2};  // calvboot: the boot announcement
  std::chrono::milliseconds finalWait = std::chrono::seconds{5};  // romlift: "OK" after the last line
  std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };
  // What the timed waits (replies, the announcement, the upload's pace, the
  // output queue) run on: tests give a virtual clock.
  WaitClock* waits = &WaitClock::system();
};

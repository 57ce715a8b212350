#pragma once

#include <functional>
#include <memory>

namespace platform {

// Whether a stop request has come to this process. Set by the first one and
// never cleared; any thread may ask. Waits that must not outlast a stop (a
// lock, the line's database) look at it.
bool stopRequested();

// The requests to stop a run that the operating system delivers: on Linux
// SIGINT (Ctrl+C), SIGTERM (a script's time-out, a supervisor) and SIGHUP (a
// closed terminal). While a StopRequests lives, the first request sets
// stopRequested() and then calls onFirst on the thread that runs the event
// loop, between the run's own steps; waits yield to the event loop, so it is
// served while they run. A second request is the operator insisting: the
// process ends at once with that request's own exit status, after one line
// "<application name>: stopped at once by a second signal" on standard error
// (the system then releases the port and the locks).
class StopRequests {
 public:
  explicit StopRequests(std::function<void()> onFirst);
  // The system's own handling of those requests again.
  ~StopRequests();
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

  // The status a shell reports for a process the first request ended
  // (128 + the signal's number on Linux: 130 Ctrl+C, 143 SIGTERM, 129
  // SIGHUP); 0 when none came.
  int exitStatus() const;

 private:
  struct Watch;
  std::unique_ptr<Watch> watch_;
};

}  // namespace platform

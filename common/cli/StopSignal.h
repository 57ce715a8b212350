#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

// SIGINT, SIGTERM and SIGHUP during a run (Ctrl+C, a script's timeout or a
// supervisor, a closed terminal): the handler only writes the signal's number
// to a pipe;
// a notifier on the event thread then calls onStop, so the run stops between
// steps of its own rather than inside a signal handler. Waits yield to the
// event loop, so the notifier is served while they run. A second signal ends
// the process at once with 128 + its number.
class StopSignal : public QObject {
  Q_OBJECT
 public:
  explicit StopSignal(std::function<void()> onStop, QObject* parent = nullptr);
  ~StopSignal() override;

  bool raised() const { return raised_; }
  // 128 + the number of the signal that stopped the run, as a shell reports
  // a process that signal ended; 0 when none came.
  int exitStatus() const;

 private:
  std::function<void()> onStop_;
  QSocketNotifier* notifier_ = nullptr;
  bool raised_ = false;
  int signal_ = 0;
};

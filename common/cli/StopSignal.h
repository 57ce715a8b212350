#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

// SIGINT and SIGTERM during a run: the handler only writes a byte to a pipe;
// a notifier on the event thread then calls onStop, so the run stops between
// steps of its own rather than inside a signal handler. Waits yield to the
// event loop, so the notifier is served while they run.
class StopSignal : public QObject {
  Q_OBJECT
 public:
  explicit StopSignal(std::function<void()> onStop, QObject* parent = nullptr);
  ~StopSignal() override;

  bool raised() const { return raised_; }

 private:
  std::function<void()> onStop_;
  QSocketNotifier* notifier_ = nullptr;
  bool raised_ = false;
};

#pragma once

#include <QString>
#include <QThread>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class LineDatabase;

// The line's database on a thread of its own: every call runs there, while
// the caller's thread keeps serving its events (the window repaints, a stop
// signal is noticed). A stop signal ends the wait at once; the call itself
// then ends on its own within the database's time-outs.
class DatabaseThread {
 public:
  DatabaseThread(QString uri, QString iniPath);
  // Waits for a call still running there (bounded by the time-outs).
  ~DatabaseThread();
  DatabaseThread(const DatabaseThread&) = delete;
  DatabaseThread& operator=(const DatabaseThread&) = delete;

  // job's result, or nothing when a stop signal came first. After `slow`,
  // onSlow is called once, so that the operator learns what the run waits for.
  template <typename R>
  std::optional<R> call(std::function<R(LineDatabase&)> job, const std::function<void()>& onSlow = {}) {
    auto result = std::make_shared<std::optional<R>>();
    auto done = std::make_shared<std::atomic<bool>>(false);
    post([job = std::move(job), result, done](LineDatabase& db) {
      *result = job(db);
      done->store(true, std::memory_order_release);
    });
    if (!waitFor(*done, onSlow)) return std::nullopt;
    return std::move(*result);
  }

  static constexpr std::chrono::milliseconds kSlow{1000};
  static constexpr std::chrono::milliseconds kStopGrace{250};

 private:
  void post(std::function<void(LineDatabase&)> job);
  // True when done, false when a stop signal ended the wait.
  bool waitFor(const std::atomic<bool>& done, const std::function<void()>& onSlow);

  QThread thread_;
  QObject* context_ = nullptr;  // lives on thread_: jobs are queued to it
  // Made, used and dropped on thread_ only: a Qt SQL connection belongs to
  // the thread that opened it.
  std::unique_ptr<LineDatabase> db_;
  // db_ as the waiting thread may reach it: only to cancel a statement.
  std::atomic<LineDatabase*> live_{nullptr};
};

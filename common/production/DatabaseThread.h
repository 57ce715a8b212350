#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

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

  void serve(QString uri, QString iniPath);

  // Jobs in the order posted; an empty function ends the thread.
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void(LineDatabase&)>> jobs_;
  // The thread's own LineDatabase (a Qt SQL connection belongs to the thread
  // that opened it), as the waiting thread may reach it: only to cancel a
  // statement.
  std::atomic<LineDatabase*> live_{nullptr};
  // Joined, not only waited for: whatever the libraries keep per thread is
  // freed by the time the destructor returns.
  std::thread thread_;
};

#include "DatabaseThread.h"

#include <serial/EventYield.h>
#include <platform/StopRequests.h>

#include "LineDatabase.h"

DatabaseThread::DatabaseThread(QString uri, QString iniPath)
    : thread_(&DatabaseThread::serve, this, std::move(uri), std::move(iniPath)) {}

DatabaseThread::~DatabaseThread() {
  post({});
  thread_.join();
}

void DatabaseThread::serve(QString uri, QString iniPath) {
  LineDatabase db(uri, iniPath);
  live_.store(&db);
  for (;;) {
    std::function<void(LineDatabase&)> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      posted_.wait(lock, [this] { return !jobs_.empty(); });
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    if (!job) break;
    job(db);
  }
  live_.store(nullptr);
}

void DatabaseThread::post(std::function<void(LineDatabase&)> job) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  posted_.notify_one();
}

bool DatabaseThread::waitFor(const std::atomic<bool>& done, const std::function<void()>& onSlow) {
  const auto start = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::time_point> stopSeen;
  bool told = false;
  // The programs' one wait loop: events are served while the call runs.
  return ::waitFor(
      [&](bool) -> std::optional<bool> {
        if (done.load(std::memory_order_acquire)) return true;
        const auto now = std::chrono::steady_clock::now();
        // After a stop a quick answer is still taken (a healthy database
        // stores the record at once); a held one is not waited for.
        if (platform::stopRequested() && !stopSeen) stopSeen = now;
        if (stopSeen && now - *stopSeen > kStopGrace) {
          // Not left running until its time-out: the run's end waits for it.
          if (LineDatabase* db = live_.load()) db->cancelRunning();
          return false;
        }
        if (!told && onSlow && now - start > kSlow) {
          told = true;
          onSlow();
        }
        return std::nullopt;
      },
      std::nullopt);
}

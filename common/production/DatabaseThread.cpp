#include "DatabaseThread.h"

#include <serial/EventYield.h>
#include <settings/SettingsLock.h>

#include "LineDatabase.h"

DatabaseThread::DatabaseThread(QString uri, QString iniPath) {
  context_ = new QObject;
  context_->moveToThread(&thread_);
  QObject::connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
  thread_.start();
  QMetaObject::invokeMethod(
      context_, [this, uri = std::move(uri), iniPath = std::move(iniPath)] {
        db_ = std::make_unique<LineDatabase>(uri, iniPath);
        live_.store(db_.get());
      },
      Qt::QueuedConnection);
}

DatabaseThread::~DatabaseThread() {
  // Dropped on its own thread, after any call still running there (a quit
  // alone could leave queued calls undone).
  QMetaObject::invokeMethod(
      context_, [this] {
        live_.store(nullptr);
        db_.reset();
      },
      Qt::BlockingQueuedConnection);
  thread_.quit();
  thread_.wait();
}

void DatabaseThread::post(std::function<void(LineDatabase&)> job) {
  QMetaObject::invokeMethod(context_, [this, job = std::move(job)] { job(*db_); }, Qt::QueuedConnection);
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
        if (SettingsLock::stopRequested && !stopSeen) stopSeen = now;
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

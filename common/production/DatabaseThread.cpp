#include "DatabaseThread.h"

#include <QEventLoop>
#include <QTimer>

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
  while (!done.load(std::memory_order_acquire)) {
    // After a stop a quick answer is still taken (a healthy database stores
    // the record at once); a held one is not waited for.
    if (SettingsLock::stopRequested && !stopSeen) stopSeen = std::chrono::steady_clock::now();
    if (stopSeen && std::chrono::steady_clock::now() - *stopSeen > kStopGrace) {
      // Not left running until its time-out: the run's end waits for it.
      if (LineDatabase* db = live_.load()) db->cancelRunning();
      return false;
    }
    if (!told && onSlow && std::chrono::steady_clock::now() - start > kSlow) {
      told = true;
      onSlow();
    }
    // Events are served meanwhile; a short slice, so that the end is seen soon.
    QEventLoop slice;
    QTimer::singleShot(10, &slice, &QEventLoop::quit);
    slice.exec();
  }
  return true;
}

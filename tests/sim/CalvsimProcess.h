#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

// Runs calvsim for a test: starts it with options, learns its line from the
// first line of its output, and ends it with SIGTERM (collecting the last line).
class CalvsimProcess {
 public:
  explicit CalvsimProcess(const QStringList& options = {});
  ~CalvsimProcess();

  bool started() const { return !slavePath_.isEmpty(); }
  QString slavePath() const { return slavePath_; }
  qint64 processId() const { return process_->processId(); }
  // SIGTERM, wait for the end; returns the last line it printed.
  QString stop();

  static QString program();

 private:
  std::unique_ptr<QProcess> process_;
  QString slavePath_;
};

#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>

#include <PtyBench.h>

// The simulated amplifier or fixture as a child process, attached through
// the slave path it prints first.
class SimProcess {
 public:
  SimProcess(const QString& program, const QStringList& args) {
    proc_.start(program, args);
    if (!proc_.waitForStarted(5000)) return;
    waitUntil([&] { return proc_.canReadLine() || proc_.state() != QProcess::Running; }, std::chrono::seconds{5});
    slavePath_ = QString::fromLocal8Bit(proc_.readLine()).trimmed();
  }
  ~SimProcess() { stop(); }

  bool ok() const { return !slavePath_.isEmpty(); }
  QString slavePath() const { return slavePath_; }

  // Stops it with SIGTERM, so that it writes its trace and dump files, and
  // returns its last line of output.
  QString stop() {
    if (proc_.state() != QProcess::NotRunning) {
      proc_.terminate();
      if (!proc_.waitForFinished(5000)) proc_.kill();
      proc_.waitForFinished(2000);
      lastLine_ = QString::fromLocal8Bit(proc_.readAllStandardOutput().trimmed().split('\n').last());
    }
    return lastLine_;
  }

 private:
  QProcess proc_;
  QString slavePath_, lastLine_;
};

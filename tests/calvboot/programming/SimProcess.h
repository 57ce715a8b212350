#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>

#include <PtyBench.h>

// The simulated amplifier or fixture as a child process: started with its
// options, attached through the slave path it prints first, stopped with
// SIGTERM so that it writes its trace and dump files.
class SimProcess {
 public:
  SimProcess(const QString& program, const QStringList& args) {
    proc_.setProgram(program);
    proc_.setArguments(args);
    proc_.setProcessChannelMode(QProcess::SeparateChannels);
    proc_.start();
    if (!proc_.waitForStarted(5000)) return;
    waitUntil([&] { return proc_.canReadLine() || proc_.state() != QProcess::Running; },
              std::chrono::seconds{5});
    slavePath_ = QString::fromLocal8Bit(proc_.readLine()).trimmed();
  }
  ~SimProcess() { stop(); }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool ok() const { return !slavePath_.isEmpty(); }
  QString slavePath() const { return slavePath_; }

  // Stops the simulator and returns its last line of standard output.
  QString stop() {
    if (proc_.state() != QProcess::NotRunning) {
      proc_.terminate();
      if (!proc_.waitForFinished(5000)) {
        proc_.kill();
        proc_.waitForFinished(2000);
      }
      const QList<QByteArray> lines = proc_.readAllStandardOutput().trimmed().split('\n');
      lastLine_ = QString::fromLocal8Bit(lines.isEmpty() ? QByteArray() : lines.last());
    }
    return lastLine_;
  }

  // Frames of a --trace file ("0A 01 00 F8 05 ..." per line) as bytes.
  static QList<QByteArray> readTrace(const QString& path) {
    QList<QByteArray> frames;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return frames;
    for (const QByteArray& line : f.readAll().split('\n')) {
      const QByteArray t = line.trimmed();
      if (!t.isEmpty()) frames << QByteArray::fromHex(t);
    }
    return frames;
  }

 private:
  QProcess proc_;
  QString slavePath_;
  QString lastLine_;
};

// What a frame does, read from its bytes: F7 01 / F7 02 for boot mode on and
// off, otherwise the SFO code of a carrier frame (0x10, 0x41..0x45).
inline int frameCode(const QByteArray& frame) {
  if (frame.size() > 5 && std::uint8_t(frame[3]) == 0xF7) return 0xF700 | std::uint8_t(frame[4]);
  if (frame.size() > 6 && std::uint8_t(frame[3]) == 0xF8) return std::uint8_t(frame[6]);
  return -1;
}

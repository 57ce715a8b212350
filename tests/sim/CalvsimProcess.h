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

// A plain serial line to the simulator's slave side (raw: calvsim set it so), without ComForm.
class RawLine {
 public:
  explicit RawLine(const QString& path);
  ~RawLine();
  RawLine(const RawLine&) = delete;
  RawLine& operator=(const RawLine&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  bool write(const QByteArray& bytes);
  // Everything that arrives within `span`.
  QByteArray readFor(std::chrono::milliseconds span) { return read(span, false); }
  // Sends a frame and returns the reply framed by its length byte, or what came until the time-out.
  QByteArray exchange(const QByteArray& frame, std::chrono::milliseconds timeout = std::chrono::milliseconds{1000}) {
    return write(frame) ? read(timeout, true) : QByteArray();
  }

 private:
  QByteArray read(std::chrono::milliseconds timeout, bool oneReply);
  int fd_ = -1;
};

// Frame bytes as the PC builds them: length, address, command, parameters, check byte.
QByteArray calvFrame(std::uint8_t command, const QByteArray& parameters, std::uint16_t address = 1);
// A carrier frame with an SFO message (length, 0x23, code, parameters, SFO check byte).
QByteArray calvSfoFrame(std::uint8_t code, const QByteArray& parameters, std::uint16_t address = 1);

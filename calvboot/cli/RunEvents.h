#pragma once

#include <QJsonObject>
#include <QMutex>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include <programming/ProgramModule.h>

// calvboot --json: one JSON object per line on standard output for every
// event of a run (single or one slot of several), each naming its slot's
// port, device and adapter serial number. The fields are described in
// docs/run-events.schema.json. Lines of several slots never interleave.
class RunEvents {
 public:
  // Each event's line goes to sink; without one, straight to standard output.
  using Sink = std::function<void(const QByteArray&)>;
  explicit RunEvents(Sink sink = {}) : sink_(std::move(sink)) {}

  // The slot: "COM3" or null for a device given by path, the device, and the
  // adapter's serial number when the system knows it.
  struct Slot {
    std::optional<int> comPort;
    QString device;
    QString adapterSerial;
  };

  void start(const Slot& slot, const QString& file);
  void phase(const Slot& slot, const QString& text);
  void block(const Slot& slot, int block, int moduleCrc, int pcCrc);
  void progress(const Slot& slot, qint64 bytes, qint64 total);
  void end(const Slot& slot, const QString& outcome, int exitStatus, std::optional<std::uint32_t> serial,
           double seconds);

  // The slot of a port number (none: a device given by path) opening device.
  static Slot slotFor(std::optional<int> comPort, const QString& device);

 private:
  void write(const Slot& slot, const QString& event, QJsonObject fields);
  Sink sink_;
  QMutex mutex_;
};

// A run's view that turns the sequence's changes into events: a phase for
// each new status text, a block for each CRC comparison, and progress at most
// four times a second (and the last).
class RunEventView : public ProgramView {
 public:
  RunEventView(RunEvents& events, RunEvents::Slot slot) : events_(events), slot_(std::move(slot)) {}
  void setStatusText(const QString& text) override;
  void setProgress(float) override {}
  void bytesSent(qint64 done, qint64 total) override;
  void blockChecked(int block, int moduleCrc, int pcCrc) override { events_.block(slot_, block, moduleCrc, pcCrc); }

 private:
  RunEvents& events_;
  RunEvents::Slot slot_;
  QString lastPhase_;
  std::optional<std::chrono::steady_clock::time_point> lastProgress_;
};

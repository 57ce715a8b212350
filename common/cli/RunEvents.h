#pragma once

#include <QCommandLineOption>
#include <QJsonObject>
#include <QMutex>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace cli {

// --json of both programs: one JSON object per line on standard output for
// every event of a run (single or one slot of several), each naming its
// slot's port, device and adapter serial number. The fields are described in
// docs/run-events.schema.json. Lines of several slots never interleave.
class RunEvents {
 public:
  // Each event's line goes to sink; without one, straight to standard output.
  using Sink = std::function<void(const QByteArray&)>;
  explicit RunEvents(Sink sink = {}) : sink_(std::move(sink)) {}

  // The option as both programs offer it.
  static QCommandLineOption option();

  // The slot: "COM3" or null for a device given by path, the device, and the
  // adapter's serial number when the system knows it.
  struct Slot {
    std::optional<int> comPort;
    QString device;
    QString adapterSerial;
  };
  // What progress counts: the file's data bytes (bytes, total) or its lines
  // (lines, total_lines).
  enum class Unit { Bytes, Lines };

  void start(const Slot& slot, const QString& file);
  void phase(const Slot& slot, const QString& text);
  void progress(const Slot& slot, qint64 done, qint64 total, Unit unit = Unit::Bytes);
  void end(const Slot& slot, const QString& outcome, int exitStatus, std::optional<std::uint32_t> serial,
           double seconds);
  // Any event: its own fields, then the slot's and the time.
  void write(const Slot& slot, const QString& event, QJsonObject fields);

  // The slot of a port number (none: a device given by path) opening device.
  static Slot slotFor(std::optional<int> comPort, const QString& device);

 private:
  Sink sink_;
  QMutex mutex_;
};

}  // namespace cli

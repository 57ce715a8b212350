#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "MessageSink.h"

// A serial line's settings: baud, parity, data bits, stop bits.
struct LineSettings {
  enum class Parity { None, Even, Odd, Mark, Space };
  enum class StopBits { One, OneAndHalf, Two };

  static constexpr std::int32_t kHighestBaud = 4'000'000;

  std::int32_t baud = 9600;
  Parity parity = Parity::None;
  int dataBits = 8;  // 5..8
  StopBits stopBits = StopBits::One;

  // "9600,N,8,1": baud, parity letter (N, E, O, M, S), data bits, stop bits
  // (1, 1.5, 2); nothing for a text it cannot take.
  static std::optional<LineSettings> parse(const QString& text);
  // Time one byte takes on the wire: start bit, data bits, parity bit and
  // stop bits (one and a half counted as two).
  std::chrono::nanoseconds byteTime() const;

  bool operator==(const LineSettings&) const = default;
};

// One serial device, as the port control drives it: every call the system
// needs for a line (settings, queues, exclusive use, hang-ups) happens behind
// this. The system's ports come from makeSystemPort(); tests use their own.
//
// Notifications go to the callbacks given with setEvents(), on the thread of
// the event loop; `lost` may also come from inside a call that found the
// device gone (a write). The port never closes itself: the callback decides.
class Port {
 public:
  enum class OpenError {
    None,
    NoSuchPort,          // no device behind the name
    InUse,               // held by another program (its lock or exclusive use)
    Refused,             // the system refuses this user the device
    NotCharacterDevice,  // a name that is no terminal (a file, a FIFO)
    Other,
  };
  struct OpenResult {
    OpenError error = OpenError::None;
    // The system's reason; for Refused followed by the group hint.
    QString reason;
    bool ok() const { return error == OpenError::None; }
  };

  // Look: a start-up probe, which leaves the line's settings as it found
  // them. Traffic: the line is left raw, without echo, at the close, so that
  // what the equipment sends later is never sent back to it.
  enum class Use { Look, Traffic };

  struct Events {
    std::function<void(const QByteArray& bytes)> received;  // bytes that arrived
    std::function<void()> lost;  // the device was hung up (an adapter pulled out) while open
  };

  // Modem lines, where the device has them.
  enum class LineStatus { Done, NotOpen, NoSuchLines, Failed };
  struct ModemLines {
    LineStatus status = LineStatus::NotOpen;
    bool cts = false, dsr = false, cd = false;
  };

  virtual ~Port() = default;

  virtual void setEvents(Events events) = 0;
  // Where the port's own words for the operator go (a close that could not
  // leave the line raw).
  virtual void setMessageSink(MessageSink sink) = 0;

  // Opens the device at these settings, without flow control. An open port
  // is closed first.
  virtual OpenResult open(const QString& device, const LineSettings& line, Use use) = 0;
  // A port opened only to look is now used for traffic (left raw at close).
  virtual void useForTraffic() = 0;
  // The real close: the device is released.
  virtual void close() = 0;
  virtual bool isOpen() const = 0;
  // The device path of the open (or last) port.
  virtual QString device() const = 0;
  // New settings for an open port, at once.
  virtual bool apply(const LineSettings& line) = 0;

  // Hands the bytes to the driver now (it does not wait for them to leave);
  // what the driver cannot take yet stays queued, in order.
  virtual bool write(const QByteArray& bytes) = 0;
  // Hands on whatever is still queued on our side, as far as the driver takes it.
  virtual void flush() = 0;
  // What is waiting and was not handed to `received` yet, without raising it.
  virtual QByteArray read() = 0;
  // Received bytes not yet read: ours and the driver's.
  virtual qint64 bytesReady() const = 0;
  // Bytes not yet on the wire: ours and the driver's.
  virtual qint64 outputQueued() const = 0;
  virtual void discardInput() = 0;
  virtual void discardOutput() = 0;
  // The open device has been hung up.
  virtual bool isGone() const = 0;

  virtual LineStatus setDtr(bool on) = 0;
  virtual LineStatus setRts(bool on) = 0;
  virtual ModemLines modemLines() const = 0;
};

// A port on this system's serial devices.
std::unique_ptr<Port> makeSystemPort();

#pragma once

#include <QSerialPort>

#include <optional>

#include <platform/Port.h>

// The port on Linux: QSerialPort reads, writes and sets the line; termios and
// ioctl do what it does not (the kernel's queues, hang-ups, low latency, a
// close that leaves the line raw and free for the next program).
class LinuxPort final : public Port {
 public:
  LinuxPort();
  ~LinuxPort() override;
  LinuxPort(const LinuxPort&) = delete;
  LinuxPort& operator=(const LinuxPort&) = delete;

  void setEvents(Events events) override;
  void setMessageSink(MessageSink sink) override;
  OpenResult open(const QString& device, const LineSettings& line, Use use) override;
  void useForTraffic() override;
  void close() override;
  bool isOpen() const override;
  QString device() const override;
  bool apply(const LineSettings& line) override;
  bool write(const QByteArray& bytes) override;
  void flush() override;
  QByteArray read() override;
  qint64 bytesReady() const override;
  qint64 outputQueued() const override;
  void discardInput() override;
  void discardOutput() override;
  bool isGone() const override;
  LineStatus setDtr(bool on) override;
  LineStatus setRts(bool on) override;
  ModemLines modemLines() const override;

 private:
  void onError(QSerialPort::SerialPortError error);
  int fd() const;

  QSerialPort port_;
  QString device_;
  LineSettings line_;
  Events events_;
  MessageSink sink_;
  bool leaveRaw_ = false;  // opened for traffic
  bool closing_ = false;   // errors of a closing line are moot
  bool fetching_ = false;  // inside read(): arrivals are its result, not events
  // The driver's serial flags before low latency was asked for, to put back
  // at the close.
  std::optional<int> flagsBeforeLowLatency_;
};

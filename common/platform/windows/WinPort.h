#pragma once

#include <QObject>

#include <deque>
#include <memory>

#include <platform/Port.h>

#include <windows.h>

class QTimer;
class QWinEventNotifier;

// The port on Windows, on the Win32 serial interface: an overlapped handle on
// \\.\COMn, the line set through its DCB, reads that return at once with what
// is there, and WaitCommEvent's event served by the Qt event loop. Writes are
// handed to the driver at once and never waited on.
class WinPort final : public Port {
 public:
  WinPort();
  ~WinPort() override;
  WinPort(const WinPort&) = delete;
  WinPort& operator=(const WinPort&) = delete;

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

  // One overlapped operation: its OVERLAPPED, event and buffer stay where
  // they are until the driver has finished with them.
  struct Operation;

 private:
  // How received bytes are noticed. Events: WaitCommEvent(EV_RXCHAR) in
  // flight, the bytes then read at once. Reads: an overlapped ReadFile in
  // flight, which the driver completes when bytes arrive; for drivers that
  // cannot wait on events (Wine's pseudo-terminal, which has no modem
  // status, cancels every WaitCommEvent at once).
  enum class Receive { Events, Reads };

  void watchEvent(Operation& op);
  void armCommEvent();
  void onCommEvent();
  void useReads();
  void armRead();
  void onReadDone();
  // Takes a finished read in flight: its bytes; `gone` when it found the
  // device gone.
  QByteArray takeRead(bool* gone);
  void postDelivery();
  void deliver(const QByteArray& bytes, bool gone);
  QByteArray readWaiting(bool* gone);
  // Writes the driver has finished with are dropped; false when one of them
  // found the device gone.
  bool reapWrites(bool wait) const;
  void cancelWrites() const;
  void lose();
  void loseLater() const;
  // False when the device is gone: the system no longer answers for the line.
  bool checkLine() const;
  bool failedForGood(DWORD error) const;

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  QString device_;
  LineSettings line_;
  Events events_;
  MessageSink sink_;
  bool restoreAtClose_ = false;  // a look: the line goes back as found
  DCB dcbAtOpen_{};
  COMMTIMEOUTS timeoutsAtOpen_{};
  bool dtrOn_ = true;
  bool rtsOn_ = true;
  bool lost_ = false;
  bool closing_ = false;
  // Bumped at every open and close: a callback that closed or reopened the
  // port ends the loop that called it.
  unsigned generation_ = 0;

  std::unique_ptr<Operation> commWait_;  // WaitCommEvent's
  std::unique_ptr<Operation> reading_;   // ReadFile's
  Receive receive_ = Receive::Events;
  mutable std::deque<std::unique_ptr<Operation>> writes_;
  std::unique_ptr<QWinEventNotifier> notifier_;
  std::unique_ptr<QTimer> watch_;
  mutable QObject anchor_;  // the context of posted calls: they go with the port
};

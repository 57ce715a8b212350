#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

#include <platform/MessageSink.h>
#include <platform/Port.h>

class WaitClock;

// The serial port control that ComForm holds as MSComm1: a numbered port
// (COM1..COM16) with a line-settings string, buffer sizes, read length,
// waiting/pending counts, text or binary line mode and a receive event.
// Built on a Port (the system's unless given one); nothing in here calls the
// operating system.
class SerialPortControl : public QObject {
  Q_OBJECT
 public:
  // Error numbers of a failed open.
  static constexpr int kErrNoSuchPort = 8002;
  static constexpr int kErrPortInUse = 8005;
  static constexpr int kErrOpenFailed = 8012;

  // Receive event codes raised through commEvent().
  enum CommEvent : int {
    comEvSend = 1,
    comEvReceive = 2,
    comEvCTS = 3,
    comEvDSR = 4,
    comEvCD = 5,
    comEvRing = 6,
    comEvEOF = 7,
    comEventBreak = 1001,
    comEventFrame = 1004,
    comEventOverrun = 1006,
    comEventRxOver = 1008,
    comEventRxParity = 1009,
    comEventTxFull = 1010,
    comEventDCB = 1011,
  };

  enum class InputMode { Text = 0, Binary = 1 };

  // On the system's port (makeSystemPort()); a null port means that too.
  explicit SerialPortControl(QObject* parent = nullptr);
  explicit SerialPortControl(std::unique_ptr<Port> port, QObject* parent = nullptr);
  ~SerialPortControl() override;

  // Where the words for the operator go (open failures, a close that could
  // not leave the line raw); without a sink they are dropped.
  void setMessageSink(MessageSink sink);
  // What drainOutput() waits on; the system's clock unless set.
  void setWaitClock(WaitClock& clock);

  // setup.ini whose section "Ports" may map "COM<n>" to a device path.
  void setPortsIniPath(const QString& iniPath);
  QString portsIniPath() const;

  // Device for port number n: "Ports"/"COM<n>" of setup.ini (read with an
  // empty default, so nothing is written back), else the default table
  // (COM1..8 ttyUSB0..7, COM9..12 ttyACM0..3, COM13..16 ttyS0..3).
  static QString deviceForPort(int n, const QString& iniPath);
  // A device for this run only (a command-line --device): opens it whatever
  // the port number; empty returns to the numbered device.
  void setDeviceOverride(const QString& device);

  // The adapter a numbered port must have behind its device: its USB serial
  // number from "Adapters"/"COM<n>" of setup.ini (read with an empty
  // default, so nothing is written back); empty: any adapter.
  static QString adapterForPort(int n, const QString& iniPath);
  // A binding for this run (a command-line PATH=SERIAL); it holds for a
  // device given with setDeviceOverride() too, which setup.ini's does not.
  // origin names where it came from in the refusal ("--devices"). An empty
  // serial returns to setup.ini's binding.
  void bindAdapter(const QString& serial, const QString& origin);

  void setCommPort(int n);
  int commPort() const;

  // "9600,N,8,1", "57600,N,8,1", "115200,N,8,1" (any baud accepted). Returns
  // false and keeps the old settings for a string it cannot take.
  bool setSettings(const QString& settings);
  QString settings() const;

  void setInBufferSize(int bytes);
  int inBufferSize() const;
  void setOutBufferSize(int bytes);
  int outBufferSize() const;
  void setInputLen(int n);  // 0: a read takes everything waiting
  int inputLen() const;
  void setInputMode(InputMode mode);
  InputMode inputMode() const;
  void setRThreshold(int n);
  int rThreshold() const;

  int inBufferCount() const;        // received bytes waiting
  void setInBufferCount(int n);     // 0 discards them
  int outBufferCount() const;       // bytes not yet handed to the driver
  void setOutBufferCount(int n);    // 0 discards them

  bool portOpen() const;
  // Opens that only test a port (start-up probes, the port list) leave the
  // line's settings as they found them; a line opened for traffic is left
  // raw, without echo, when it is closed, so that what the equipment sends
  // later is never sent back to it.
  void setLookOnly(bool lookOnly);
  // Opens or closes. Returns 0, or the error number of a failed open
  // (kErrNoSuchPort, kErrPortInUse, kErrOpenFailed or another number).
  // A close keeps the descriptor until the event loop runs again; an open of
  // the same device at the same settings before then takes it over and
  // discards what arrived, as a reopen would, without touching the line.
  // Anything else releases the device for real. Opens ask the driver for
  // low latency; the real close puts the previous setting back. A port bound
  // to an adapter opens only when that adapter is behind its device, and
  // then opens the adapter's own node (/dev/ttyUSB2), not the path given.
  int setPortOpen(bool open);
  // The system's reason for the last failed open.
  QString lastOpenErrorText() const;
  // The last open was refused because the port is bound to an adapter and
  // another one, or none, is behind its device (kErrOpenFailed, and a line
  // naming both serial numbers for the operator). Nothing was opened.
  bool adapterRefused() const;
  // True when the system refuses this user the device (not a missing or
  // silent device): the case for the serial-port group hint.
  static bool accessRefused(const QString& device);

  // Hands bytes to the driver at once (does not wait for them to leave).
  // Returns false when the port is closed or the write fails.
  bool output(const QByteArray& bytes);
  // Reads what is waiting (inputLen bytes at most, everything when 0).
  QByteArray input();
  // Takes bytes as if the line had delivered them, raising the receive event
  // as an arrival would; lets the fuzzer drive the receive handler quickly.
  void deliverReceived(const QByteArray& bytes);

  // How a wait for the output queue ended.
  enum class Drain { Drained, Stopped, Stalled, Closed };
  // Waits until Qt and the driver hold none of the bytes handed over so far,
  // yielding to the event loop. stopWaiting (tested every pass) ends the wait
  // early. A queue that does not shrink within twice its wire time plus a
  // margin is a stalled line: the port is closed, the output dropped, and
  // lineStalled raised. Closed: the port was not open, or closed meanwhile.
  Drain drainOutput(const std::function<bool()>& stopWaiting = {});
  // Time one byte takes on the wire at the current line settings: start
  // bit, data bits, parity bit and stop bits.
  std::chrono::nanoseconds byteTime() const;

 signals:
  // Raised on the event thread; comEvReceive for every arriving chunk.
  void commEvent(int code);
  // The device vanished while open (an adapter pulled out); the port has
  // been closed already.
  void deviceLost(const QString& device);
  // The device took none of `pending` queued bytes in `waited`; the port has
  // been closed already.
  void lineStalled(const QString& device, int pending, std::chrono::milliseconds waited);

 private:
  void collectWaiting();
  void loseDevice();
  void release();  // the real close
  struct Binding;
  Binding binding() const;
  int refuseAdapter(const QString& device, const Binding& binding, const QString& found);

  struct Private;
  std::unique_ptr<Private> d;
};

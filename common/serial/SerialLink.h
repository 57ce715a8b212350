#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

#include "SerialPortControl.h"
#include "Timing.h"
#include "TrafficLog.h"

// The serial session both programs run on: the port (MSComm1), the received
// bytes collected into ReplyBuffer by the program's receive rule, the traffic
// log and the port-failure messages. No widget: the serial window ComForm
// shows it, command-line runs use it alone. Wire data are byte strings.
class SerialLink : public QObject {
  Q_OBJECT
 public:
  // How received bytes reach ReplyBuffer, fixed for a program's lifetime.
  // Frame: calvboot's replies, judged by their length byte, with the 80-byte
  // overflow rule. Uploader: romlift's boot-loader texts, every chunk
  // appended except a bare CR or LF number.
  enum class ReceiveMode { Frame, Uploader };

  static constexpr int kOverflowLength = 80;
  static constexpr int kBufferSize = 96;

  // programFolder holds setup.ini (its "Ports" section maps port numbers to
  // devices) and Log.txt; the log's time stamps come from timing's clock,
  // the waits run on timing's wait clock. port: the line (null: the system's).
  SerialLink(ReceiveMode mode, const QString& programFolder, const Timing& timing = {}, QObject* parent = nullptr,
             std::unique_ptr<Port> port = nullptr);
  ~SerialLink() override;

  ReceiveMode receiveMode() const { return mode_; }

  // Shared reply text: one byte per received byte, appended only by the
  // receive handler; callers read and empty it.
  QByteArray ReplyBuffer;

  bool LogOn = false;
  QString LogFileName;

  // Port setup and line modes.
  bool SetupMScomm(std::uint8_t ComPort, std::uint8_t ComSpeed);
  bool SetupMScommForProduction(std::uint8_t ComPort, std::uint8_t ComSpeed);
  bool SetupMScommAsBinary(std::uint8_t ComPort, std::uint8_t ComSpeed);
  void CloseMScomm();
  bool CheckMScomm() const;
  // The device of the last setup vanished while the port was open (not a
  // setup that failed to open it).
  bool deviceWasLost() const { return lost_; }

  // Whether a port can be opened at the given speed, without any message;
  // the port is closed again and ReplyBuffer emptied. Both programs use it
  // to offer only the ports that open.
  bool probePort(std::uint8_t ComPort, std::uint8_t ComSpeed);

  // Sending and receiving.
  void SendMScommString(const QByteArray& str);
  void ClearMScommInput();
  std::int16_t GetMScommInBufferCount() const;
  QByteArray GetMScommInBuffer();
  void WriteOut(const QString& str);
  void WriteIn(const QString& str);
  void MSComm1_OnComm(int code);

  // The "AmpCom"/"Debug" value that shows the serial window (and, in
  // calvboot, starts the traffic log): numerically 457.
  static constexpr int kDebugValue = 457;
  static bool isDebugValue(const QString& debugSetting);

  // Traffic log: startLog() begins Log.txt afresh with its header, as
  // checking "Log to File" does; SetLogOn() only when it is not on yet.
  void startLog();
  void SetLogOn();
  bool LogWriteLine(const QString& text, bool withTimestamp);
  TrafficLog& trafficLog() { return *log_; }

  SerialPortControl& MSComm1() { return *port_; }
  // What the waits on this line run on (Timing::waits).
  WaitClock& clock() const { return *clock_; }

  // Port-failure messages go through here; without one they are dropped.
  // The serial window shows a modal box, command-line runs print a line.
  using PortMessage = std::function<void(const QString& text)>;
  void setPortMessage(PortMessage message);

 signals:
  // The last line sent ("TX: ...") and received ("RX: ...", or a lost device).
  void txText(const QString& text);
  void rxText(const QString& text);
  // The device vanished while open (reported on standard error already).
  void deviceLost(const QString& device);

 private:
  enum class Flavour { Normal, Production, Binary };
  bool setup(Flavour flavour, std::uint8_t ComPort, std::uint8_t ComSpeed);
  void reportOpenFailure(int errorNumber);

  ReceiveMode mode_;
  std::unique_ptr<SerialPortControl> port_;
  std::unique_ptr<TrafficLog> log_;
  WaitClock* clock_;
  PortMessage portMessage_;
  bool lost_ = false;
};

#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <platform/MessageSink.h>

#include "ReceiveRule.h"
#include "SerialPortControl.h"
#include "Timing.h"
#include "TrafficLog.h"

// The serial session both programs run on: the port (MSComm1), the received
// bytes collected into ReplyBuffer by the program's receive rule, the traffic
// log and the port-failure messages. The program owns it; the serial window
// ComForm only shows it. Wire data are byte strings.
class SerialLink : public QObject {
  Q_OBJECT
 public:
  static constexpr int kBufferSize = 96;

  // rule: how received bytes reach ReplyBuffer, fixed for the program's
  // lifetime. programFolder holds setup.ini (its "Ports" section maps port
  // numbers to devices) and Log.txt; the log's time stamps come from
  // timing's clock, the waits run on timing's wait clock. port: the line
  // (null: the system's).
  SerialLink(std::unique_ptr<ReceiveRule> rule, const QString& programFolder, const Timing& timing = {},
             QObject* parent = nullptr, std::unique_ptr<Port> port = nullptr);
  ~SerialLink() override;

  // "RX: " and the bytes in readable hex: the received-line text.
  static QString rxLine(const QByteArray& bytes);

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
  // The port failed since the last clearPortFailure(): it would not open,
  // its device vanished, or it stopped taking bytes. Holds the first port
  // message (empty for a vanished device).
  std::optional<QString> portFailure() const { return portFailure_; }
  void clearPortFailure() { portFailure_.reset(); }

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
  // What the operator should read about the line beyond those messages (a
  // device that vanished or stalled, the system's reason for a failed open):
  // whole lines, those about the link headed by the program's name; the
  // program decides where they go.
  void setMessageSink(MessageSink sink);

 signals:
  // The last line sent ("TX: ...") and received ("RX: ...", or a lost device).
  void txText(const QString& text);
  void rxText(const QString& text);
  // The device vanished while open (told to the message sink already).
  void deviceLost(const QString& device);

 private:
  enum class Flavour { Normal, Production, Binary };
  bool setup(Flavour flavour, std::uint8_t ComPort, std::uint8_t ComSpeed);
  void reportOpenFailure(int errorNumber);
  void portMessage(const QString& text);

  void tell(const QString& text) const;

  std::unique_ptr<ReceiveRule> rule_;
  std::unique_ptr<SerialPortControl> port_;
  std::unique_ptr<TrafficLog> log_;
  WaitClock* clock_;
  PortMessage portMessage_;
  MessageSink messages_;
  bool lost_ = false;
  std::optional<QString> portFailure_;
};

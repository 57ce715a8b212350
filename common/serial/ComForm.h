#pragma once

#include <QByteArray>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>

#include "SerialPortControl.h"
#include "TrafficLog.h"

class QCheckBox;
class QLabel;
class QLineEdit;

// The serial window that both programs carry: it owns the port (MSComm1),
// collects received bytes into ReplyBuffer, shows the last sent and received
// line and writes the traffic log. Wire data are byte strings throughout.
class ComForm : public QWidget {
  Q_OBJECT
 public:
  // Which program uses the form: only calvboot empties ReplyBuffer when it
  // grows past 80 bytes in frame mode.
  enum class Host { Calvboot, Romlift };

  static constexpr int kOverflowLength = 80;
  static constexpr int kBufferSize = 96;

  // programFolder holds setup.ini (its "Ports" section maps port numbers to
  // devices) and Log.txt. The caption is left to the program.
  ComForm(Host host, const QString& programFolder, QWidget* owner = nullptr);
  ~ComForm() override;

  // Shared reply text: one byte per received byte, appended only by the
  // receive handler; callers read and empty it.
  QByteArray ReplyBuffer;

  bool LogOn = false;
  QString LogFileName;
  bool RomliftActive = false;

  // Port setup and line modes.
  bool SetupMScomm(std::uint8_t ComPort, std::uint8_t ComSpeed);
  bool SetupMScommForProduction(std::uint8_t ComPort, std::uint8_t ComSpeed);
  bool SetupMScommAsBinary(std::uint8_t ComPort, std::uint8_t ComSpeed);
  void CloseMScomm();
  bool CheckMScomm() const;

  // Sending and receiving.
  void SendMScommString(const QByteArray& str);
  void ClearMScommInput();
  std::int16_t GetMScommInBufferCount() const;
  QByteArray GetMScommInBuffer();
  void WriteOut(const QString& str);
  void WriteIn(const QString& str);
  void SetRomliftActive();
  void SetVisibility(bool Level);
  void MSComm1_OnComm(int code);

  // Whether a port can be opened at the given speed, without any message;
  // the port is closed again and ReplyBuffer emptied. Both programs use it
  // to offer only the ports that open.
  bool probePort(std::uint8_t ComPort, std::uint8_t ComSpeed);

  // The "AmpCom"/"Debug" value that shows this window (and, in calvboot,
  // starts the traffic log): numerically 457.
  static constexpr int kDebugValue = 457;
  static bool isDebugValue(const QString& debugSetting);

  // Traffic log.
  void ChkLog_Click();
  void SetLogOn();
  bool LogWriteLine(const QString& text, bool withTimestamp);
  QString LogTimestamp() const;
  TrafficLog& trafficLog() { return *log_; }

  SerialPortControl& MSComm1() { return *port_; }

  // Port-failure messages go through here; the default shows a modal box
  // with the program's title and an OK button. Tests replace it.
  using PortMessage = std::function<void(const QString& text)>;
  void setPortMessage(PortMessage message);

  // Controls, also reachable by object name for tests and accessibility.
  QLabel* Label1 = nullptr;
  QLineEdit* Text1 = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* Text2 = nullptr;
  QLabel* Label3 = nullptr;
  QCheckBox* ChkLog = nullptr;

 private:
  enum class Flavour { Normal, Production, Binary };
  bool setup(Flavour flavour, std::uint8_t ComPort, std::uint8_t ComSpeed);
  void reportOpenFailure(int errorNumber);

  Host host_;
  std::unique_ptr<SerialPortControl> port_;
  std::unique_ptr<TrafficLog> log_;
  PortMessage portMessage_;
};

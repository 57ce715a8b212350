#pragma once

#include <QByteArray>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <memory>

#include "SerialLink.h"

class QCheckBox;
class QLabel;
class QLineEdit;

// The serial window that both programs carry, over the program's SerialLink:
// it shows the last sent and received line and carries the "Log to File"
// check box; every serial operation is the link's.
class ComForm : public QWidget {
  Q_OBJECT
 public:
  // Which program carries the window: calvboot's link judges frames,
  // romlift's takes the boot loader's texts.
  enum class Host { Calvboot, Romlift };

  // programFolder holds setup.ini (its "Ports" section maps port numbers to
  // devices) and Log.txt. The caption is left to the program.
  ComForm(Host host, const QString& programFolder, QWidget* owner = nullptr, const Timing& timing = {});
  ~ComForm() override;

  SerialLink& link() { return *link_; }

  // The link's own state, under the names the window always had.
  QByteArray& ReplyBuffer;
  bool& LogOn;
  QString& LogFileName;

  bool SetupMScomm(std::uint8_t ComPort, std::uint8_t ComSpeed) { return link_->SetupMScomm(ComPort, ComSpeed); }
  bool SetupMScommForProduction(std::uint8_t ComPort, std::uint8_t ComSpeed) {
    return link_->SetupMScommForProduction(ComPort, ComSpeed);
  }
  bool SetupMScommAsBinary(std::uint8_t ComPort, std::uint8_t ComSpeed) {
    return link_->SetupMScommAsBinary(ComPort, ComSpeed);
  }
  void CloseMScomm() { link_->CloseMScomm(); }
  bool CheckMScomm() const { return link_->CheckMScomm(); }
  bool probePort(std::uint8_t ComPort, std::uint8_t ComSpeed) { return link_->probePort(ComPort, ComSpeed); }

  void SendMScommString(const QByteArray& str) { link_->SendMScommString(str); }
  void ClearMScommInput() { link_->ClearMScommInput(); }
  std::int16_t GetMScommInBufferCount() const { return link_->GetMScommInBufferCount(); }
  QByteArray GetMScommInBuffer() { return link_->GetMScommInBuffer(); }
  void WriteOut(const QString& str) { link_->WriteOut(str); }
  void WriteIn(const QString& str) { link_->WriteIn(str); }
  void MSComm1_OnComm(int code) { link_->MSComm1_OnComm(code); }
  void SetVisibility(bool Level);

  static bool isDebugValue(const QString& debugSetting) { return SerialLink::isDebugValue(debugSetting); }

  // Traffic log: the check box starts and stops it.
  void ChkLog_Click();
  void SetLogOn();
  bool LogWriteLine(const QString& text, bool withTimestamp) { return link_->LogWriteLine(text, withTimestamp); }
  TrafficLog& trafficLog() { return link_->trafficLog(); }

  SerialPortControl& MSComm1() { return link_->MSComm1(); }

  // Port-failure messages; the window's default shows a modal box with the
  // program's title and an OK button. Tests replace it.
  using PortMessage = SerialLink::PortMessage;
  void setPortMessage(PortMessage message) { link_->setPortMessage(std::move(message)); }

  // Controls, also reachable by object name for tests and accessibility.
  QLabel* Label1 = nullptr;
  QLineEdit* Text1 = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* Text2 = nullptr;
  QLabel* Label3 = nullptr;
  QCheckBox* ChkLog = nullptr;

 private:
  ComForm(std::unique_ptr<SerialLink> link, Host host, QWidget* owner);

  std::unique_ptr<SerialLink> link_;
};

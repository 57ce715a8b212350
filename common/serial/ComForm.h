#pragma once

#include <QByteArray>
#include <QString>
#include <QWidget>


#include "SerialLink.h"

class QCheckBox;
class QLabel;
class QLineEdit;

// The serial window that both programs carry. It shows the program's
// SerialLink, which it is given and does not own: the last sent and received
// line and the "Log to File" check box, which starts and stops the traffic
// log; port-failure messages appear as a modal box with the program's title.
class ComForm : public QWidget {
  Q_OBJECT
 public:
  // caption: the window title each program gives it.
  ComForm(SerialLink& link, const QString& caption, QWidget* owner = nullptr);
  ~ComForm() override;

  SerialLink& link() { return link_; }

  void SetVisibility(bool Level);
  // The check box: ticked starts Log.txt afresh, unticked stops the log.
  void ChkLog_Click();
  // Ticks the check box when it is not ticked yet.
  void SetLogOn();

  // Controls, also reachable by object name for tests and accessibility.
  QLabel* Label1 = nullptr;
  QLineEdit* Text1 = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* Text2 = nullptr;
  QLabel* Label3 = nullptr;
  QCheckBox* ChkLog = nullptr;

 private:
  SerialLink& link_;
};

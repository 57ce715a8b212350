#pragma once

#include <QMainWindow>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>

#include <serial/LineSpeed.h>

#include "RomliftSession.h"
#include "SerialAbout.h"
#include "SrecordCheck.h"
#include "UploadDialogue.h"

class ComForm;
class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;

// romlift's window: the upgrade steps, the file check, the port and upload
// buttons and the port and speed menus. It shows a session it is given
// (the run's link, dialogue, file and settings), owns the controls and
// forwards to the session.
class LoaderForm : public QMainWindow, private UploadView {
  Q_OBJECT
 public:
  static const QString kCaption;
  static constexpr std::uint8_t kPortCount = RomliftSession::kPortCount;

  // Shows the session's upload in its log; the record's messages go there too.
  explicit LoaderForm(RomliftSession& session, QWidget* parent = nullptr);
  ~LoaderForm() override;

  // Start-up: the session's port and speed, usable ports, serial window.
  void Form_Load();

  void Load_Click();
  void Close_Click();
  void About_Click();
  std::optional<UploadEnd> Commport_Click();
  UploadResult BtnUpload_Click();
  void Serial_cancel_Click();

  void SelectComPort(std::uint8_t port);
  void SelectSpeed(LineSpeed speed);
  bool ProbeComPort(std::uint8_t port);

  const SrecordCheck& fileCheck() const { return session_.fileCheck(); }
  UploadDialogue& uploadDialogue() { return session_.dialogue(); }
  ComForm& comForm() { return *com_; }
  // Text_Serinput's text with its CR LF line breaks.
  const QString& serinputText() const { return serinput_; }

  // Seams, so that nothing modal blocks a test: the file dialog (returns
  // the chosen path, empty when cancelled), the about box and program end.
  void setFileChooser(std::function<QString()> chooser) { chooseFile_ = std::move(chooser); }
  void setAboutRunner(std::function<void(SerialAbout&)> runner) { runAbout_ = std::move(runner); }
  void setProgramEnd(std::function<void()> end) { endProgram_ = std::move(end); }

  // Controls and menu items, named as the operator's guide names them.
  QLabel* Label1 = nullptr;
  QLineEdit* Text_Filename = nullptr;
  QLineEdit* Text_Filevalid = nullptr;
  QPlainTextEdit* Text_Serinput = nullptr;
  QPushButton* Commport = nullptr;
  QPushButton* BtnUpload = nullptr;
  QPushButton* Serial_cancel = nullptr;

  QMenu* File = nullptr;
  QAction* Load = nullptr;
  QAction* Close = nullptr;
  QMenu* Comm = nullptr;
  QMenu* Comm_Port_menu = nullptr;
  std::array<QAction*, kPortCount> COM{};
  QMenu* Speed = nullptr;
  QAction* Speed_9600 = nullptr;
  QAction* Speed_57600 = nullptr;
  QAction* Speed_115000 = nullptr;
  QAction* Com_Adress = nullptr;
  QMenu* help = nullptr;
  QAction* About = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildControls();
  void buildMenus();
  void showGuide();
  void showPort();

  // UploadView
  void setLogText(const QString& text) override;
  void appendLogText(const QString& text) override;
  void repaintLog() override;
  void setPortCaption(const QString& caption) override;
  void setUploadEnabled(bool enabled) override;

  RomliftSession& session_;
  std::array<QAction*, LineSpeed::kCount> speedItems_{};  // by speed code
  QString serinput_;
  ComForm* com_ = nullptr;  // owned through the Qt parent

  std::function<QString()> chooseFile_;
  std::function<void(SerialAbout&)> runAbout_;
  std::function<void()> endProgram_;
};

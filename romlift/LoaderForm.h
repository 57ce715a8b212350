#pragma once

#include <QMainWindow>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "SerialAbout.h"
#include "SrecordCheck.h"
#include "UploadDialogue.h"

class ComForm;
class SerialLink;
class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;

// romlift's window: the upgrade steps, the file check, the port and upload
// buttons and the port and speed menus. The logic sits in SrecordCheck and
// UploadDialogue; this class owns the controls and forwards to them.
class LoaderForm : public QMainWindow, private UploadView {
  Q_OBJECT
 public:
  static const QString kCaption;
  static constexpr std::uint8_t kPortCount = 16;

  // programFolder holds setup.ini; the program passes its own folder.
  explicit LoaderForm(const QString& programFolder, const Timing& timing = {}, QWidget* parent = nullptr);
  ~LoaderForm() override;

  // Start-up: settings, port and speed, usable ports, serial window.
  void Form_Load();
  // False for a run from the command line: start-up and the port menu then
  // store nothing in setup.ini.
  bool StoreSettings = true;
  // False when the caller keeps the run records itself (a command-line run).
  bool RecordRuns = true;

  void Load_Click();
  void Close_Click();
  void About_Click();
  std::optional<UploadEnd> Commport_Click();
  UploadEnd BtnUpload_Click();
  void Serial_cancel_Click();

  void SelectComPort(std::uint8_t port);
  void SelectSpeed(std::uint8_t index);
  bool ProbeComPort(std::uint8_t port);

  const QString& IniPath() const { return iniPath_; }
  std::uint8_t ComPort() const { return comPort_; }
  std::uint8_t ComSpeed() const { return comSpeed_; }
  const SrecordCheck& fileCheck() const { return check_; }
  UploadDialogue& uploadDialogue() { return *upload_; }
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
  QString readSetting(const QString& section, const QString& key, const QString& defaultValue) const;

  // UploadView
  void setLogText(const QString& text) override;
  void appendLogText(const QString& text) override;
  void repaintLog() override;
  void setPortCaption(const QString& caption) override;
  void setUploadEnabled(bool enabled) override;

  QString programFolder_;
  const QString iniPath_;  // setup.ini in the program folder
  std::uint8_t comPort_ = 1;
  std::uint8_t comSpeed_ = 0;
  QString serinput_;
  SrecordCheck check_;
  std::unique_ptr<SerialLink> link_;
  ComForm* com_ = nullptr;  // owned through the Qt parent
  std::unique_ptr<UploadDialogue> upload_;

  std::function<QString()> chooseFile_;
  std::function<void(SerialAbout&)> runAbout_;
  std::function<void()> endProgram_;
};

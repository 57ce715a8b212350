#pragma once

#include <QMainWindow>
#include <QMessageBox>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <programming/ProgramModule.h>
#include <session/CalvSession.h>

class ComForm;
class ModuleCommands;
class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

// calvboot's main window: the firmware file box, the status line and
// progress bar, "Start", and the port, speed and address menus, over the
// program's run session; it carries the serial window that shows the
// session's link, and shows each run and its end.
class CVboot : public QMainWindow, public ProgramView {
  Q_OBJECT
 public:
  static constexpr int kTwipsPerPixel = 15;
  static constexpr int kWidthTwips = 11264;
  static constexpr int kHeightTwips = 4810;
  static constexpr int kLoadHeightTwips = 4510;

  // Modal dialogs go through here, so that nothing blocks a test.
  struct Dialogs {
    std::function<void(const QString& title, const QString& text, QMessageBox::Icon icon)> messageBox;
    // Returns the text entered; empty when cancelled.
    std::function<QString(const QString& prompt, const QString& title, const QString& proposed)> inputBox;
    // Returns the chosen path; empty when cancelled.
    std::function<QString(const QString& initialFolder, const QString& filter)> openFile;
    std::function<void()> exitProgram;
  };

  // The session's folder holds setup.ini and Log.txt.
  explicit CVboot(CalvSession& session, QWidget* parent = nullptr);
  ~CVboot() override;

  Dialogs dialogs;
  // False for a run from the command line: start-up and the menus then store
  // nothing in setup.ini (the run's own choices hold for that run only).
  bool StoreSettings = true;
  // Set by a command-line run: the production messages go there instead of
  // the status line.
  std::function<void(const QString&)> productionMessage;
  // Every status line also goes here, so that a run can be followed from a
  // terminal; the program sets it.
  MessageSink statusEcho;

  // Start-up: restores the settings, offers the usable ports, shows the
  // serial window. Call once, after the dialogs are set.
  void Form_Load();

  // Menus and buttons.
  void SelectComPort(std::uint8_t port);
  bool ProbeComPort(std::uint8_t port);
  void SelectSpeed(std::uint8_t code);
  void Com_Adress_Click();
  void Exit_Click();
  void About_Click();
  // Opens the station window over the present ports, with this window's
  // file, speed and address.
  void Station_Click();
  // One run, its record kept and then its end shown; nothing when the line's
  // database could not be reached.
  std::optional<ProgramResult> BtnStart_Click();
  void BtnCalvbrowse_Click();
  void BtnCalvtestBrowse_Click();
  QString ChooseFirmwareFile(QLineEdit* T);
  static QString aboutText();

  // ProgramView: what the sequence shows.
  void setStatusText(const QString& text) override;
  void setProgress(float value) override;

  // setup.ini in the program folder, fixed at construction.
  const QString IniPath;
  QString programFolder() const { return programFolder_; }
  CalvSession& session() { return session_; }
  ComForm& comForm() { return *comForm_; }
  ModuleCommands& commands() { return session_.commands(); }
  ProgramModule& program() { return session_.program(); }

  // Controls, also reachable by object name.
  QGroupBox* Frame1 = nullptr;
  QLabel* LblCalv = nullptr;
  QLineEdit* TxtCalvfile = nullptr;
  QPushButton* BtnCalvbrowse = nullptr;
  QGroupBox* Frame2 = nullptr;
  QLabel* LblCalvtest = nullptr;
  QLineEdit* TxtTestFile = nullptr;
  QPushButton* BtnCalvtestBrowse = nullptr;
  QGroupBox* Frame3 = nullptr;
  QLabel* LblStatusText = nullptr;
  QLabel* LblStatus = nullptr;
  QProgressBar* ProgressBar = nullptr;
  QPushButton* BtnStart = nullptr;

  // Menu items.
  std::array<QAction*, 16> COM{};
  QAction* Speed_9600 = nullptr;
  QAction* Speed_57600 = nullptr;
  QAction* Speed_115000 = nullptr;
  QAction* Com_Adress = nullptr;
  QAction* Station = nullptr;
  QAction* Exit = nullptr;
  QAction* About = nullptr;

  // The window sizes above are outer sizes, title bar and borders included
  // (those of the classic desktop: a 19-pixel title bar, 4-pixel borders).
  // Qt sizes a window without them and with the menu bar inside, so the
  // layout keeps its margins only when they are taken off.
  static constexpr int kBorderTwips = 60;
  static constexpr int kCaptionTwips = 285;

  static int twips(int value) { return (value + kTwipsPerPixel / 2) / kTwipsPerPixel; }
  static QSize clientSize(int widthTwips, int heightTwips) {
    return {twips(widthTwips - 2 * kBorderTwips), twips(heightTwips - kCaptionTwips - 2 * kBorderTwips)};
  }
  static QSize fixedSize() { return clientSize(kWidthTwips, kHeightTwips); }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void buildControls();
  void buildMenus();
  void tellAddressRange();
  void setFileControlsEnabled(bool enabled);
  QString readSetting(const QString& section, const QString& key, const QString& defaultValue) const;

  CalvSession& session_;
  QString programFolder_;
  ComForm* comForm_ = nullptr;  // owned as a child window
};

// The window: start-up from setup.ini, the port and speed menus, the about
// box, and the S-record file check behind File > Load.
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <serial/ComForm.h>
#include <settings/IniFileHandler.h>
#include <romlift/LoaderForm.h>
#include <romlift/RomliftSession.h>
#include <serial/SerialLink.h>
#include <tests/support/PtyBench.h>
#include <romlift/SerialAbout.h>
#include <romlift/SrecordCheck.h>

#include <memory>

namespace {

// Label1 at start, as it reads on screen: each CR LF of the text is one break.
const QString kSteps = QStringLiteral(
    "Upgrade steps\n"
    "1: Make sure that a serial cable is connected between PC and amplifier or CD.\n"
    "2: Select file to upload.\n"
    "3: Check Comm Adress. and COM port\n"
    "4: Click 'Open Comm port'.\n"
    "5: Start Amplifier or CD in boot mode.\n"
    "6: Upload new software.\n"
    "7: Wait for Amplifier or CD to Initialize.\n\n");

class LoaderFormWindow : public ::testing::Test {
 protected:
  QString iniPath() const { return dir.filePath(QStringLiteral("setup.ini")); }
  void setIni(const char* section, const QString& key, const QString& value) {
    ASSERT_TRUE(IniFileHandler::WriteIniValue(QString::fromLatin1(section), key, value, iniPath()));
  }
  QString ini(const char* section, const char* key) const {
    return IniFileHandler::ReadIniValue(QString::fromLatin1(section), QString::fromLatin1(key), QString(), iniPath());
  }
  void start() {
    form.reset();
    session = std::make_unique<RomliftSession>(RomliftSession::Start::Window, dir.path(), MessageSink{});
    form = std::make_unique<LoaderForm>(*session);
    session->link().setPortMessage([](const QString&) {});  // no message box: the serial tests check the texts
    form->Form_Load();
  }
  static QStringList checked(const QMenu* menu) { return checkedItems(menu->actions()); }
  // File > Load, the file dialog replaced by a chosen path.
  void load(const QString& path) {
    form->setFileChooser([path] { return path; });
    form->Load_Click();
  }
  QString write(const QByteArray& bytes) {
    const QString path = dir.filePath(QStringLiteral("f%1.s19").arg(++files));
    return writeFile(path, bytes) ? path : QString();
  }

  QTemporaryDir dir;
  std::unique_ptr<RomliftSession> session;
  std::unique_ptr<LoaderForm> form;
  int files = 0;
};

// The first row has no setup.ini: the defaults are used and stored.
TEST_F(LoaderFormWindow, StoredValuesAreRangeChecked) {
  const struct {
    const char *delay, *port, *debug;  // as stored
    int lineDelay, selected, portInFile;  // as taken, and ComPort as stored after
    bool serialWindow;
  } cases[] = {
      {nullptr, nullptr, nullptr, 350, 1, 1, false},
      {"100", "17", "457", 150, 1, 17, true},  // raised to the minimum; COM1, the file keeps 17
      {"2000", "3", " 457 ", 2000, 3, 3, true},
      {"abc", "x", "457x", 150, 1, 0, false},  // not a number counts as 0
      {"150.5", "2.5", "0", 150, 2, 2, false},  // halves go to the even number
      {"99999", "300", "", 32767, 1, 0, false},  // beyond 16 and 8 bits
      {"-70000", "-1", "1", 150, 1, 0, false},
      {"1E9", "&H10", "0", 32767, 16, 16, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.delay ? c.delay : "no setup.ini");
    if (c.delay) {
      setIni("Romlifter", QStringLiteral("Delay"), QString::fromLatin1(c.delay));
      setIni("ComSettings", QStringLiteral("ComPort"), QString::fromLatin1(c.port));
      setIni("AmpCom", QStringLiteral("Debug"), QString::fromLatin1(c.debug));
    }
    start();
    EXPECT_EQ(form->uploadDialogue().LineDelay, c.lineDelay);
    EXPECT_EQ(checked(form->Comm_Port_menu), QStringList{QStringLiteral("COM%1").arg(c.selected)});
    EXPECT_EQ(ini("ComSettings", "ComPort"), QString::number(c.portInFile));
    EXPECT_EQ(ini("Romlifter", "Delay"), QString::fromLatin1(c.delay ? c.delay : "350"));
    EXPECT_TRUE(c.debug || ini("AmpCom", "Debug") == QStringLiteral("0"));  // the default stored
    EXPECT_EQ(form->comForm().isVisible(), c.serialWindow);
  }
}

TEST_F(LoaderFormWindow, OnlyPortsThatOpenAreOfferedAndTheMenusChooseAndShow) {
  // Every port leads nowhere but COM2, so the machine's own devices play no part.
  PseudoTerminal pty;
  ASSERT_TRUE(pty.isOpen());
  for (int n = 1; n <= 16; ++n)
    setIni("Ports", QStringLiteral("COM%1").arg(n), n == 2 ? pty.slavePath() : dir.filePath(QStringLiteral("none")));
  setIni("ComSettings", QStringLiteral("ComPort"), QStringLiteral("5"));
  start();
  for (int n = 1; n <= 16; ++n) EXPECT_EQ(form->COM[n - 1]->isVisible(), n == 2) << "COM" << n;
  EXPECT_EQ(checked(form->Comm_Port_menu), QStringList{"COM5"});  // stays selected though it cannot be opened
  form->Commport->click();
  EXPECT_EQ(form->Commport->text(), QStringLiteral("Open Comm Port"));

  form->COM[1]->trigger();
  EXPECT_EQ(checked(form->Comm_Port_menu), QStringList{"COM2"});
  form->Speed_57600->trigger();
  EXPECT_EQ(checked(form->Speed), QStringList{"Speed_57600"});
  QString settingsWhileOpen;
  QTimer::singleShot(100, form.get(), [&] {
    settingsWhileOpen = session->link().MSComm1().settings();
    form->Commport->click();  // ends the wait for the boot loader
  });
  form->Commport->click();
  EXPECT_EQ(settingsWhileOpen, QStringLiteral("57600,N,8,1"));

  form->Speed_115000->trigger();
  start();  // a restart begins at 9600 again, on the stored port
  EXPECT_EQ(checked(form->Speed), QStringList{"Speed_9600"});
  EXPECT_EQ(checked(form->Comm_Port_menu), QStringList{"COM2"});

  QStringList shown;
  form->setAboutRunner([&](SerialAbout& box) {
    EXPECT_EQ(box.parentWidget(), form.get());
    shown << box.windowTitle() << box.lblTitle->text() << box.lblVersion->text() << box.lblDescription->text()
          << box.lblLine1->text() << box.lblLine2->text() << box.cmdOK->text();
  });
  form->About->trigger();
  EXPECT_EQ(shown, (QStringList{"About Romlift", "Romlift", "Version 1.16", "Tool for upgrading firmware.\n\n\n\n",
                                "First released in Haldenborg, March 2003", "Last update October 10th, 2005", "OK"}));
}

// Each near miss follows a recognised file, so its instructions must go. A
// failed attempt after a recognised file keeps the screen but not the verdict.
TEST_F(LoaderFormWindow, EachProductIsRecognisedNearMissesAreNotAndAFailedLoadKeepsTheScreen) {
  start();
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Kestrune Audio - Romlift"));
  EXPECT_EQ(form->Label1->text(), kSteps);

  const QString none = QStringLiteral("File not valid for any Amplifier or CD player");
  const struct {
    QByteArray firstLine;
    int code;
    QString product, buttons, release;  // as the verdict, the buttons to hold and the release line name them
    QByteArray lineEnd = "\r\n";
  } cases[] = {
      {"S00C0000504C58413438383000EA", 1, "PLXA4880", "both volume", "both volumebuttons and PLXA4880"},
      {"S00C00004B5641353130305200F9", 0, {}, {}, {}},  // KVA5100+ with the rule's checksum
      {"S00B00005A454E5452413700E9", 2, "Zentra Mk.VII", "analog and digital", "both buttons and Zentra"},
      {"s008000044562d3900f7", 0, {}, {}, {}},  // lower-case hex
      {"S00B00004B564135313030004C", 3, "KVA5100", "analog and digital", "both buttons and KVA5100"},
      {"S008000044562D3900F7 ", 0, {}, {}, {}},  // a trailing blank
      {"S008000044562D3900F7", 4, "DV-9", "menu and skip right", "both buttons and DV-9"},
      {"S008000044562D3900F7", 0, {}, {}, {}, "\n"},  // LF alone ends no line
      {"S00C00004B5641353130305200FA", 5, "KVA5100+", "analog and digital", "both buttons and KVA5100+"},
      {"S0090000445650524F006B", 6, "DVpro", "analog and digital", "both buttons and DVpro"},
  };
  const QString attempts[] = {write({}), dir.filePath(QStringLiteral("gone.s19")), dir.path(), QString()};
  int failed = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.firstLine.toStdString());
    const QString path = write(c.firstLine + c.lineEnd + "S9030000FC" + c.lineEnd);
    load(path);
    EXPECT_EQ(form->fileCheck().ProductCode, c.code);
    if (c.code) {
      const QString attempt = attempts[failed++ % 4];
      load(attempt);
      EXPECT_FALSE(form->fileCheck().FileValid);
      EXPECT_EQ(form->fileCheck().ProductCode, 0);
      EXPECT_EQ(form->fileCheck().FileName, attempt);
    }
    EXPECT_EQ(form->Text_Filevalid->text(), c.code ? QStringLiteral("File for %1 and file is ok").arg(c.product) : none);
    EXPECT_EQ(form->Text_Filename->text(), path);
    const QString instructions = QStringLiteral(
        "Bootmode:\nTurn power off on the front button.\nPress %1 buttons simultaneously and hold them while "
        "turning on the power.\nRelease %2 is in bootmode.").arg(c.buttons, c.release);
    EXPECT_EQ(form->Label1->text(), kSteps + (c.code ? instructions : QString()));
  }
}

}  // namespace

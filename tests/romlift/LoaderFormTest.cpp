// Start-up from setup.ini, the port and speed menus and the about box.
#include <QAction>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <ComForm.h>
#include <IniFileHandler.h>
#include <LoaderForm.h>
#include <PtyBench.h>
#include <SerialAbout.h>

#include <memory>

namespace {

class LoaderFormStart : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }

  QString iniPath() const { return dir.filePath(QStringLiteral("setup.ini")); }
  void setIni(const QString& section, const QString& key, const QString& value) {
    ASSERT_TRUE(IniFileHandler::WriteIniValue(section, key, value, iniPath()));
  }
  QString ini(const QString& section, const QString& key) const {
    return IniFileHandler::ReadIniValue(section, key, QString(), iniPath());
  }
  // Every port leads nowhere unless a test says otherwise, so the machine's
  // own serial devices play no part.
  void mapAllPortsNowhere() {
    for (int n = 1; n <= 16; ++n)
      setIni(QStringLiteral("Ports"), QStringLiteral("COM%1").arg(n), dir.filePath(QStringLiteral("no-tty%1").arg(n)));
  }
  void start() {
    form = std::make_unique<LoaderForm>(dir.path());
    form->comForm().setPortMessage([this](const QString& text) { messages << text; });
    form->Form_Load();
  }
  std::vector<int> checkedPorts() const {
    std::vector<int> out;
    for (int n = 1; n <= 16; ++n)
      if (form->COM[n - 1]->isChecked()) out.push_back(n);
    return out;
  }

  QTemporaryDir dir;
  std::unique_ptr<LoaderForm> form;
  QStringList messages;
};

TEST_F(LoaderFormStart, MissingSetupIniGivesAndStoresTheDefaults) {
  start();
  EXPECT_EQ(form->IniPath(), iniPath());
  EXPECT_EQ(form->uploadDialogue().LineDelay, 350);
  EXPECT_EQ(form->ComPort(), 1);
  EXPECT_EQ(checkedPorts(), std::vector<int>{1});
  EXPECT_EQ(form->ComSpeed(), 0);
  EXPECT_TRUE(form->Speed_9600->isChecked());
  EXPECT_FALSE(form->Speed_57600->isChecked());
  EXPECT_FALSE(form->Speed_115000->isChecked());
  EXPECT_EQ(ini(QStringLiteral("Romlifter"), QStringLiteral("Delay")), QStringLiteral("350"));
  EXPECT_EQ(ini(QStringLiteral("ComSettings"), QStringLiteral("ComPort")), QStringLiteral("1"));
  EXPECT_EQ(ini(QStringLiteral("AmpCom"), QStringLiteral("Debug")), QStringLiteral("0"));
  EXPECT_TRUE(form->comForm().RomliftActive);
  EXPECT_FALSE(form->comForm().isVisible());
  EXPECT_EQ(form->Commport->text(), QStringLiteral("Open Comm Port"));
  EXPECT_TRUE(form->serinputText().isEmpty());
  EXPECT_TRUE(messages.isEmpty());
}

TEST_F(LoaderFormStart, StoredDelayAndPortAreRangeChecked) {
  struct Case {
    const char* delay;
    const char* port;
    int lineDelay;
    int selected;
    const char* portInFile;
  };
  const Case cases[] = {
      {"100", "17", 150, 1, "17"},         // raised to the minimum; COM1, the file keeps 17
      {"2000", "3", 2000, 3, "3"},
      {"abc", "x", 150, 1, "0"},           // not a number counts as 0
      {"150.5", "2.5", 150, 2, "2"},       // halves go to the even number
      {"99999", "300", 32767, 1, "0"},     // beyond 16 and 8 bits
      {"-70000", "-1", 150, 1, "0"},
      {"1E9", "&H10", 32767, 16, "16"},
      {"&HFFFF", "0", 150, 1, "0"},        // four hex digits read as -1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.delay) + " / " + c.port);
    setIni(QStringLiteral("Romlifter"), QStringLiteral("Delay"), QString::fromLatin1(c.delay));
    setIni(QStringLiteral("ComSettings"), QStringLiteral("ComPort"), QString::fromLatin1(c.port));
    start();
    EXPECT_EQ(form->uploadDialogue().LineDelay, c.lineDelay);
    EXPECT_EQ(form->ComPort(), c.selected);
    EXPECT_EQ(checkedPorts(), std::vector<int>{c.selected});
    EXPECT_EQ(ini(QStringLiteral("ComSettings"), QStringLiteral("ComPort")), QString::fromLatin1(c.portInFile));
    EXPECT_EQ(ini(QStringLiteral("Romlifter"), QStringLiteral("Delay")), QString::fromLatin1(c.delay));
  }
}

TEST_F(LoaderFormStart, OnlyPortsThatOpenAreOffered) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.isOpen());
  mapAllPortsNowhere();
  setIni(QStringLiteral("Ports"), QStringLiteral("COM2"), pty.slavePath());
  setIni(QStringLiteral("ComSettings"), QStringLiteral("ComPort"), QStringLiteral("5"));
  start();
  for (int n = 1; n <= 16; ++n) EXPECT_EQ(form->COM[n - 1]->isVisible(), n == 2) << "COM" << n;
  // The stored port stays selected though it cannot be opened.
  EXPECT_EQ(checkedPorts(), std::vector<int>{5});
  EXPECT_FALSE(form->comForm().CheckMScomm());
  EXPECT_TRUE(messages.isEmpty());  // probing is silent

  form->Commport->click();
  EXPECT_EQ(messages, QStringList{QStringLiteral("Comm Port not available!")});
  EXPECT_EQ(form->Commport->text(), QStringLiteral("Open Comm Port"));
  EXPECT_TRUE(form->serinputText().isEmpty());
  EXPECT_FALSE(form->comForm().CheckMScomm());
}

TEST_F(LoaderFormStart, PortMenuSelectsAndStores) {
  mapAllPortsNowhere();
  start();
  form->COM[6]->trigger();
  EXPECT_EQ(form->ComPort(), 7);
  EXPECT_EQ(checkedPorts(), std::vector<int>{7});
  EXPECT_EQ(ini(QStringLiteral("ComSettings"), QStringLiteral("ComPort")), QStringLiteral("7"));
  form->SelectComPort(0);
  EXPECT_EQ(checkedPorts(), std::vector<int>{1});
  EXPECT_EQ(ini(QStringLiteral("ComSettings"), QStringLiteral("ComPort")), QStringLiteral("0"));
}

TEST_F(LoaderFormStart, ChosenSpeedIsUsedToOpenAndNotStored) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.isOpen());
  setIni(QStringLiteral("Ports"), QStringLiteral("COM1"), pty.slavePath());
  start();
  form->Speed_57600->trigger();
  EXPECT_FALSE(form->Speed_9600->isChecked());
  EXPECT_TRUE(form->Speed_57600->isChecked());
  EXPECT_FALSE(form->Speed_115000->isChecked());

  QString settingsWhileOpen;
  QTimer::singleShot(100, form.get(), [&] {
    settingsWhileOpen = form->comForm().MSComm1().settings();
    form->Commport->click();  // ends the wait for the boot loader
  });
  form->Commport->click();
  EXPECT_EQ(settingsWhileOpen, QStringLiteral("57600,N,8,1"));
  EXPECT_FALSE(form->comForm().CheckMScomm());
  EXPECT_TRUE(ini(QStringLiteral("ComSettings"), QStringLiteral("ComSpeed")).isEmpty());

  form->SelectSpeed(7);
  EXPECT_EQ(form->ComSpeed(), 0);
  EXPECT_TRUE(form->Speed_9600->isChecked());
  EXPECT_FALSE(form->Speed_57600->isChecked());

  start();  // a restart begins at 9600 again
  EXPECT_EQ(form->ComSpeed(), 0);
  EXPECT_TRUE(form->Speed_9600->isChecked());
}

TEST_F(LoaderFormStart, DebugValueShowsTheSerialWindow) {
  const struct {
    const char* debug;
    bool visible;
  } cases[] = {{"457", true}, {" 457 ", true}, {"457.0", true}, {"0", false}, {"457x", false}, {"", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.debug);
    setIni(QStringLiteral("AmpCom"), QStringLiteral("Debug"), QString::fromLatin1(c.debug));
    start();
    EXPECT_EQ(form->comForm().isVisible(), c.visible);
    EXPECT_EQ(form->comForm().windowTitle(), QStringLiteral("ComForm"));
  }
}

TEST_F(LoaderFormStart, AboutBoxShowsTitleAndVersion) {
  start();
  QStringList shown;
  QWidget* owner = nullptr;
  form->setAboutRunner([&](SerialAbout& box) {
    owner = box.parentWidget();
    shown << box.windowTitle() << box.lblTitle->text() << box.lblVersion->text()
          << box.lblDescription->text() << box.lblLine2->text() << box.cmdOK->text();
    EXPECT_FALSE(box.lblLine1->text().isEmpty());
  });
  form->About->trigger();
  EXPECT_EQ(owner, form.get());
  EXPECT_EQ(shown, (QStringList{QStringLiteral("About Romlift"), QStringLiteral("Romlift"),
                                QStringLiteral("Version 1.16"),
                                QStringLiteral("Tool for upgrading firmware.\n\n\n\n"),
                                QStringLiteral("Last update October 10th, 2005"), QStringLiteral("OK")}));
  EXPECT_EQ(SerialAbout::versionText(2, 0, 13), QStringLiteral("Version 2.013"));
}

}  // namespace

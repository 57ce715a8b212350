// Start-up from setup.ini, the port and speed menus and the about box.
#include <QAction>
#include <QLabel>
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
  QString iniPath() const { return dir.filePath(QStringLiteral("setup.ini")); }
  void setIni(const char* section, const QString& key, const QString& value) {
    ASSERT_TRUE(IniFileHandler::WriteIniValue(QString::fromLatin1(section), key, value, iniPath()));
  }
  QString ini(const char* section, const char* key) const {
    return IniFileHandler::ReadIniValue(QString::fromLatin1(section), QString::fromLatin1(key), QString(), iniPath());
  }
  void start() {
    form = std::make_unique<LoaderForm>(dir.path());
    form->comForm().setPortMessage([this](const QString& text) { messages << text; });
    form->Form_Load();
  }
  std::vector<bool> checkedSpeeds() const {
    return {form->Speed_9600->isChecked(), form->Speed_57600->isChecked(), form->Speed_115000->isChecked()};
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

// The first row has no setup.ini: the defaults are used and stored.
TEST_F(LoaderFormStart, StoredValuesAreRangeChecked) {
  const struct {
    const char *delay, *port, *debug;  // as stored
    int lineDelay, selected;           // as taken
    const char* portInFile;
    bool serialWindow;
  } cases[] = {
      {nullptr, nullptr, nullptr, 350, 1, "1", false},
      {"100", "17", "457", 150, 1, "17", true},  // raised to the minimum; COM1, the file keeps 17
      {"2000", "3", " 457 ", 2000, 3, "3", true},
      {"abc", "x", "457x", 150, 1, "0", false},  // not a number counts as 0
      {"150.5", "2.5", "0", 150, 2, "2", false},  // halves go to the even number
      {"99999", "300", "", 32767, 1, "0", false},  // beyond 16 and 8 bits
      {"-70000", "-1", "1", 150, 1, "0", false},
      {"1E9", "&H10", "0", 32767, 16, "16", false},
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
    EXPECT_EQ(checkedPorts(), std::vector<int>{c.selected});
    EXPECT_EQ(ini("ComSettings", "ComPort"), QString::fromLatin1(c.portInFile));
    EXPECT_EQ(ini("Romlifter", "Delay"), QString::fromLatin1(c.delay ? c.delay : "350"));
    if (!c.debug) EXPECT_EQ(ini("AmpCom", "Debug"), QStringLiteral("0"));
    EXPECT_EQ(form->comForm().isVisible(), c.serialWindow);
    EXPECT_TRUE(form->comForm().RomliftActive);
    EXPECT_EQ(form->Commport->text(), QStringLiteral("Open Comm Port"));
    EXPECT_TRUE(form->serinputText().isEmpty());
  }
}

TEST_F(LoaderFormStart, OnlyPortsThatOpenAreOfferedAndTheMenusChooseAndShow) {
  // Every port leads nowhere but COM2, so the machine's own devices play no part.
  PseudoTerminal pty;
  ASSERT_TRUE(pty.isOpen());
  for (int n = 1; n <= 16; ++n)
    setIni("Ports", QStringLiteral("COM%1").arg(n), n == 2 ? pty.slavePath() : dir.filePath(QStringLiteral("none")));
  setIni("ComSettings", QStringLiteral("ComPort"), QStringLiteral("5"));
  start();
  for (int n = 1; n <= 16; ++n) EXPECT_EQ(form->COM[n - 1]->isVisible(), n == 2) << "COM" << n;
  EXPECT_EQ(checkedPorts(), std::vector<int>{5});  // stays selected though it cannot be opened
  EXPECT_TRUE(messages.isEmpty());                 // probing is silent
  form->Commport->click();
  EXPECT_EQ(messages, QStringList{QStringLiteral("Comm Port not available!")});
  EXPECT_EQ(form->Commport->text(), QStringLiteral("Open Comm Port"));
  EXPECT_FALSE(form->comForm().CheckMScomm());

  form->COM[1]->trigger();
  EXPECT_EQ(checkedPorts(), std::vector<int>{2});
  EXPECT_EQ(ini("ComSettings", "ComPort"), QStringLiteral("2"));
  form->Speed_57600->trigger();
  EXPECT_EQ(checkedSpeeds(), std::vector<bool>({false, true, false}));
  QString settingsWhileOpen;
  QTimer::singleShot(100, form.get(), [&] {
    settingsWhileOpen = form->comForm().MSComm1().settings();
    form->Commport->click();  // ends the wait for the boot loader
  });
  form->Commport->click();
  EXPECT_EQ(settingsWhileOpen, QStringLiteral("57600,N,8,1"));
  EXPECT_FALSE(form->comForm().CheckMScomm());
  form->SelectSpeed(7);
  EXPECT_EQ(checkedSpeeds(), std::vector<bool>({true, false, false}));

  form->Speed_115000->trigger();
  start();  // a restart begins at 9600 again, on the stored port
  EXPECT_EQ(checkedSpeeds(), std::vector<bool>({true, false, false}));
  EXPECT_EQ(checkedPorts(), std::vector<int>{2});

  QStringList shown;
  form->setAboutRunner([&](SerialAbout& box) {
    EXPECT_EQ(box.parentWidget(), form.get());
    EXPECT_FALSE(box.lblLine1->text().isEmpty());
    shown << box.windowTitle() << box.lblTitle->text() << box.lblVersion->text() << box.lblDescription->text()
          << box.lblLine2->text() << box.cmdOK->text();
  });
  form->About->trigger();
  EXPECT_EQ(shown, (QStringList{"About Romlift", "Romlift", "Version 1.16", "Tool for upgrading firmware.\n\n\n\n",
                                "Last update October 10th, 2005", "OK"}));
}

}  // namespace

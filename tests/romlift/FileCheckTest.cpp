// The S-record file check behind File > Load, seen on the window.
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ComForm.h>
#include <LoaderForm.h>
#include <SrecordCheck.h>

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

// The window with the file dialog replaced by a chosen path.
class FileCheckOnWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    form = std::make_unique<LoaderForm>(dir.path());
    form->comForm().setPortMessage([](const QString&) {});
    form->Form_Load();
  }

  void load(const QString& path) {
    form->setFileChooser([path] { return path; });
    form->Load_Click();
  }

  QString write(const QByteArray& bytes) {
    QFile f(dir.filePath(QStringLiteral("f%1.s19").arg(++files)));
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() ? f.fileName() : QString();
  }

  QTemporaryDir dir;
  std::unique_ptr<LoaderForm> form;
  int files = 0;
};

// Each near miss follows a recognised file, so its instructions must go. A
// failed attempt after a recognised file keeps the screen but not the verdict.
TEST_F(FileCheckOnWindow, EachProductIsRecognisedNearMissesAreNotAndAFailedLoadKeepsTheScreen) {
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Kestrune Audio - Romlift"));
  EXPECT_EQ(form->Label1->text(), kSteps);
  EXPECT_TRUE(form->Text_Filename->text().isEmpty());
  EXPECT_TRUE(form->Text_Filevalid->text().isEmpty());

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
    EXPECT_EQ(form->fileCheck().FileValid, c.code != 0);
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

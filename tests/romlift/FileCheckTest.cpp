// The S-record file check behind File > Load, seen on the window.
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ComForm.h>
#include <LoaderForm.h>
#include <SrecordCheck.h>

#include <memory>
#include <vector>

namespace {

QString writeBytes(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
  const QString path = dir.filePath(name);
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly)) return {};
  f.write(bytes);
  return path;
}

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

  QString file(const QByteArray& firstLine, const QByteArray& lineEnd = "\r\n") {
    return writeBytes(dir, QStringLiteral("f%1.s19").arg(++files), firstLine + lineEnd + "S9030000FC" + lineEnd);
  }

  // Label1 as it reads on screen, where each CR LF is one break.
  static QString guide(const QString& instructions = {}) {
    const QString steps = QStringLiteral(
        "Upgrade steps\r\n"
        "1: Make sure that a serial cable is connected between PC and amplifier or CD.\r\n"
        "2: Select file to upload.\r\n"
        "3: Check Comm Adress. and COM port\r\n"
        "4: Click 'Open Comm port'.\r\n"
        "5: Start Amplifier or CD in boot mode.\r\n"
        "6: Upload new software.\r\n"
        "7: Wait for Amplifier or CD to Initialize.\r\n\r\n");
    return QString(steps + instructions).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  }

  QTemporaryDir dir;
  std::unique_ptr<LoaderForm> form;
  int files = 0;
};

// Each near miss follows a recognised file, so its instructions must go.
TEST_F(FileCheckOnWindow, EachProductIsRecognisedAndNearMissesAreNot) {
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Kestrune Audio - Romlift"));
  EXPECT_EQ(form->Label1->text(), guide());
  EXPECT_TRUE(form->Text_Filename->text().isEmpty());
  EXPECT_TRUE(form->Text_Filevalid->text().isEmpty());

  const QString none = QStringLiteral("File not valid for any Amplifier or CD player");
  const struct {
    QByteArray firstLine;
    int code;
    QString product;  // as the verdict names it
    const char* buttons;  // to hold while powering on
    QString release;
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
  for (const auto& c : cases) {
    SCOPED_TRACE(c.firstLine.toStdString());
    const QString path = file(c.firstLine, c.lineEnd);
    load(path);
    EXPECT_EQ(form->fileCheck().FileValid, c.code != 0);
    EXPECT_EQ(form->fileCheck().ProductCode, c.code);
    EXPECT_EQ(form->Text_Filevalid->text(), c.code ? QStringLiteral("File for %1 and file is ok").arg(c.product) : none);
    EXPECT_EQ(form->Text_Filename->text(), path);
    const QString instructions = QStringLiteral(
        "Bootmode:\r\nTurn power off on the front button.\r\nPress %1 buttons simultaneously and hold them while "
        "turning on the power.\r\nRelease %2 is in bootmode.").arg(QString::fromLatin1(c.buttons), c.release);
    EXPECT_EQ(form->Label1->text(), guide(c.code ? instructions : QString()));
  }
}

TEST_F(FileCheckOnWindow, AFailedAttemptKeepsTheScreenButNotTheVerdict) {
  const QString good = file("S00B00004B564135313030004C");
  const QString attempts[] = {writeBytes(dir, QStringLiteral("empty.s19"), QByteArray()),
                              dir.filePath(QStringLiteral("gone.s19")), dir.path(), QString()};
  for (const QString& attempt : attempts) {
    SCOPED_TRACE(attempt.toStdString());
    load(good);
    ASSERT_TRUE(form->fileCheck().FileValid);
    const QString label = form->Label1->text();
    load(attempt);
    EXPECT_FALSE(form->fileCheck().FileValid);
    EXPECT_EQ(form->fileCheck().ProductCode, 0);
    EXPECT_EQ(form->fileCheck().FileName, attempt);
    EXPECT_EQ(form->Label1->text(), label);
    EXPECT_EQ(form->Text_Filename->text(), good);
    EXPECT_EQ(form->Text_Filevalid->text(), QStringLiteral("File for KVA5100 and file is ok"));
  }
}

}  // namespace

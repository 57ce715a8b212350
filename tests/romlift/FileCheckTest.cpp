// The S-record file check behind File > Load, seen on the window, and the
// sequential line input it reads with.
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ComForm.h>
#include <LoaderForm.h>
#include <ProductTable.h>
#include <SequentialLineInput.h>
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

// Label1 as its text reads with CR LF breaks.
QString guideOnScreen(const QString& guide) {
  QString s = guide;
  return s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

struct LineCase {
  const char* name;
  QByteArray content;
  std::vector<QByteArray> lines;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class SequentialLineInputTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(SequentialLineInputTest, SplitsAtCrAndCrLfOnly) {
  QTemporaryDir dir;
  const LineCase& c = GetParam();
  SequentialLineInput in;
  ASSERT_TRUE(in.open(writeBytes(dir, QStringLiteral("f.s19"), c.content)));
  std::vector<QByteArray> got;
  while (!in.atEnd()) got.push_back(in.readLine().value_or(QByteArray("<none>")));
  EXPECT_EQ(got, c.lines);
  EXPECT_FALSE(in.readLine().has_value());
  EXPECT_FALSE(in.failed());
}

INSTANTIATE_TEST_SUITE_P(
    Files, SequentialLineInputTest,
    ::testing::Values(
        LineCase{"Empty", "", {}},
        LineCase{"CrLf", "S0\r\nS1\r\n", {"S0", "S1"}},
        LineCase{"LoneCr", "S0\rS1\r", {"S0", "S1"}},
        LineCase{"LoneLfStaysInLine", "S0\nS1\n", {"S0\nS1\n"}},
        LineCase{"LfBeforeCr", "A\n\rB", {"A\n", "B"}},
        LineCase{"LastLineWithoutEnd", "S0\r\nS9", {"S0", "S9"}},
        LineCase{"EmptyLines", "\r\n\r\rX", {"", "", "", "X"}},
        LineCase{"CrCrLf", "A\r\r\n", {"A", ""}},
        LineCase{"AllByteValues", QByteArray("\x00\xff\x80\x1a", 4) + "\r\n",
                 {QByteArray("\x00\xff\x80\x1a", 4)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SequentialLineInputFile, LinesLongerThanOneReadAreWhole) {
  QTemporaryDir dir;
  const QByteArray longLine(200 * 1024, 'A');
  SequentialLineInput in;
  ASSERT_TRUE(in.open(writeBytes(dir, QStringLiteral("long"), longLine + "\r" + "\nB")));
  EXPECT_EQ(in.readLine(), longLine);
  EXPECT_EQ(in.readLine(), QByteArray("B"));
  EXPECT_TRUE(in.atEnd());
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

  QString file(const QString& name, const QByteArray& firstLine, const QByteArray& lineEnd = "\r\n") {
    return writeBytes(dir, name, firstLine + lineEnd + "S9030000FC" + lineEnd);
  }

  QTemporaryDir dir;
  std::unique_ptr<LoaderForm> form;
};

TEST_F(FileCheckOnWindow, StartsWithTheStepsAndEmptyBoxes) {
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Kestrune Audio - Romlift"));
  EXPECT_EQ(form->Label1->text(), guideOnScreen(SrecordCheck::upgradeSteps()));
  EXPECT_TRUE(form->Label1->text().endsWith(
      QStringLiteral("7: Wait for Amplifier or CD to Initialize.\n\n")));
  EXPECT_TRUE(form->Text_Filename->text().isEmpty());
  EXPECT_TRUE(form->Text_Filevalid->text().isEmpty());
}

TEST_F(FileCheckOnWindow, EachProductIsRecognisedWithItsInstructions) {
  for (const Product& p : ProductTable::products()) {
    SCOPED_TRACE(p.displayName);
    const QString path = file(QStringLiteral("p%1.s19").arg(p.code), p.signature);
    load(path);
    EXPECT_TRUE(form->fileCheck().FileValid);
    EXPECT_EQ(form->fileCheck().ProductCode, p.code);
    EXPECT_EQ(form->Text_Filevalid->text(), QString::fromLatin1(p.verdictLine));
    EXPECT_EQ(form->Text_Filename->text(), path);
    const QString expected = guideOnScreen(SrecordCheck::upgradeSteps()) +
                             QStringLiteral("Bootmode:\nTurn power off on the front button.\n") +
                             QString::fromLatin1(p.keyPressLine) + QStringLiteral("\n") +
                             QString::fromLatin1(p.releaseLine);
    EXPECT_EQ(form->Label1->text(), expected);
  }
}

TEST_F(FileCheckOnWindow, NearMissesAreNotRecognised) {
  struct Case {
    const char* name;
    QByteArray firstLine;
    QByteArray lineEnd;
  };
  const Case cases[] = {
      {"KVA5100+ with the rule's checksum F9", "S00C00004B5641353130305200F9", "\r\n"},
      {"lower-case hex", "s008000044562d3900f7", "\r\n"},
      {"trailing blank", "S008000044562D3900F7 ", "\r\n"},
      {"leading blank", " S008000044562D3900F7", "\r\n"},
      {"LF-only line ends", "S008000044562D3900F7", "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    load(file(QStringLiteral("near.s19"), c.firstLine, c.lineEnd));
    EXPECT_FALSE(form->fileCheck().FileValid);
    EXPECT_EQ(form->fileCheck().ProductCode, 0);
    EXPECT_EQ(form->Text_Filevalid->text(),
              QStringLiteral("File not valid for any Amplifier or CD player"));
    EXPECT_EQ(form->Label1->text(), guideOnScreen(SrecordCheck::upgradeSteps()));
  }
}

TEST_F(FileCheckOnWindow, AnUnrecognisedFileClearsTheInstructions) {
  load(file(QStringLiteral("a.s19"), "S0090000445650524F006B"));
  ASSERT_TRUE(form->Label1->text().contains(QStringLiteral("DVpro is in bootmode")));
  const QString other = file(QStringLiteral("b.s19"), "S00600004844521B");
  load(other);
  EXPECT_EQ(form->Label1->text(), guideOnScreen(SrecordCheck::upgradeSteps()));
  EXPECT_EQ(form->Text_Filevalid->text(),
            QStringLiteral("File not valid for any Amplifier or CD player"));
  EXPECT_EQ(form->Text_Filename->text(), other);
}

TEST_F(FileCheckOnWindow, AFailedAttemptKeepsTheScreenButNotTheVerdict) {
  const QString good = file(QStringLiteral("good.s19"), "S00B00004B564135313030004C");
  const QString empty = writeBytes(dir, QStringLiteral("empty.s19"), QByteArray());
  const QString attempts[] = {empty, dir.filePath(QStringLiteral("gone.s19")), dir.path(), QString()};
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

TEST(SampleFiles, EachSampleIsForItsProductAndTheDamagedOneStillPassesTheCheck) {
  const struct {
    const char* file;
    std::uint8_t code;
  } samples[] = {{"plxa4880.s19", 1}, {"zentra-mk7.s19", 2}, {"kva5100.s19", 3}, {"dv-9.s19", 4},
                 {"kva5100-plus.s19", 5}, {"dvpro.s19", 6}, {"dv-9-damaged.s19", 4}};
  for (const auto& s : samples) {
    SCOPED_TRACE(s.file);
    SrecordCheck check;
    ASSERT_TRUE(check.Load(QDir(QStringLiteral(EXAMPLES_DIR)).filePath(QString::fromLatin1(s.file))));
    EXPECT_TRUE(check.FileValid);
    EXPECT_EQ(check.ProductCode, s.code);
  }
}

}  // namespace

#include <IniFileHandler.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using IniFileHandler::ReadIniValue;
using IniFileHandler::WriteIniValue;

namespace {

class IniFile : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  QString path = dir.filePath("setup.ini");

  void put(const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  QByteArray contents() const {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  QString read(const char* section, const char* key, const char* def = "") {
    return ReadIniValue(section, key, def, path);
  }
};

TEST_F(IniFile, MissingFileGivesDefaultAndWritesItBack) {
  EXPECT_EQ(read("ComSettings", "ComPort", "1"), "1");
  EXPECT_EQ(contents(), QByteArray("[ComSettings]\r\nComPort=1\r\n"));
  // A second key of the same section goes right after the first.
  EXPECT_EQ(read("ComSettings", "ComSpeed", "9600"), "9600");
  EXPECT_EQ(read("AmpCom", "Debug", "0"), "0");
  EXPECT_EQ(contents(), QByteArray("[ComSettings]\r\nComPort=1\r\nComSpeed=9600\r\n"
                                   "[AmpCom]\r\nDebug=0\r\n"));
}

TEST_F(IniFile, EmptyDefaultCreatesNothing) {
  EXPECT_EQ(read("Ports", "COM1"), "");
  EXPECT_FALSE(QFile::exists(path));
}

TEST_F(IniFile, EmptyStoredValueCountsAsMissing) {
  put("[ComSettings]\r\nDevAdr=\r\nComPort=3\r\n");
  EXPECT_EQ(read("ComSettings", "DevAdr", "1"), "1");
  EXPECT_EQ(contents(), QByteArray("[ComSettings]\r\nDevAdr=1\r\nComPort=3\r\n"));
  // Writing an empty value stores "key=", which reads back as missing.
  EXPECT_TRUE(WriteIniValue("ComSettings", "ComPort", "", path));
  EXPECT_EQ(contents(), QByteArray("[ComSettings]\r\nDevAdr=1\r\nComPort=\r\n"));
  EXPECT_EQ(read("ComSettings", "ComPort"), "");
}

TEST_F(IniFile, LongValuesAreCutTo254Characters) {
  const QByteArray longValue(300, 'x');
  put("[Calvsettings]\r\nFirmwareFile=" + longValue + "\r\n");
  EXPECT_EQ(read("Calvsettings", "FirmwareFile", "?"), QString(254, u'x'));
}

TEST_F(IniFile, ReadingFollowsTheClassicLineRules) {
  put("Stray=before any section\r\n"
      "[ ComSettings ] trailing text\r\n"
      "  devadr  =  12  \r\n"
      ";ComPort=7\r\n"
      "ComPort=4;5\r\n"
      "#Hash=x\r\n"
      "no equals sign here\r\n"
      "Quoted=\"  spaced  \"\r\n"
      "Single='q'\r\n"
      "Mixed=\"x'\r\n"
      "Lone=\"\r\n"
      "DevAdr=99\r\n"
      "[comsettings]\r\n"
      "ComSpeed=57600\r\n"
      "[Calvsettings]\r\n"
      "FirmwareFile=/Path/With Case.ldr\r\n");
  EXPECT_EQ(read("comSETTINGS", "DEVADR"), "12");  // first occurrence wins
  EXPECT_EQ(read("ComSettings", "ComPort"), "4;5");
  EXPECT_EQ(read("ComSettings", "#Hash"), "x");
  EXPECT_EQ(read("ComSettings", "Quoted"), "  spaced  ");
  EXPECT_EQ(read("ComSettings", "Single"), "q");
  EXPECT_EQ(read("ComSettings", "Mixed"), "\"x'");
  EXPECT_EQ(read("ComSettings", "Lone"), "\"");
  EXPECT_EQ(read("ComSettings", "no equals sign here"), "");
  EXPECT_EQ(read("ComSettings", "ComSpeed"), "");  // a repeated section is not searched
  EXPECT_EQ(read("Calvsettings", "firmwarefile"), "/Path/With Case.ldr");
  EXPECT_EQ(read("", "Stray"), "");
}

TEST_F(IniFile, ReadsAnyLineEndStyle) {
  for (const char* end : {"\r\n", "\n", "\r"}) {
    const QByteArray eol(end);
    put("[A]" + eol + "One=1" + eol + "Two=2");
    EXPECT_EQ(read("A", "One"), "1") << eol.toHex().constData();
    EXPECT_EQ(read("A", "Two"), "2") << eol.toHex().constData();
  }
}

TEST_F(IniFile, WritesChangeOnlyTheirLineAndKeepTheFileStyle) {
  put("; service settings\n"
      "[ComSettings]\n"
      "DevAdr=1\n"
      "\n"
      "[Romlifter]\n"
      "Delay = 350\n"
      "\n");
  EXPECT_TRUE(WriteIniValue("COMSETTINGS", "devadr", "12", path));
  EXPECT_TRUE(WriteIniValue("ComSettings", "ComPort", "3", path));
  EXPECT_TRUE(WriteIniValue("Romlifter", "Status", "Succes", path));
  EXPECT_TRUE(WriteIniValue("Calvsettings", "Serial", "1235", path));
  EXPECT_EQ(contents(), QByteArray("; service settings\n"
                                   "[ComSettings]\n"
                                   "DevAdr=12\n"
                                   "ComPort=3\n"
                                   "\n"
                                   "[Romlifter]\n"
                                   "Delay = 350\n"
                                   "Status=Succes\n"
                                   "\n"
                                   "[Calvsettings]\n"
                                   "Serial=1235\n"));
}

TEST_F(IniFile, NewSectionAfterALastLineWithoutLineEnd) {
  put("[A]\rX=1");
  EXPECT_TRUE(WriteIniValue("B", "Y", " 2 ", path));
  EXPECT_EQ(contents(), QByteArray("[A]\rX=1\r[B]\rY= 2 \r"));
  EXPECT_EQ(read("B", "Y"), "2");
}

TEST_F(IniFile, MissingFolderMakesTheWriteFail) {
  const QString elsewhere = dir.filePath("no/such/folder/setup.ini");
  EXPECT_FALSE(WriteIniValue("A", "B", "C", elsewhere));
  EXPECT_EQ(ReadIniValue("A", "B", "default", elsewhere), "default");
  EXPECT_FALSE(QFile::exists(elsewhere));
}

TEST_F(IniFile, ReadOnlyFileStaysUntouchedEvenForRoot) {
  const QByteArray stored("[ComSettings]\r\nComPort=3\r\n");
  put(stored);
  ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0444), 0);
  EXPECT_FALSE(WriteIniValue("ComSettings", "ComPort", "4", path));
  EXPECT_FALSE(WriteIniValue("ComSettings", "DevAdr", "4", path));
  EXPECT_EQ(read("ComSettings", "ComPort", "1"), "3");
  EXPECT_EQ(read("ComSettings", "DevAdr", "1"), "1");  // default, not written
  EXPECT_EQ(contents(), stored);
}

TEST_F(IniFile, RewriteReplacesTheFileInsteadOfWritingIntoIt) {
  put("[A]\r\nX=1\r\n");
  ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
  // A second name for the old file: a write in place would change it too.
  const QString oldName = dir.filePath("old-link.ini");
  ASSERT_EQ(::link(QFile::encodeName(path).constData(), QFile::encodeName(oldName).constData()), 0);
  EXPECT_TRUE(WriteIniValue("A", "X", "2", path));
  QFile old(oldName);
  ASSERT_TRUE(old.open(QIODevice::ReadOnly));
  EXPECT_EQ(old.readAll(), QByteArray("[A]\r\nX=1\r\n"));
  EXPECT_EQ(contents(), QByteArray("[A]\r\nX=2\r\n"));
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the new file keeps the old one's mode
  // No temporary file is left behind.
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

}  // namespace

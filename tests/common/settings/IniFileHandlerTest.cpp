#include <settings/IniFileHandler.h>
#include <tests/support/PtyBench.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include <settings/SettingsLock.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace IniFileHandler;

namespace {

class IniFile : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  QString path = dir.filePath("setup.ini");
  QByteArray native = QFile::encodeName(path);

  void put(const QByteArray& bytes) { ASSERT_TRUE(writeFile(path, bytes)); }
  QString read(const char* section, const char* key, const char* def = "") {
    return ReadIniValue(section, key, def, path);
  }
};

TEST_F(IniFile, ReadingFollowsTheClassicLineRules) {
  const struct {
    QByteArray line;   // the file, line by line
    const char* key;   // looked up in section "comSETTINGS"; nullptr: no look-up
    QString value;
  } rows[] = {
      {"Stray=before any section", "Stray", ""},         {"[ ComSettings ] trailing text", nullptr, {}},
      {"  devadr  =  12  ", "DEVADR", "12"},
      {";ComPort=7", nullptr, {}},  // a comment, so the next line is the first ComPort
      {"ComPort=4;5", "ComPort", "4;5"},                 {"#Hash=x", "#Hash", "x"},
      {"no equals sign here", "no equals sign here", ""}, {"Quoted=\"  spaced  \"", "Quoted", "  spaced  "},
      {"Single='q'", "Single", "q"},                     {"Mixed=\"x'", "Mixed", "\"x'"},
      {"Lone=\"", "Lone", "\""},
      {"DevAdr=99", nullptr, {}},  // the first occurrence wins
      {"Long=" + QByteArray(300, 'x'), "Long", QString(254, u'x')}, {"[comsettings]", nullptr, {}},
      {"ComSpeed=57600", "ComSpeed", ""},  // a repeated section is not searched
  };
  QByteArray file;
  for (const auto& r : rows) file += r.line + "\r\n";
  put(file);
  for (const auto& r : rows) {
    if (!r.key) continue;
    EXPECT_EQ(read("comSETTINGS", r.key), r.value) << r.line.constData();
  }
}

// A missing or empty value reads as the default, which is written back.
TEST_F(IniFile, WritesChangeOnlyTheirLineAndKeepTheFileStyle) {
  EXPECT_EQ(read("ComSettings", "ComPort", "1"), "1");
  EXPECT_EQ(fileBytes(path), QByteArray("[ComSettings]\r\nComPort=1\r\n"));  // a new file has CR LF line ends
  put("[ComSettings]\nDevAdr=1\n\n[Romlifter]\nDelay = 350\n\n");
  EXPECT_TRUE(WriteIniValue("COMSETTINGS", "devadr", "12", path));
  EXPECT_TRUE(WriteIniValue("Romlifter", "Status", "Succes", path));
  EXPECT_TRUE(WriteIniValue("Romlifter", "Delay", "", path));  // "key=" reads back as missing
  EXPECT_EQ(read("Romlifter", "Delay", "350"), "350");
  EXPECT_EQ(fileBytes(path), QByteArray("[ComSettings]\nDevAdr=12\n\n[Romlifter]\nDelay=350\nStatus=Succes\n\n"));

  put("[A]\rX=1");  // a last line without line end
  EXPECT_TRUE(WriteIniValue("B", "Y", " 2 ", path));
  EXPECT_EQ(fileBytes(path), QByteArray("[A]\rX=1\r[B]\rY= 2 \r"));
}

TEST_F(IniFile, RefusedWritesChangeNothingAndReadsGoOn) {
  const QByteArray stored("[ComSettings]\r\nComPort=3\r\n");
  put(stored);
  // A line break in any part would add lines of its own.
  EXPECT_FALSE(WriteIniValue("Romlifter", "File name", "/a\nb.s19", path));
  EXPECT_FALSE(WriteIniValue("Ports\r\n", "COM1", "x", path));
  EXPECT_FALSE(WriteIniValue("Ports", "COM1\n", "x", path));

  // Read-only holds even for root, who passes every permission check.
  ASSERT_EQ(::chmod(native.constData(), 0444), 0);
  EXPECT_FALSE(WriteIniValue("ComSettings", "ComPort", "3", path));  // even unchanged
  EXPECT_EQ(read("ComSettings", "ComPort", "1"), "3");
  EXPECT_EQ(read("ComSettings", "DevAdr", "1"), "1");  // the default, not written
  EXPECT_EQ(fileBytes(path), stored);

  const QString elsewhere = dir.filePath("no/such/folder/setup.ini");
  EXPECT_FALSE(WriteIniValue("A", "B", "C", elsewhere));
  EXPECT_EQ(ReadIniValue("A", "B", "default", elsewhere), "default");
  EXPECT_FALSE(QFile::exists(elsewhere));
}

// A read-only folder leaves only a rewrite in place, without a lock file;
// otherwise the file is replaced and keeps its mode and owner.
TEST_F(IniFile, RewriteReplacesTheFileAndKeepsItsModeAndOwnerButNotInAReadOnlyFolder) {
  put("[A]\r\nX=1\r\n");
  const QByteArray folder = QFile::encodeName(dir.path());
  struct stat st {}, was {};
  ASSERT_EQ(::stat(native.constData(), &was), 0);
  ASSERT_EQ(::chmod(folder.constData(), 0555), 0);
  EXPECT_TRUE(WriteIniValue("A", "X", "2", path));
  ASSERT_EQ(::stat(native.constData(), &st), 0);
  EXPECT_EQ(st.st_ino, was.st_ino);  // the same file: root, too, adds nothing to the folder
  EXPECT_EQ(read("A", "Y", "3"), "3");
  EXPECT_EQ(fileBytes(path), QByteArray("[A]\r\nX=2\r\nY=3\r\n"));
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"setup.ini"});
  ASSERT_EQ(::chmod(folder.constData(), 0755), 0);

  ASSERT_EQ(::chmod(native.constData(), 0640), 0);
  const bool root = ::geteuid() == 0;  // only root can hand the file to another owner
  ASSERT_TRUE(!root || ::chown(native.constData(), 65534, 65534) == 0);
  EXPECT_TRUE(WriteIniValue("A", "X", "4", path));
  ASSERT_EQ(::stat(native.constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(st.st_uid, root ? 65534u : ::geteuid());  // root does not take it over
  // No temporary file left; the lock file stays for the next writer.
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"setup.ini", "setup.ini.lock"}));
}

// The station's setup.ini may hold the line's database password: made there,
// it is the group's and no one else's, whatever the umask says.
TEST_F(IniFile, ANewFileInTheStationFolderIsHiddenFromOtherAccounts) {
  QTemporaryDir station;
  const QByteArray was = qgetenv("KESTRUNE_STATION_DIR");
  qputenv("KESTRUNE_STATION_DIR", QFile::encodeName(station.path() + "/."));
  const mode_t mask = ::umask(022);
  struct Case {
    QString path;
    mode_t mode;
  } cases[] = {{station.filePath("setup.ini"), 0660}, {path, 0644}};
  for (const Case& c : cases) {
    struct stat st {};
    EXPECT_TRUE(WriteIniValue("Production", "Database", "postgresql://line@db/production", c.path));
    ASSERT_EQ(::stat(QFile::encodeName(c.path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.mode) << qPrintable(c.path);
  }
  ::umask(mask);
  qputenv("KESTRUNE_STATION_DIR", was);
}

// A child process running body, then ending with its result as exit status.
template <typename Body>
pid_t spawn(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body() ? 0 : 1);
  return pid;
}

TEST_F(IniFile, AWriterKilledAnywhereLeavesEveryKeyWithItsOldOrNewValue) {
  const QString layout = QStringLiteral("; kept\r\n[A]\r\nOne=%1\r\nTwo=%2\r\n\r\n[B]\r\nThree=%3\r\n");
  const char* keys[3][2] = {{"A", "One"}, {"A", "Two"}, {"B", "Three"}};
  QString held[3] = {"0", "0", "0"};
  put(layout.arg(held[0], held[1], held[2]).toLatin1());
  std::mt19937 random(7);
  for (int round = 1; round <= 300; ++round) {
    // Two new values of different lengths, taken in turn, so every write rewrites the file.
    const QString fresh[2] = {QString("r%1").arg(round), QString("round %1;").arg(round).repeated(round % 5 + 2)};
    const pid_t writer = spawn([&] {
      for (int n = 0;; ++n) WriteIniValue(keys[n % 3][0], keys[n % 3][1], fresh[n / 3 % 2], path);
      return true;
    });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    ::kill(writer, SIGKILL);
    ASSERT_EQ(::waitpid(writer, nullptr, 0), writer);
    for (int k = 0; k < 3; ++k) {
      const QString now = read(keys[k][0], keys[k][1]);
      ASSERT_TRUE(now == held[k] || now == fresh[0] || now == fresh[1]) << round << ": " << now.toStdString();
      held[k] = now;
    }
    ASSERT_EQ(fileBytes(path), layout.arg(held[0], held[1], held[2]).toLatin1()) << round;
  }
}

TEST_F(IniFile, TwoProcessesWritingAtOnceLoseNoValue) {
  put("[A]\r\n");
  auto writer = [this](const char* key) {
    return spawn([=, this] {
      // A value of ours read back older than written means the other process lost it.
      for (int n = 1; n <= 300; ++n)
        if (!WriteIniValue("A", key, QString::number(n), path) || read("A", key).toInt() < n) return false;
      return true;
    });
  };
  const pid_t pids[] = {writer("First"), writer("Second")};
  for (const pid_t pid : pids) {
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(read("A", "First") + "," + read("A", "Second"), "300,300");
}

// Runs on several ports at once share setup.ini from threads of one
// process: one thread's lock keeps the other out as another process's does.
TEST_F(IniFile, TwoThreadsWritingAtOnceLoseNoValue) {
  put("[A]\r\n");
  bool ok[2] = {false, false};
  const auto writer = [this](const char* key, bool& result) {
    for (int n = 1; n <= 300; ++n) {
      const SettingsLock lock(path);  // a read-modify-write, as a serial claim is
      const int was = read("A", key).toInt();
      if (was != n - 1 || !WriteIniValue("A", key, QString::number(was + 1), path)) return;
    }
    result = true;
  };
  std::thread first(writer, "First", std::ref(ok[0]));
  std::thread second(writer, "Second", std::ref(ok[1]));
  first.join();
  second.join();
  EXPECT_TRUE(ok[0] && ok[1]);
  EXPECT_EQ(read("A", "First") + "," + read("A", "Second"), "300,300");
}

// A lock another process keeps refuses a write after a bounded wait, also
// for another user whose lock file is read-only; two spellings of one file
// share one lock in a process.
TEST_F(IniFile, TheLockWaitIsBoundedAndTheLockIsOnePerFile) {
  put("[A]\r\nX=1\r\n");
  const QByteArray lockFile = QFile::encodeName(SettingsLock::lockFileFor(path));
  const int fd = ::open(lockFile.constData(), O_RDWR | O_CREAT, 0444);
  ASSERT_TRUE(fd >= 0 && ::flock(fd, LOCK_EX) == 0);
  ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
  const pid_t other = spawn([&] {
    if (::geteuid() == 0 && ::setuid(65534) != 0) return false;
    return SettingsLock(path).refused();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WriteIniValue("A", "X", "2", path));
  // Refused after the whole wait, and at all; how long exactly and at what
  // processor cost is bench/wait_bench's figure.
  const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(waited.count() >= 2.0 && waited.count() < 10.0) << waited.count();
  EXPECT_EQ(fileBytes(path), QByteArray("[A]\r\nX=1\r\n"));
  int status = -1;
  EXPECT_TRUE(::waitpid(other, &status, 0) == other && status == 0);
  ::close(fd);

  ASSERT_TRUE(QFile::link(dir.path(), dir.filePath("alias")));
  const SettingsLock outer(dir.filePath("./setup.ini"));
  EXPECT_TRUE(WriteIniValue("A", "X", "3", dir.filePath("alias/setup.ini")));
}

}  // namespace

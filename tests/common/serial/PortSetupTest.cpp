#include <QProcess>
#include <QSerialPort>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <platform/PortPermission.h>
#include "SerialTestSupport.h"

namespace {

TEST(SerialPortControl, PortNumbersMapToDevicesUnlessThePortsSectionSaysOtherwise) {
  QTemporaryDir dir;
  const QString ini = dir.filePath(QStringLiteral("setup.ini"));
  writePortsIni(dir.path(), 2, QStringLiteral("/dev/pts/77"));
  const QByteArray before = fileBytes(ini);
  const struct {
    int port;
    const char* device;
  } cases[] = {{1, "/dev/ttyUSB0"}, {2, "/dev/pts/77"}, {8, "/dev/ttyUSB7"}, {9, "/dev/ttyACM0"},
               {12, "/dev/ttyACM3"}, {13, "/dev/ttyS0"}, {16, "/dev/ttyS3"}, {0, ""}, {17, ""}};
  for (const auto& c : cases) EXPECT_EQ(SerialPortControl::deviceForPort(c.port, ini), QLatin1String(c.device)) << c.port;
  EXPECT_EQ(fileBytes(ini), before);  // the look-ups write nothing back
}

using PortSetup = SerialFormTest;

TEST_F(PortSetup, EachSetupClosesFirstAndChoosesItsLineSettings) {
  enum Op { Normal, Production, Binary };
  const struct {
    Op op;
    int port, speed;
    speed_t line;  // 0: the port stays closed
  } steps[] = {
      {Normal, kPort, 1, B57600},     {Normal, kPort, 1, B57600},  // the second call closes the first
      {Normal, kPort, 7, B57600},     {Binary, kPort, 7, B57600},  // unknown speed code: settings kept
      {Production, kPort, 7, B9600},  {Production, kPort, 2, B115200},
      {Normal, 0, 0, 0},              {Normal, kPort, 0, B9600},  // 0 and 17: no attempt, port closed
      {Normal, 17, 0, 0},             {Binary, kPort, 2, B115200},
  };
  SerialLink& com = makeLink(Rule::Frame);
  com.CloseMScomm();  // closed already: nothing happens
  EXPECT_FALSE(com.CheckMScomm());
  for (const auto& s : steps) {
    const auto port = std::uint8_t(s.port), speed = std::uint8_t(s.speed);
    const bool open = s.op == Normal       ? com.SetupMScomm(port, speed)
                      : s.op == Binary     ? com.SetupMScommAsBinary(port, speed)
                                           : com.SetupMScommForProduction(port, speed);
    EXPECT_EQ(open, s.line != 0) << s.op << ' ' << s.port << ' ' << s.speed;
    EXPECT_EQ(com.CheckMScomm(), s.line != 0);
    if (open) {
      EXPECT_EQ(pty.lineSpeed(), s.line) << s.op << ' ' << s.port << ' ' << s.speed;
    }
  }
  EXPECT_EQ(com.MSComm1().inputMode(), SerialPortControl::InputMode::Binary);
  EXPECT_TRUE(messages.isEmpty());
}

// Each reason gets its message: no device, a device that is no serial port,
// one another program holds (free again once it let go, and ours let go
// once closed).
TEST_F(PortSetup, OpenFailuresShowOneMessageExceptInProduction) {
  PseudoTerminal other;
  QProcess holder;
  holder.start(QStringLiteral(SERIAL_PORT_HOLDER), {other.slavePath()});
  ASSERT_TRUE(waitUntil([&] { return holder.canReadLine() || holder.state() == QProcess::NotRunning; }, 5s));
  ASSERT_EQ(holder.readLine().trimmed(), QByteArray("held"));
  const struct {
    int port;
    QString device;
    QString message;
  } cases[] = {{5, path("no-such-tty"), QStringLiteral("Comm Port not available!")},
               {6, path("setup.ini"), QStringLiteral("Comm Port not open")},
               {7, other.slavePath(), QStringLiteral("Comm Port already open")}};
  SerialLink& com = makeLink(Rule::Frame);
  for (const auto& c : cases) {
    writePortsIni(dir.path(), c.port, c.device);
    messages.clear();
    EXPECT_FALSE(com.SetupMScomm(std::uint8_t(c.port), 0));
    EXPECT_FALSE(com.SetupMScommAsBinary(std::uint8_t(c.port), 0));
    EXPECT_EQ(messages, QStringList({c.message, c.message}));

    ASSERT_TRUE(com.SetupMScomm(kPort, 0));
    EXPECT_FALSE(com.SetupMScommForProduction(std::uint8_t(c.port), 0));
    EXPECT_FALSE(com.CheckMScomm());
    EXPECT_EQ(messages.size(), 2) << c.message.toStdString();
  }
  // A file where a device belongs is blamed on the entry that named it, and
  // only then: a device given for the run has no entry.
  writePortsIni(dir.path(), 6, path("setup.ini"));
  lines.clear();
  EXPECT_FALSE(com.SetupMScomm(6, 0));
  EXPECT_TRUE(lines.join(u'\n').contains(QStringLiteral("([Ports] COM6 in "))) << lines.join(u'\n').toStdString();
  com.MSComm1().setDeviceOverride(path("setup.ini"));
  lines.clear();
  EXPECT_FALSE(com.SetupMScomm(6, 0));
  EXPECT_FALSE(lines.isEmpty());
  EXPECT_FALSE(lines.join(u'\n').contains(QStringLiteral("[Ports]"))) << lines.join(u'\n').toStdString();
  com.MSComm1().setDeviceOverride({});
  holder.closeWriteChannel();
  ASSERT_TRUE(holder.waitForFinished(5000));
  EXPECT_TRUE(com.SetupMScomm(7, 0));
  // Closed, the device is let go as soon as the event loop has run.
  com.CloseMScomm();
  waitUntil([] { return false; }, 20ms);
  QSerialPort again(other.slavePath());
  EXPECT_TRUE(again.open(QIODevice::ReadWrite)) << again.errorString().toStdString();
}

// A device the user may not open: besides the operator's message, stderr
// names the group that owns it and says to join it; the traffic log holds
// traffic only.
TEST_F(PortSetup, RefusedPermissionNamesTheGroupToJoin) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the terminal to a group and become another user";
  const passwd* nobody = ::getpwnam("nobody");
  const group* dialout = ::getgrnam("dialout");
  ASSERT_TRUE(nobody && dialout);
  const QByteArray slave = pty.slavePath().toLocal8Bit();
  ASSERT_TRUE(::chown(slave, 0, dialout->gr_gid) == 0 && ::chmod(slave, 0660) == 0);
  SerialLink& com = makeLink(Rule::Frame);
  com.SetLogOn();
  // The other user reads setup.ini and appends to Log.txt.
  ASSERT_TRUE(::chmod(QFile::encodeName(dir.path()), 0777) == 0 && ::chmod(QFile::encodeName(com.LogFileName), 0666) == 0);
  const QString expected = QStringLiteral("belongs to group dialout; user nobody must be a member");
  const auto openAsNobody = [&] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) std::_Exit(2);
    const bool opened = com.SetupMScomm(kPort, 0);
    const bool logged = QString::fromLatin1(fileBytes(com.LogFileName)).contains(expected);
    std::_Exit(!opened && !logged && messages == QStringList{"Comm Port not open"} ? 0 : 1);
  };
  EXPECT_EXIT(openAsNobody(), ::testing::ExitedWithCode(0), expected.toStdString());
  // A device kept from its group (root's, or no group rights) needs the administrator, not a new member.
  ASSERT_EQ(::chown(slave, 0, 0), 0);
  EXPECT_FALSE(PortPermission::hintFor(pty.slavePath()).contains("usermod"));
  ASSERT_TRUE(::chown(slave, 0, dialout->gr_gid) == 0 && ::chmod(slave, 0600) == 0);
  EXPECT_FALSE(PortPermission::hintFor(pty.slavePath()).contains("usermod"));
}

}  // namespace

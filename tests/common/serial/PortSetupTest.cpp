#include <QProcess>

#include <IniFileHandler.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "SerialTestSupport.h"

namespace {

// The line settings the port really has, read from the device itself.
struct Line {
  speed_t speed = 0;
  tcflag_t cflag = 0;
};
Line lineOf(const QString& device) {
  Line line;
  const int fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return line;
  termios tio{};
  if (::tcgetattr(fd, &tio) == 0) {
    line.speed = ::cfgetospeed(&tio);
    line.cflag = tio.c_cflag;
  }
  ::close(fd);
  return line;
}

TEST(SerialPortControl, PortNumbersMapToDevices) {
  const struct {
    int port;
    const char* device;
  } cases[] = {{1, "/dev/ttyUSB0"}, {8, "/dev/ttyUSB7"}, {9, "/dev/ttyACM0"}, {12, "/dev/ttyACM3"},
               {13, "/dev/ttyS0"},  {16, "/dev/ttyS3"},  {0, ""},             {17, ""}};
  for (const auto& c : cases)
    EXPECT_EQ(SerialPortControl::deviceForPort(c.port, QString()), QLatin1String(c.device)) << c.port;
}

TEST(SerialPortControl, PortsSectionOverridesTheTableAndIsNotWrittenBack) {
  QTemporaryDir dir;
  const QString ini = dir.filePath(QStringLiteral("setup.ini"));
  {
    QFile f(ini);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Ports]\r\nCOM2=/dev/pts/77\r\n");
  }
  const QByteArray before = fileBytes(ini);
  EXPECT_EQ(SerialPortControl::deviceForPort(2, ini), QStringLiteral("/dev/pts/77"));
  EXPECT_EQ(SerialPortControl::deviceForPort(4, ini), QStringLiteral("/dev/ttyUSB3"));
  EXPECT_EQ(SerialPortControl::deviceForPort(14, dir.filePath(QStringLiteral("none.ini"))), QStringLiteral("/dev/ttyS1"));
  EXPECT_EQ(fileBytes(ini), before);
  EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("none.ini"))));
}

TEST(SerialPortControl, SettingsStringsReachTheLine) {
  PseudoTerminal pty;
  QTemporaryDir dir;
  SerialPortControl port;
  port.setPortsIniPath(writePortsIni(dir.path(), 2, pty.slavePath()));
  port.setCommPort(2);

  ASSERT_TRUE(port.setSettings(QStringLiteral("19200,E,7,2")));
  ASSERT_EQ(port.setPortOpen(true), 0);
  // A pseudo-terminal keeps speed and stop bits but forces 8 bits without parity.
  Line line = lineOf(pty.slavePath());
  EXPECT_EQ(line.speed, speed_t(B19200));
  EXPECT_TRUE(line.cflag & CSTOPB);
  EXPECT_EQ(port.settings(), QStringLiteral("19200,E,7,2"));

  // On an open port a new string applies at once.
  ASSERT_TRUE(port.setSettings(QStringLiteral("115200,O,8,1")));
  line = lineOf(pty.slavePath());
  EXPECT_EQ(line.speed, speed_t(B115200));
  EXPECT_FALSE(line.cflag & CSTOPB);

  // Strings it cannot take leave the settings alone.
  for (const char* bad : {"", "9600", "9600,N,8", "abc,N,8,1", "-9600,N,8,1", "0,N,8,1", "99999999999,N,8,1",
                          "9600,X,8,1", "9600,N,9,1", "9600,N,4,1", "9600,N,8,3", "9600,N,8,1,1"}) {
    EXPECT_FALSE(port.setSettings(QString::fromLatin1(bad))) << bad;
    EXPECT_EQ(port.settings(), QStringLiteral("115200,O,8,1")) << bad;
  }
  EXPECT_EQ(lineOf(pty.slavePath()).speed, speed_t(B115200));
}

using PortSetup = SerialFormTest;

TEST_F(PortSetup, OpensTheMappedPortAgainAndAgain) {
  ComForm& com = makeForm(ComForm::Host::Calvboot);
  EXPECT_FALSE(com.CheckMScomm());
  com.CloseMScomm();  // closed already: nothing happens
  EXPECT_FALSE(com.CheckMScomm());

  EXPECT_TRUE(com.SetupMScomm(kPort, 0));
  EXPECT_TRUE(com.SetupMScomm(kPort, 0));  // the second closes the first
  EXPECT_TRUE(com.CheckMScomm());
  EXPECT_EQ(com.MSComm1().settings(), QStringLiteral("9600,N,8,1"));
  EXPECT_EQ(com.MSComm1().inBufferSize(), 96);
  EXPECT_EQ(com.MSComm1().outBufferSize(), 96);
  EXPECT_EQ(com.MSComm1().rThreshold(), 1);
  EXPECT_EQ(com.MSComm1().inputMode(), SerialPortControl::InputMode::Text);

  com.SendMScommString(QByteArray("\x06\x01\x00", 3));
  EXPECT_EQ(pty.read(3, 1s), QByteArray("\x06\x01\x00", 3));

  com.CloseMScomm();
  EXPECT_FALSE(com.CheckMScomm());
  EXPECT_TRUE(com.SetupMScommAsBinary(kPort, 2));
  EXPECT_EQ(com.MSComm1().inputMode(), SerialPortControl::InputMode::Binary);
  EXPECT_EQ(lineOf(pty.slavePath()).speed, speed_t(B115200));
  EXPECT_TRUE(messages.isEmpty());
}

TEST_F(PortSetup, PortNumberOutsideOneToSixteenClosesAndStops) {
  ComForm& com = makeForm(ComForm::Host::Calvboot);
  for (std::uint8_t bad : {std::uint8_t(0), std::uint8_t(17), std::uint8_t(255)}) {
    ASSERT_TRUE(com.SetupMScomm(kPort, 0));
    EXPECT_FALSE(com.SetupMScomm(bad, 0)) << int(bad);
    EXPECT_FALSE(com.CheckMScomm()) << int(bad);
    EXPECT_EQ(com.MSComm1().commPort(), kPort) << "no property written for " << int(bad);
  }
  EXPECT_TRUE(messages.isEmpty());
}

TEST_F(PortSetup, UnknownSpeedCodeKeepsPreviousSettingsExceptForProduction) {
  ComForm& com = makeForm(ComForm::Host::Calvboot);
  ASSERT_TRUE(com.SetupMScomm(kPort, 1));
  EXPECT_EQ(lineOf(pty.slavePath()).speed, speed_t(B57600));

  ASSERT_TRUE(com.SetupMScomm(kPort, 7));
  EXPECT_EQ(com.MSComm1().settings(), QStringLiteral("57600,N,8,1"));
  EXPECT_EQ(lineOf(pty.slavePath()).speed, speed_t(B57600));

  ASSERT_TRUE(com.SetupMScommAsBinary(kPort, 7));
  EXPECT_EQ(lineOf(pty.slavePath()).speed, speed_t(B57600));

  ASSERT_TRUE(com.SetupMScommForProduction(kPort, 7));
  EXPECT_EQ(com.MSComm1().settings(), QStringLiteral("9600,N,8,1"));
  EXPECT_EQ(lineOf(pty.slavePath()).speed, speed_t(B9600));

  ASSERT_TRUE(com.SetupMScommForProduction(kPort, 2));
  EXPECT_EQ(lineOf(pty.slavePath()).speed, speed_t(B115200));
  EXPECT_TRUE(messages.isEmpty());
}

TEST_F(PortSetup, OpenFailuresShowOneMessageExceptInProduction) {
  QFile plainFile(path(QStringLiteral("not-a-tty")));
  ASSERT_TRUE(plainFile.open(QIODevice::WriteOnly));
  plainFile.close();
  const struct {
    int port;
    QString device;
    const char* message;
  } cases[] = {
      {5, path(QStringLiteral("no-such-tty")), "Comm Port not available!"},
      {6, plainFile.fileName(), "Comm Port not open"},
  };
  ComForm& com = makeForm(ComForm::Host::Calvboot);
  for (const auto& c : cases) {
    writePortsIni(dir.path(), c.port, c.device);
    const auto port = std::uint8_t(c.port);

    messages.clear();
    EXPECT_FALSE(com.SetupMScomm(port, 0)) << c.message;
    EXPECT_EQ(messages, QStringList{QLatin1String(c.message)});
    EXPECT_FALSE(com.CheckMScomm());

    messages.clear();
    EXPECT_FALSE(com.SetupMScommAsBinary(port, 0)) << c.message;
    EXPECT_EQ(messages, QStringList{QLatin1String(c.message)});

    messages.clear();
    ASSERT_TRUE(com.SetupMScomm(kPort, 0));
    EXPECT_FALSE(com.SetupMScommForProduction(port, 0)) << c.message;
    EXPECT_TRUE(messages.isEmpty()) << c.message;
    EXPECT_FALSE(com.CheckMScomm());
  }
}

TEST_F(PortSetup, PortHeldByAnotherProgramIsAlreadyOpen) {
  QProcess holder;
  holder.start(QStringLiteral(SERIAL_PORT_HOLDER), {pty.slavePath()});
  ASSERT_TRUE(holder.waitForStarted(5000));
  ASSERT_TRUE(waitUntil([&] { return holder.canReadLine() || holder.state() != QProcess::Running; }, 5s));
  ASSERT_EQ(holder.readLine().trimmed(), QByteArray("held"));

  ComForm& com = makeForm(ComForm::Host::Romlift);
  EXPECT_FALSE(com.SetupMScomm(kPort, 0));
  EXPECT_EQ(messages, QStringList{QStringLiteral("Comm Port already open")});
  EXPECT_FALSE(com.SetupMScommForProduction(kPort, 0));
  EXPECT_EQ(messages.size(), 1);
  EXPECT_FALSE(com.CheckMScomm());

  holder.closeWriteChannel();
  ASSERT_TRUE(holder.waitForFinished(5000));
  EXPECT_TRUE(com.SetupMScomm(kPort, 0));  // free again once the other program let go
  EXPECT_EQ(messages.size(), 1);
}

}  // namespace

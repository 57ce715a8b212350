#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <cerrno>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <romlift/UploaderRule.h>
#include <serial/SerialLink.h>
#include <tests/support/PtyBench.h>
#include <tests/support/TestPort.h>

using namespace std::chrono_literals;

namespace {

// A slow device that keeps taking bytes is waited for as long as it takes:
// each shrink of the queue renews the allowance.
TEST(OutputDrain, ASlowLineThatKeepsTakingBytesDrains) {
  TestClock clock;
  TestDevice device{clock};
  SerialPortControl port{device.makePort()};
  port.setWaitClock(clock);
  port.setDeviceOverride(device.path);
  port.setSettings(QStringLiteral("115200,N,8,1"));
  device.setPace(1 / std::chrono::duration<double>(port.byteTime()).count() / 8);
  ASSERT_EQ(port.setPortOpen(true), 0);
  ASSERT_TRUE(port.output(QByteArray(4096, 'x')));
  const auto began = clock.now();
  EXPECT_EQ(port.drainOutput(), SerialPortControl::Drain::Drained);
  EXPECT_GT(clock.now() - began, 1s + port.byteTime() * 4096 * 2);  // beyond the first allowance
  EXPECT_EQ(device.arrived.size(), 4096);
  EXPECT_TRUE(port.portOpen());
}

// A device that takes nothing: the wait serves events and ends on a stop
// request; without one it gives up after its allowance with the port closed
// and a message, and the output is dropped before the real close, which
// would otherwise wait for it.
TEST(OutputDrain, AStalledDeviceEndsTheWaitAndItsOutputIsDroppedBeforeTheClose) {
  QTemporaryDir dir;
  TestClock clock;
  TestDevice device{clock};
  SerialLink com{std::make_unique<UploaderRule>(), dir.path(), Timing{.waits = &clock}, nullptr, device.makePort()};
  QStringList messages;
  com.setPortMessage([&](const QString& text) { messages << text; });
  com.MSComm1().setDeviceOverride(device.path);
  device.setPace(0);
  ASSERT_TRUE(com.SetupMScomm(1, 2));
  com.SendMScommString(QByteArray(100, 'x'));
  bool served = false;
  QTimer::singleShot(0, [&] { served = true; });
  auto began = clock.now();
  EXPECT_EQ(com.MSComm1().drainOutput([&] { return clock.now() - began > 200ms; }), SerialPortControl::Drain::Stopped);
  EXPECT_TRUE(served && com.CheckMScomm());

  const auto allowance = 1s + com.MSComm1().byteTime() * 100 * 2;
  began = clock.now();
  EXPECT_EQ(com.MSComm1().drainOutput(), SerialPortControl::Drain::Stalled);
  EXPECT_GT(clock.now() - began, allowance);
  EXPECT_LT(clock.now() - began, allowance + 10ms);
  EXPECT_FALSE(com.CheckMScomm());
  EXPECT_EQ(messages, QStringList{"Comm Port stalled"});
  EXPECT_EQ(device.queuedAtClose, QList<qint64>{0});
  EXPECT_TRUE(device.arrived.isEmpty());
}

// The errno of an open of the device by another, unprivileged user; 0 when
// it opens. Root ignores exclusive use, so root tries it in a child that
// becomes nobody.
int openAsAnotherUser(const QString& device) {
  const QByteArray path = QFile::encodeName(device);
  if (::geteuid() != 0) {
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    return fd < 0 ? errno : ::close(fd);
  }
  if (::chmod(path.constData(), 0666) != 0) return errno;
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(255);
    ::_exit(::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK) < 0 ? errno : 0);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The line is ours alone while open, and anyone's again after the real
// close, though its descriptor was swapped to leave the line raw.
TEST(LineRelease, ExclusiveUseEndsWithTheRealClose) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.isOpen());
  SerialPortControl port;
  port.setDeviceOverride(pty.slavePath());
  ASSERT_EQ(port.setPortOpen(true), 0);
  EXPECT_EQ(openAsAnotherUser(pty.slavePath()), EBUSY);
  port.setPortOpen(false);
  QCoreApplication::processEvents();  // the kept descriptor goes
  EXPECT_EQ(openAsAnotherUser(pty.slavePath()), 0);
}

}  // namespace

#pragma once

#include <protocol/FrameRule.h>
#include <serial/SerialLink.h>
#include <protocol/ModuleCommands.h>
#include <tests/support/PtyBench.h>
#include <protocol/RSfunctions.h>

#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>

using namespace std::chrono_literals;

inline QByteArray hexBytes(const char* text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }

// Readable failure messages for texts and bytes.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QByteArray& bytes, std::ostream* os) { *os << bytes.toHex(' ').toStdString(); }

// Plays the far end on the master side of a pseudo-terminal: collects the
// frames the program sends (framed by their length byte) and answers each one.
class ScriptedPeer : public QObject {
 public:
  explicit ScriptedPeer(PseudoTerminal& pty) : pty_(pty), notifier_(pty.masterFd(), QSocketNotifier::Read) {
    connect(&notifier_, &QSocketNotifier::activated, this, &ScriptedPeer::readable);
  }

  // The answer to every frame, sent `delay` after it; empty: silence.
  QByteArray reply;
  std::chrono::milliseconds delay{0};
  // These hex bytes; nullptr: silence.
  void replyWith(const char* hex) { reply = hex ? hexBytes(hex) : QByteArray(); }

  QList<QByteArray> frames;

 private:
  void readable() {
    char buf[512];
    ssize_t n;
    while ((n = ::read(pty_.masterFd(), buf, sizeof buf)) > 0) pending_.append(buf, n);
    while (!pending_.isEmpty() && pending_.at(0) != 0 && pending_.size() >= std::uint8_t(pending_.at(0))) {
      frames.append(pending_.left(std::uint8_t(pending_.at(0))));
      pending_.remove(0, frames.last().size());
      if (!reply.isEmpty()) QTimer::singleShot(delay, this, [this, bytes = reply] { pty_.write(bytes); });
    }
  }

  PseudoTerminal& pty_;
  QSocketNotifier notifier_;
  QByteArray pending_;
};

// The command layer as the main window holds it, on COM1 of a setup.ini in a
// temporary program folder, against a scripted peer; a short reply time-out.
class PeerBench : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid() && pty.isOpen());
    RSfunctions::InitCommandTable();
    peer = std::make_unique<ScriptedPeer>(pty);
    writePortsIni(dir.path(), 1, pty.slavePath());
    com = std::make_unique<SerialLink>(std::make_unique<FrameRule>(), dir.path());
    com->setPortMessage([](const QString&) {});  // a port failure shows in the results, not in a modal box
    cmd = std::make_unique<ModuleCommands>(*com, Timing{.reply = 300ms});
    cmd->ComPort = 1;
    cmd->ComSpeed = 2;
  }

  QTemporaryDir dir;
  PseudoTerminal pty;
  std::unique_ptr<ScriptedPeer> peer;
  std::unique_ptr<SerialLink> com;
  std::unique_ptr<ModuleCommands> cmd;
};

#include "ProtocolBench.h"

#include <RSfunctions.h>

#include <QTimer>

#include <unistd.h>

using namespace std::chrono_literals;

QByteArray hexBytes(const char* text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }

ScriptedPeer::ScriptedPeer(PseudoTerminal& pty) : pty_(pty), notifier_(pty.masterFd(), QSocketNotifier::Read) {
  connect(&notifier_, &QSocketNotifier::activated, this, &ScriptedPeer::readable);
}

void ScriptedPeer::readable() {
  char buf[512];
  ssize_t n;
  while ((n = ::read(pty_.masterFd(), buf, sizeof buf)) > 0) pending_.append(buf, n);
  while (!pending_.isEmpty() && pending_.at(0) != 0 && pending_.size() >= std::uint8_t(pending_.at(0))) {
    frames.append(pending_.left(std::uint8_t(pending_.at(0))));
    pending_.remove(0, frames.last().size());
    auto delay = firstDelay;
    for (const QByteArray& piece : pieces) {
      QTimer::singleShot(delay, this, [this, piece] { pty_.write(piece); });
      delay += gap;
    }
  }
}

void PeerBench::SetUp() {
  ASSERT_TRUE(dir.isValid() && pty.isOpen());
  RSfunctions::InitCommandTable();
  peer = std::make_unique<ScriptedPeer>(pty);
  writePortsIni(dir.path(), 1, pty.slavePath());
  com = std::make_unique<ComForm>(ComForm::Host::Calvboot, dir.path());
  com->setPortMessage([this](const QString& text) { portMessages << text; });
  cmd = std::make_unique<ModuleCommands>(*com, image);
  cmd->ComPort = 1;
  cmd->ComSpeed = 2;
  cmd->ReplyTimeout = 300ms;
}

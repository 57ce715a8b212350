#pragma once

#include <ComForm.h>
#include <ImageBuffer.h>
#include <ModuleCommands.h>
#include <PtyBench.h>

#include <QSocketNotifier>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>

QByteArray hexBytes(const char* text);

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

// Plays the far end on the master side of a pseudo-terminal: collects the
// frames the program sends (framed by their length byte) and answers each one.
class ScriptedPeer : public QObject {
 public:
  explicit ScriptedPeer(PseudoTerminal& pty);

  // The answer to every frame, in pieces sent `gap` apart (the first after
  // `firstDelay`); no pieces: silence.
  QList<QByteArray> pieces;
  std::chrono::milliseconds firstDelay{0};
  std::chrono::milliseconds gap{30};
  // One piece of these hex bytes; nullptr: silence.
  void replyWith(const char* hex) { pieces = hex ? QList<QByteArray>{hexBytes(hex)} : QList<QByteArray>{}; }

  QList<QByteArray> frames;

 private:
  void readable();

  PseudoTerminal& pty_;
  QSocketNotifier notifier_;
  QByteArray pending_;
};

// The command layer as the main window holds it, on COM1 of a setup.ini in a
// temporary program folder, against a scripted peer; a short reply time-out.
class PeerBench : public ::testing::Test {
 protected:
  void SetUp() override;

  QTemporaryDir dir;
  ImageBuffer image;
  PseudoTerminal pty;
  std::unique_ptr<ScriptedPeer> peer;
  std::unique_ptr<ComForm> com;
  std::unique_ptr<ModuleCommands> cmd;
  QStringList portMessages;
};

#pragma once

#include <ComForm.h>
#include <ImageBuffer.h>
#include <ModuleCommands.h>
#include <PtyBench.h>

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <memory>

QByteArray hexBytes(const char* text);

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

// Plays the far end on the master side of a pseudo-terminal: collects the
// frames the program sends (framed by their length byte) and answers each one.
class ScriptedPeer : public QObject {
 public:
  explicit ScriptedPeer(PseudoTerminal& pty);

  // The answer to a frame, in pieces sent `gap` apart (the first after
  // `firstDelay`); no pieces: silence. The default answers nothing.
  std::function<QList<QByteArray>(const QByteArray& frame)> answer;
  std::chrono::milliseconds firstDelay{0};
  std::chrono::milliseconds gap{30};

  // Answers every frame with the same pieces.
  void answerAlways(const QList<QByteArray>& pieces);
  // Answers every frame with these hex bytes in one piece; nullptr: silence.
  void replyWith(const char* hex);

  QList<QByteArray> frames;

 private:
  void readable();

  PseudoTerminal& pty_;
  QSocketNotifier notifier_;
  QByteArray pending_;
};

// The command layer as the main window holds it, on COM1 of a setup.ini in a
// temporary program folder; a short reply time-out.
class ProtocolBench : public ::testing::Test {
 protected:
  static constexpr std::chrono::milliseconds kShortTimeout{300};

  void SetUp() override;
  void attach(const QString& devicePath);

  QTemporaryDir dir;
  ImageBuffer image;
  std::unique_ptr<ComForm> com;
  std::unique_ptr<ModuleCommands> cmd;
  QStringList portMessages;
};

// The command layer against a scripted peer.
class PeerBench : public ProtocolBench {
 protected:
  void SetUp() override;

  PseudoTerminal pty;
  std::unique_ptr<ScriptedPeer> peer;
};

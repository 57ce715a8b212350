#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

#include <platform/MessageSink.h>
#include <production/Production.h>
#include <serial/LineSpeed.h>
#include <serial/Timing.h>

#include "SrecordCheck.h"
#include "UploadDialogue.h"

class QMutex;
class SerialLink;

// One run of romlift, in the window or from the command line: the serial
// link with romlift's receive rule, the upload dialogue, the checked file,
// the run's port, speed and line delay (read from setup.ini once), the run
// record, the stop request and how the run ends. No widgets: the window
// shows a session it is given, and so does the command line.
class RomliftSession {
 public:
  static constexpr std::uint8_t kPortCount = 16;

  static constexpr int kExitOk = 0;
  static constexpr int kExitFailed = 1;
  static constexpr int kExitWrongFile = 2;
  static constexpr int kExitPort = 3;
  static constexpr int kExitNoBootLoader = 4;
  static constexpr int kExitNotValid = 5;
  // A cancel without a stop request's own status (Ctrl+C's).
  static constexpr int kExitInterrupted = 130;

  // Who starts the run. The window stores what its start-up reads (the
  // defaults of missing keys) and the port the operator picks, and keeps
  // records without an exit status. A command-line run stores nothing but
  // the upload report, records its exit status, and also records a port
  // that would not open (its one attempt).
  enum class Start { Window, CommandLine };

  // folder holds setup.ini and Log.txt; messages: what the session (and,
  // until setRecordMessages, the record) has to tell the operator. The
  // link's own lines go where the program points link().setMessageSink().
  RomliftSession(Start start, const QString& folder, MessageSink messages, const Timing& timing = {});
  ~RomliftSession();
  RomliftSession(const RomliftSession&) = delete;
  RomliftSession& operator=(const RomliftSession&) = delete;

  Start start() const { return start_; }
  // The program's sink for the operator's messages.
  const MessageSink& messages() const { return messages_; }
  const QString& iniPath() const { return iniPath_; }
  SerialLink& link() { return *link_; }
  UploadDialogue& dialogue() { return *dialogue_; }
  const UploadDialogue& dialogue() const { return *dialogue_; }

  // The port, 1..16; any other number selects COM1. A window start stores
  // the number as given ("ComPort"), which the file keeps.
  std::uint8_t comPort() const { return comPort_; }
  void selectPort(std::uint8_t port);
  LineSpeed speed() const { return speed_; }
  void selectSpeed(LineSpeed speed) { speed_ = speed; }
  // A device path instead of the port's (--device) for openPort(); empty:
  // the port's.
  void setDevice(const QString& path) { device_ = path; }
  // The device the run's port stands for.
  QString device() const;
  // "AmpCom"/"Debug" asks for the serial window.
  bool serialWindowWanted() const { return serialWindow_; }

  // File > Load, --upload: checks the file; false when it cannot be read
  // (the check then holds the attempt).
  bool load(const QString& path) { return check_.Load(path); }
  const SrecordCheck& fileCheck() const { return check_; }

  // The record settings of this run; without them each upload reads
  // setup.ini's, as the window always did.
  void setProduction(const ProductionConfig& production) { production_ = production; }
  void setRecordMessages(MessageSink messages) { recordMessages_ = std::move(messages); }
  // Sessions of one process on several ports at once keep their records and
  // reports one at a time under this lock: after a stop a file lock held by
  // a sibling is given up at once, which would send a record to the spool.
  void setEndLock(QMutex* lock) { endLock_ = lock; }

  // The port button with the run's port and speed (see
  // UploadDialogue::Commport_Click).
  std::optional<UploadEnd> openPort();
  // "Upload" with the loaded file: the record of an upload that sent lines
  // is kept before its end is shown. A click while an upload runs is
  // ignored (NotStarted) and touches no record.
  UploadResult upload();

  // A stop request (Ctrl+C, SIGTERM): the running wait or upload stops as
  // the port button or "Cancel Upload" would. stopStatus: 128 + the signal.
  void requestStop(int stopStatus);
  // The one table from how the run ended to its exit status; a port that
  // failed (would not open, vanished, stalled) decides first.
  int exitStatus(UploadEnd end) const;

 private:
  ProductionConfig recordConfig() const;
  UploadFile uploadFile() const;
  std::optional<int> recordedStatus(UploadEnd end) const;

  Start start_;
  QString iniPath_;
  std::unique_ptr<SerialLink> link_;
  std::unique_ptr<UploadDialogue> dialogue_;
  SrecordCheck check_;
  std::uint8_t comPort_ = 1;
  LineSpeed speed_;
  QString device_;
  bool serialWindow_ = false;
  std::optional<ProductionConfig> production_;
  MessageSink messages_;
  MessageSink recordMessages_;
  int stopStatus_ = 0;
  QMutex* endLock_ = nullptr;
};

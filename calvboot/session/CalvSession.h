#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <platform/MessageSink.h>
#include <production/Production.h>
#include <programming/ProgramModule.h>
#include <serial/LineSpeed.h>
#include <serial/Timing.h>

class ModuleCommands;
class SerialLink;

// Exit statuses of a command-line run.
namespace CalvExit {
constexpr int kOk = 0;
constexpr int kFault = 1;
constexpr int kTimeout = 2;
constexpr int kPort = 3;
constexpr int kCrcMismatch = 5;
// The production line's database could not be reached: nothing was sent.
constexpr int kDatabase = 6;
constexpr int kUsage = 64;
}  // namespace CalvExit

// calvboot's run session, which the window and the command line each drive:
// the serial link with calvboot's frame rule, the command layer and the
// programming sequence, the line as setup.ini gives it, the run records and
// how a run maps to an exit status. No widgets.
class CalvSession {
 public:
  // programFolder holds setup.ini and Log.txt.
  explicit CalvSession(const QString& programFolder, const Timing& timing = {});
  ~CalvSession();
  CalvSession(const CalvSession&) = delete;
  CalvSession& operator=(const CalvSession&) = delete;

  // The network addresses a frame can carry.
  static constexpr int kLowestAddress = 0;
  static constexpr int kHighestAddress = 65535;
  // The numeric value of an address text fits that range.
  static bool addressFits(const QString& text);
  // A run from the command line never sends a stored address that fits no
  // frame: why, for the operator (without the program's name); empty when
  // it fits.
  QString storedAddressRefusal(const QString& address) const;

  // The About box's text: title, version and date, CR LF between lines.
  static QString aboutText();

  const QString& folder() const { return folder_; }
  const QString& iniPath() const { return iniPath_; }
  SerialLink& link() { return *link_; }
  ModuleCommands& commands() { return *commands_; }
  ProgramModule& program() { return *program_; }

  // The line as setup.ini gives it at start-up. store: missing keys are
  // written back with their defaults, as the window's start-up does; a
  // command-line run stores nothing.
  struct StoredLine {
    std::uint8_t comPort = 0;  // as read: 0 when it is no number or does not fit a byte
    LineSpeed speed;
    QString address;
    bool log = false;  // "AmpCom"/"Debug" is the debug value
  };
  StoredLine storedLine(bool store) const;
  // A device for this run only (a command-line --device), whatever the
  // port number; empty: the port number's.
  void setDevice(const QString& device);
  // The device the selected port opens.
  QString device() const;

  // A command-line run: its records as the command line resolved them, with
  // its exit status in them, and the stop request's status. Without this,
  // each run reads setup.ini's records afresh and keeps no exit status, as
  // "Start" in the window does.
  void setCommandLineRun(ProductionConfig production, std::function<int()> stopStatus);

  // What a run's production messages belong to: before the first byte is
  // sent, the run itself, or its record.
  enum class Phase { Starting, Running, Ended };
  using ProductionMessage = std::function<void(Phase, const QString&)>;

  // One "Start" on path: the line's database reached (nothing is sent when it
  // cannot be), the sequence shown on view, the record kept. The record is on
  // disk when this returns, so the caller shows the run's end after it.
  // Nothing when the database could not be reached.
  std::optional<ProgramResult> run(const QString& path, ProgramView& view, ProductionMessage message);
  // A run whose port could not be opened (nothing was sent): its record,
  // with the link's port message as its status, and its exit status.
  int portNotOpened(const QString& path, ProductionMessage message);

  // The exit status of a run: a port failure first, then a stop request,
  // then how the sequence ended; a differing CRC or a refused serial number
  // fail the module.
  int exitStatus(const ProgramResult& result) const;
  // Why a module that ended with status must not pass, one line each (the
  // serial number refused, the blocks whose CRC differed); none otherwise.
  static QStringList notPassedReasons(const ProgramResult& result, int status);
  // A command-line run: a port failure is said through say and ends the
  // pass after the command in flight, as a lost device does.
  void stopOnPortFailure(MessageSink say);
  int stopStatus() const { return stopStatus_ ? stopStatus_() : 0; }

 private:
  // The command line's records, or setup.ini's as they are now.
  ProductionConfig records() const;

  QString folder_;
  QString iniPath_;
  std::unique_ptr<SerialLink> link_;
  std::unique_ptr<ModuleCommands> commands_;
  std::unique_ptr<ProgramModule> program_;
  class ViewRelay;
  std::unique_ptr<ViewRelay> view_;
  QString deviceOverride_;
  std::optional<ProductionConfig> production_;
  std::function<int()> stopStatus_;
};

#pragma once

#include <QString>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "FirmwareFile.h"
#include "ImageBuffer.h"
#include <platform/MessageSink.h>
#include <protocol/ModuleCommands.h>

// What the programming sequence shows while it runs: the status line, the
// detail texts and the progress bar. The main window and the command line
// implement it; tests fake it. How the run ended is the caller's to show.
class ProgramView {
 public:
  virtual ~ProgramView() = default;
  // The one-line status display.
  virtual void setStatusText(const QString& text) = 0;
  // Every intermediate result, whether or not it reaches the status line.
  virtual void detailText(const QString& text) { (void)text; }
  // 0..100.
  virtual void setProgress(float value) = 0;
  // The data bytes of the file sent so far: 0 as the programming pass
  // begins, then after each record. Only the command line shows them.
  virtual void bytesSent(qint64 done, qint64 total) { (void)done, (void)total; }
  // A block's CRC as the module computed it over its memory and as the PC
  // did over the file (a difference is shown, not fatal).
  virtual void blockChecked(int block, int moduleCrc, int pcCrc) { (void)block, (void)moduleCrc, (void)pcCrc; }
};

// What was programmed: a fixture (test jig) or an amplifier's module.
enum class DeviceKindFound { Unknown, Fixture, Amplifier };

// A fixture's serial number that was claimed and sent but not accepted (a
// fault status or no answer), with what the fixture answered. The number is
// spent all the same: the counter never gives it again.
struct SerialRefusal {
  std::uint32_t number = 0;
  QString answer;
};

// How a run ended: "Done with succes", the fault exit or the time-out exit.
enum class RunOutcome { Done, Fault, Timeout };

// One whole run, as the sequence leaves it.
struct ProgramResult {
  RunOutcome outcome = RunOutcome::Fault;
  DeviceKindFound device = DeviceKindFound::Unknown;
  // Every block whose CRCs were compared, in order, and those whose module
  // CRC differed from the PC's (shown as "   CRC fault", not fatal).
  std::vector<std::uint8_t> checkedBlocks;
  std::vector<std::uint8_t> crcFaultBlocks;
  // The serial number a fixture accepted, or the one it refused.
  std::optional<std::uint32_t> serialWritten;
  std::optional<SerialRefusal> serialRefused;
  // The port failed during the run (it would not open, its device vanished
  // or stopped taking bytes); the first port message, empty for a lost device.
  std::optional<QString> portFailure;
  // How long the serial claim took (the settings lock or the line's
  // database): time off the line.
  std::chrono::steady_clock::duration claimTime{};
  // When the sequence ended (what follows, such as the record, is no part of it).
  std::chrono::steady_clock::time_point endedAt{};
  // The status line's last text.
  QString status;

  // "Done with succes" and nothing that fails the module.
  bool passed() const {
    return outcome == RunOutcome::Done && crcFaultBlocks.empty() && !serialRefused && !portFailure;
  }
};

// The sequence behind "Start": probe, file check, boot mode, erase, the
// programming pass with its block commits, flash CRC or serial-number record,
// exit from boot mode. Runs on the window's thread; the command layer yields
// to the event loop while it waits.
class ProgramModule {
 public:
  static constexpr std::uint8_t kFixture = 1;
  static constexpr std::uint8_t kAmplifier = 2;
  static constexpr std::int32_t kSerialAddress = 0x7FFB;
  static constexpr std::array<std::uint8_t, 7> kEraseBlocks{0, 1, 2, 3, 4, 5, 42};

  ProgramModule(ModuleCommands& commands, ProgramView& view, QString iniPath, const Timing& timing = {});

  std::uint8_t DeviceKind = 0;
  // 1: the module file box is used and detail texts stay off the status line.
  std::uint8_t TestFileMode = 1;

  // Set from outside the sequence (a stop signal of a command-line run, a
  // port failure there); the sequence tests it between transactions and
  // then takes the fault exit. The window never sets it.
  bool StopRequest = false;
  // Where a fixture's serial number comes from when set (a production
  // line's database) instead of the station's counter. Nothing means
  // refused: the run ends as a fault and no number is sent.
  std::function<std::optional<std::uint32_t>()> SerialSource;
  // Why a fixture's serial number was not sent, said beyond the detail text.
  void setMessageSink(MessageSink sink) { messages_ = std::move(sink); }

  // ProgramModule: one whole run on the file. Shows nothing at its end: a
  // failed run's warning box is the caller's, after its record is kept.
  ProgramResult run(const QString& path);

  // The check pass; its texts go to the view.
  FirmwareFile::CheckResult CheckFirmwareFile(const QString& path);
  void ShowDetailText(const QString& text);
  // "Calvsettings"/"Serial" as a whole number; 65535 when it is not numeric
  // or does not fit.
  std::int32_t ReadSerialSetting() const;

  // The number a fixture run sends, taken from "Calvsettings"/"Serial" in one
  // short step under the settings lock (read N, store N + 1), so that no
  // lock is held across a transaction. A counter that is missing or not a
  // number gives 65535 and counts nothing; one that cannot be advanced gives
  // a refusal, and then no number may be sent: the next run would send it
  // again. So does a lock that cannot be had or made: unlocked, two
  // fixtures could read the same number.
  struct SerialClaim {
    std::uint32_t number = 65535;
    QString refusal;
  };
  SerialClaim claimSerialNumber();

  // The warning a failed run ends with (a modal box in the window).
  static const QString kWarningTitle;
  static const QString kWarningText;

  static constexpr float progressFor(double bytesSent, double totalBytes) {
    if (totalBytes <= 0) return 100.0f;
    const double p = bytesSent / totalBytes * 100.0;
    return p >= 100.0 ? 100.0f : static_cast<float>(p);
  }

 private:
  enum class Step { Ok, Fault, Timeout };
  struct Pass;

  Step sequence(const QString& path);
  Step awaitAnnouncement();
  Step erase();
  Step programmingPass(const FirmwareFile::CheckResult& check);
  Step sendRecord(Pass& pass, const LdrRecord& rec);
  Step finishBlock(Pass& pass);
  Step finalSteps();
  // Shows an operation's text and turns its outcome into the next step; a
  // faultState of 0 means only a time-out ends the run.
  Step after(const ModuleCommands::CmdOutcome& outcome, std::uint8_t faultState = 0);
  Step judged(const ModuleCommands::CmdOutcome& outcome, std::uint8_t faultState);
  void status(const QString& text);
  // One memory write: the bytes go into the PC image, then to the module.
  ModuleCommands::CmdOutcome writeMemory(std::uint8_t count, std::int32_t adr, const std::uint8_t* data);
  bool stopHere();

  ModuleCommands& commands_;
  // The PC side of the block being programmed, whose CRCs are compared
  // with the module's.
  ImageBuffer image_;
  ProgramView& view_;
  QString iniPath_;
  std::chrono::milliseconds announceTimeout_;
  MessageSink messages_;
  ProgramResult result_;  // of the run under way
};

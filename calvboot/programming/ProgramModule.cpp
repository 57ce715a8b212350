#include "ProgramModule.h"

#include <serial/SerialLink.h>
#include <serial/EventYield.h>
#include <serial/HexText.h>
#include "ImageBuffer.h"
#include <settings/IniFileHandler.h>
#include <settings/LenientNumber.h>
#include <settings/SettingsLock.h>

#include <QDir>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>

namespace {

constexpr std::uint8_t kAnnounceMarker = 0x40;

QString hex16(std::int32_t value) {
  return HexText::myDecToHexString(static_cast<std::uint8_t>((value >> 8) & 0xFF)) +
         HexText::myDecToHexString(static_cast<std::uint8_t>(value & 0xFF));
}

std::optional<std::int32_t> storedSerial(const QString& text) {
  if (!LenientNumber::isNumeric(text)) return std::nullopt;
  return LenientNumber::toWhole<std::int32_t>(LenientNumber::numericValue(text));
}

const QString kSection = QStringLiteral("Calvsettings");
const QString kSerialKey = QStringLiteral("Serial");

}  // namespace

struct ProgramModule::Pass {
  double totalBytes = 0;
  double bytesSent = 0;
  std::uint8_t currentBlock = 255;
  std::uint8_t currentHigh = 255;
  std::uint8_t nextBlock = 0;
  std::uint8_t nextHigh = 0;
  bool blockPending = false;
  bool dataSeen = false;
  std::array<std::uint8_t, 33> DataBuf{};
};

ProgramModule::ProgramModule(ModuleCommands& commands, ProgramView& view, QString iniPath, const Timing& timing)
    : commands_(commands), view_(view), iniPath_(std::move(iniPath)), announceTimeout_(timing.announce) {}

void ProgramModule::status(const QString& text) {
  result_.status = text;
  view_.setStatusText(text);
}

ModuleCommands::CmdOutcome ProgramModule::writeMemory(std::uint8_t count, std::int32_t adr, const std::uint8_t* data) {
  // The command layer refuses a write outside the block; so does the image.
  if (data != nullptr && adr >= 0 && count <= FirmwareFile::kMaxRecordBytes && adr + count <= ImageBuffer::kSize)
    std::copy_n(data, count, image_.ImageBuf.begin() + adr);
  return commands_.WriteSFOmem(count, adr, data);
}

void ProgramModule::ShowDetailText(const QString& text) {
  view_.detailText(text);
  if (TestFileMode != 1) status(text);
}

std::int32_t ProgramModule::ReadSerialSetting() const {
  const QString text = IniFileHandler::ReadIniValue(kSection, kSerialKey, QStringLiteral("?"), iniPath_);
  return storedSerial(text).value_or(65535);
}

FirmwareFile::CheckResult ProgramModule::CheckFirmwareFile(const QString& path) {
  return FirmwareFile::CheckFirmwareFile(
      path, [this](const QString& t) { ShowDetailText(t); }, [this](const QString& t) { status(t); });
}

bool ProgramModule::stopHere() {
  if (!StopRequest) return false;
  status(QStringLiteral("Fault"));
  return true;
}

const QString ProgramModule::kWarningTitle = QStringLiteral("Warning");
const QString ProgramModule::kWarningText = QStringLiteral("Error!\r\n\r\nFault during upload.");

ProgramResult ProgramModule::run(const QString& path) {
  result_ = {};
  commands_.link().clearPortFailure();
  const Step outcome = sequence(path);
  result_.outcome = outcome == Step::Ok ? RunOutcome::Done : outcome == Step::Timeout ? RunOutcome::Timeout : RunOutcome::Fault;
  result_.device = DeviceKind == kFixture     ? DeviceKindFound::Fixture
                   : DeviceKind == kAmplifier ? DeviceKindFound::Amplifier
                                              : DeviceKindFound::Unknown;
  if (outcome == Step::Timeout) {
    ShowDetailText(QStringLiteral("Timeout"));
    status(QStringLiteral("COM timeout"));
  }
  if (outcome != Step::Ok) view_.setProgress(0);
  result_.portFailure = commands_.link().portFailure();
  result_.endedAt = commands_.link().clock().now();
  return std::move(result_);
}

ProgramModule::Step ProgramModule::after(const ModuleCommands::CmdOutcome& outcome, std::uint8_t faultState) {
  ShowDetailText(outcome.text);
  return judged(outcome, faultState);
}

ProgramModule::Step ProgramModule::judged(const ModuleCommands::CmdOutcome& outcome, std::uint8_t faultState) {
  if (outcome.state == ModuleCommands::kStateTimeout) return Step::Timeout;
  if (faultState != 0 && outcome.state == faultState) {
    status(QStringLiteral("Fault"));
    return Step::Fault;
  }
  return Step::Ok;
}

ProgramModule::Step ProgramModule::sequence(const QString& path) {
  status(QStringLiteral("Init"));

  DeviceKind = commands_.ProbeDevice();
  // No usable answer: go on as for an amplifier.
  if (DeviceKind == 0) DeviceKind = kAmplifier;
  const QString found = DeviceKind == kFixture ? QStringLiteral("Fixtur found")
                                               : QStringLiteral("KVA5100+ with Calvaro found");
  ShowDetailText(found);
  status(found);

  const FirmwareFile::CheckResult check = CheckFirmwareFile(path);
  if (!check.passed || stopHere()) return Step::Fault;

  if (after(commands_.EnterBootMode()) == Step::Timeout) return Step::Timeout;
  if (stopHere()) return Step::Fault;

  if (DeviceKind == kAmplifier) {
    if (const Step s = awaitAnnouncement(); s != Step::Ok) return s;
    if (const Step s = erase(); s != Step::Ok) return s;
  }

  if (const Step s = programmingPass(check); s != Step::Ok) return s;
  return finalSteps();
}

ProgramModule::Step ProgramModule::awaitAnnouncement() {
  // EnterBootMode has left in ReplyBuffer only what came after its reply: the
  // announcement's beginning, if any. The announcement is a frame of the
  // module's own, judged by its length byte like a reply.
  const QByteArray& reply = commands_.link().ReplyBuffer;
  int expected = 255;
  waitFor(
      [&](bool timedOut) -> std::optional<bool> {
        if (!reply.isEmpty() && expected == 255) expected = static_cast<std::uint8_t>(reply.at(0));
        if (timedOut || reply.size() == expected) return true;
        return std::nullopt;
      },
      announceTimeout_, kYieldBlock, commands_.link().clock());

  const bool accepted = reply.size() >= 5 && static_cast<std::uint8_t>(reply.at(2)) == kAnnounceMarker &&
                        static_cast<std::uint8_t>(reply.at(3)) == 0;
  if (!accepted) {
    status(QStringLiteral("Fault"));
    return Step::Fault;
  }
  return Step::Ok;
}

ProgramModule::Step ProgramModule::erase() {
  for (std::uint8_t block : kEraseBlocks) {
    if (stopHere()) return Step::Fault;
    if (const Step s = after(commands_.EraseFlashBlockNo(block), ModuleCommands::kStateEraseFault); s != Step::Ok)
      return s;
  }
  return Step::Ok;
}

ProgramModule::Step ProgramModule::programmingPass(const FirmwareFile::CheckResult& check) {
  Pass pass;
  pass.totalBytes = check.totalBytes;
  view_.setProgress(0);
  view_.bytesSent(0, static_cast<qint64>(check.totalBytes));
  image_.ClearImageBuffer();
  status(QStringLiteral("Programming Calvaro module"));

  for (const LdrRecord& rec : check.records) {
    if (rec.type == LdrRecord::kExtendedLinearAddress) {
      // A second extended-address record before any data is ignored.
      if (!pass.blockPending) {
        pass.nextHigh = rec.dataByte(0);
        pass.nextBlock = rec.dataByte(1);
        if (pass.currentBlock == 255 && pass.currentHigh == 255) {
          pass.currentBlock = pass.nextBlock;
          pass.currentHigh = pass.nextHigh;
        }
        pass.blockPending = true;
      }
      continue;
    }
    if (!rec.carriesData()) continue;

    if (pass.blockPending) {
      if (pass.dataSeen) {
        if (const Step s = finishBlock(pass); s != Step::Ok) return s;
      }
      if (rec.type == LdrRecord::kEndOfFile) return Step::Ok;
      pass.blockPending = false;
    }
    if (rec.count > 0) {
      if (const Step s = sendRecord(pass, rec); s != Step::Ok) return s;
    }
    pass.dataSeen = true;
    if (rec.type == LdrRecord::kEndOfFile) return finishBlock(pass);
  }
  // No end-of-file record: the last block still gets finished, so that
  // success means every block sent was committed.
  if (pass.dataSeen) return finishBlock(pass);
  return Step::Ok;
}

ProgramModule::Step ProgramModule::sendRecord(Pass& pass, const LdrRecord& rec) {
  if (stopHere()) return Step::Fault;
  if (!rec.fitsBlock()) {
    status(QStringLiteral("Fault"));
    return Step::Fault;
  }
  const int n = rec.count;
  pass.bytesSent += n;
  pass.DataBuf.fill(0);
  for (int i = 0; i < n; ++i) pass.DataBuf[i] = rec.dataByte(i);
  const std::int32_t adr = rec.address();
  if (const Step s = after(writeMemory(static_cast<std::uint8_t>(n), adr, pass.DataBuf.data()),
                           ModuleCommands::kStateWriteFault);
      s != Step::Ok)
    return s;
  view_.setProgress(progressFor(pass.bytesSent, pass.totalBytes));
  view_.bytesSent(static_cast<qint64>(pass.bytesSent), static_cast<qint64>(pass.totalBytes));
  return Step::Ok;
}

ProgramModule::Step ProgramModule::finishBlock(Pass& pass) {
  if (DeviceKind == kAmplifier) {
    if (stopHere()) return Step::Fault;
    ShowDetailText(QString());
    const ModuleCommands::CmdOutcome crc = commands_.GetCRCfromRAM();
    ShowDetailText(crc.text);
    ShowDetailText(QStringLiteral("Calvaro: ") + commands_.ReceivedCrcText);
    if (const Step s = judged(crc, ModuleCommands::kStateCrcFault); s != Step::Ok) return s;
    const std::int32_t pcCrc = image_.CalcImageCrc();
    ShowDetailText(QStringLiteral("   PC: 0x") + hex16(pcCrc));
    // A mismatch is shown, not fatal: the block is committed all the same.
    ShowDetailText(pcCrc == commands_.ReceivedCrc ? QStringLiteral("   CRC ok") : QStringLiteral("   CRC fault"));
    view_.blockChecked(pass.currentBlock, commands_.ReceivedCrc, pcCrc);
    if (pcCrc != commands_.ReceivedCrc) result_.crcFaultBlocks.push_back(pass.currentBlock);
    result_.checkedBlocks.push_back(pass.currentBlock);
    ShowDetailText(QStringLiteral("   Calculated: 0x") + hex16(image_.CalcFlashCrc()));
    if (stopHere()) return Step::Fault;
    if (const Step s = after(commands_.WriteFlashBlockNo(pass.currentBlock), ModuleCommands::kStateProgramFault);
        s != Step::Ok)
      return s;
    ShowDetailText(QString());
  }
  pass.currentBlock = pass.nextBlock;
  pass.currentHigh = pass.nextHigh;
  image_.ClearImageBuffer();
  return Step::Ok;
}

ProgramModule::Step ProgramModule::finalSteps() {
  if (stopHere()) return Step::Fault;
  if (DeviceKind == kFixture) {
    // A line's database, where one is configured, instead of the station's
    // counter; either way the number is claimed before it is sent.
    SerialClaim claim;
    WaitClock& clock = commands_.link().clock();
    const auto claimStart = clock.now();
    if (SerialSource) {
      const std::optional<std::uint32_t> claimed = SerialSource();
      result_.claimTime = clock.now() - claimStart;
      if (!claimed) {
        status(QStringLiteral("Fault"));
        return Step::Fault;
      }
      claim.number = *claimed;
    } else {
      claim = claimSerialNumber();
      result_.claimTime = clock.now() - claimStart;
    }
    if (!claim.refusal.isEmpty()) {
      ShowDetailText(claim.refusal);
      if (messages_) messages_(claim.refusal);
      status(QStringLiteral("Fault"));
      return Step::Fault;
    }
    const std::uint32_t serial = claim.number;
    std::array<std::uint8_t, 33> record{};
    record[0] = 0x0B;
    record[1] = static_cast<std::uint8_t>(serial >> 24);
    record[2] = static_cast<std::uint8_t>(serial >> 16);
    record[3] = static_cast<std::uint8_t>(serial >> 8);
    record[4] = static_cast<std::uint8_t>(serial);
    // The run goes on to leave boot mode whatever the answer; the counter has
    // advanced all the same, so a refused number is spent, never sent again.
    const ModuleCommands::CmdOutcome written = writeMemory(5, kSerialAddress, record.data());
    ShowDetailText(written.text);
    if (written.state == ModuleCommands::kStateWriteFault || written.state == ModuleCommands::kStateTimeout)
      result_.serialRefused = SerialRefusal{serial, written.text};
    else
      result_.serialWritten = serial;
    ShowDetailText(QString());
  } else {
    if (after(commands_.WriteFlashCRC(static_cast<std::uint16_t>(image_.CalcFlashCrc()))) == Step::Timeout)
      return Step::Timeout;
  }
  if (stopHere()) return Step::Fault;
  if (after(commands_.ExitBootMode()) == Step::Timeout) return Step::Timeout;
  status(QStringLiteral("Done with succes"));
  return Step::Ok;
}

ProgramModule::SerialClaim ProgramModule::claimSerialNumber() {
  const SettingsLock lock(iniPath_);
  const auto refused = [this](const QString& why) {
    return SerialClaim{0, QStringLiteral("Serial number not sent: %1: %2").arg(QDir::toNativeSeparators(iniPath_), why)};
  };
  if (lock.refused()) return refused(QStringLiteral("not written, ") + lock.refusal());
  // No lock file, no lock: another fixture could read the same number.
  if (!lock.locked()) return refused(QStringLiteral("not written, ") + lock.unlockedWhy());
  const auto serial = storedSerial(
      IniFileHandler::ReadIniValue(kSection, kSerialKey, QStringLiteral("?"), iniPath_));
  if (!serial) return {};
  if (*serial == std::numeric_limits<std::int32_t>::max())
    return refused(QStringLiteral("Serial=%1 is the last number").arg(*serial));
  if (!IniFileHandler::WriteIniValue(kSection, kSerialKey, QString::number(*serial + 1), iniPath_))
    return refused(QStringLiteral("not writable, so Serial=%1 cannot be advanced").arg(*serial));
  return {static_cast<std::uint32_t>(*serial), {}};
}

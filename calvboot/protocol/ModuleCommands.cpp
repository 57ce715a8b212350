#include "ModuleCommands.h"

#include <serial/SerialLink.h>
#include <serial/EventYield.h>
#include <serial/HexText.h>
#include <settings/LenientNumber.h>

#include "RSfunctions.h"

#include <algorithm>

namespace {

// SFO codes of the carrier command.
constexpr std::uint8_t kSfoStatus = 0x10;
constexpr std::uint8_t kSfoWriteMemory = 0x41;
constexpr std::uint8_t kSfoEraseBlock = 0x42;
constexpr std::uint8_t kSfoProgramBlock = 0x43;
constexpr std::uint8_t kSfoReadCrc = 0x44;
constexpr std::uint8_t kSfoStoreFlashCrc = 0x45;

// Parameter byte of the boot-mode command.
constexpr std::uint8_t kEnterBootMode = 1;
constexpr std::uint8_t kExitBootMode = 2;

// The status byte that means success, and the one a module without valid
// firmware answers the probe with (still a usable answer).
constexpr std::uint8_t kStatusOk = 0x00;
constexpr std::uint8_t kStatusFlashRead = 0x13;

constexpr std::uint8_t kNoLengthYet = 255;

// SFOsendNew always copies this many SFO bytes into the frame.
constexpr int kSfoCopied = 38;
constexpr int kFrameSfoStart = 5;

constexpr int kMaxWriteBytes = 32;
constexpr int kMemoryTop = 65535;

// Smallest replies the operations accept.
constexpr int kMinStatusReply = 5;
constexpr int kMinCrcReply = 7;
constexpr int kMinProbeReply = 7;
// WriteFlashCRC's text needs reply bytes 5 to 8.
constexpr int kFlashCrcReplyWithValues = 8;

QString hex(std::uint8_t b) { return HexText::myDecToHexString(b); }

}  // namespace

ModuleCommands::ModuleCommands(SerialLink& com, const Timing& timing) : com_(com), replyTimeout_(timing.reply) {}

std::int32_t ModuleCommands::networkAddress() const {
  const auto value = LenientNumber::toWhole<std::int32_t>(LenientNumber::numericValue(DevAdr));
  if (!value || *value < 0 || *value > 0xFFFF) return -1;
  return *value;
}

bool ModuleCommands::SendCommandFrame(std::uint8_t cmd) {
  if (cmd >= RSfunctions::kCommandCount) return false;
  const int L = cmd == RSfunctions::kCmdCarrier ? FrameBuf[kFrameSfoStart] + 5
                                                 : RSfunctions::CommandTable[cmd].Length;
  // Index L holds the check byte, so a longer frame would not fit FrameBuf.
  if (L < 4 || L >= kFrameBufSize) return false;
  // An address that does not fit 16 bits is never sent truncated.
  const std::int32_t address = networkAddress();
  if (address < 0) return false;

  com_.ReplyBuffer.clear();
  com_.ClearMScommInput();
  com_.CloseMScomm();
  com_.SetupMScomm(ComPort, ComSpeed);

  FrameBuf[1] = std::uint8_t(L);
  FrameBuf[2] = std::uint8_t(address % 256);
  FrameBuf[3] = std::uint8_t((address - FrameBuf[2]) / 256);
  FrameBuf[4] = RSfunctions::CommandTable[cmd].Code;
  unsigned sum = 0;
  for (int i = 1; i < L; ++i) sum += FrameBuf[i];
  FrameBuf[L] = std::uint8_t(sum % 256);

  QByteArray frame(L, '\0');
  for (int i = 0; i < L; ++i) frame[i] = char(FrameBuf[i + 1]);
  com_.SendMScommString(frame);
  return true;
}

bool ModuleCommands::SFOsendNew() {
  const int n = SfoBuf[0];
  // The check byte goes to index n-1 and only 38 bytes reach the frame.
  if (n < 1 || n > kSfoCopied) return false;
  unsigned sum = 0;
  for (int i = 0; i <= n - 2; ++i) sum += SfoBuf[i];
  SfoBuf[n - 1] = std::uint8_t(sum % 256);
  std::copy_n(SfoBuf.begin(), kSfoCopied, FrameBuf.begin() + kFrameSfoStart);
  return SendCommandFrame(RSfunctions::kCmdCarrier);
}

bool ModuleCommands::WaitForReply() { return awaitReply(ReplyEnd::Exact); }

bool ModuleCommands::awaitReply(ReplyEnd end) {
  return waitFor(
      [this, end](bool timedOut) -> std::optional<bool> {
        const QByteArray& reply = com_.ReplyBuffer;
        if (!reply.isEmpty() && ReplyLength == kNoLengthYet) ReplyLength = std::uint8_t(reply.at(0));
        if (timedOut) return false;
        // An empty buffer (emptied by the serial link's overflow rule) is never a reply.
        if (!reply.isEmpty() && reply.size() == ReplyLength) return true;
        // A reply announcing no bytes at all is no reply, whatever follows it.
        if (end == ReplyEnd::Followed && ReplyLength > 0 && reply.size() > ReplyLength) return true;
        // A device that vanished brings nothing more: a time-out now rather
        // than after the full wait. A reopen that failed (its message shown)
        // waits the time-out out, as it always did.
        if (com_.deviceWasLost()) return false;
        return std::nullopt;
      },
      replyTimeout_, kYieldBlock, com_.clock());
}

QString ModuleCommands::GetErrorText(std::uint8_t Errorcode) {
  switch (Errorcode) {
    case 0x00: return QStringLiteral("Ok");
    case 0x01: return QStringLiteral("Checksum error");
    case 0x02: return QStringLiteral("Unknown command");
    case 0x03: return QStringLiteral("Incorrect number of parameters");
    case 0x04: return QStringLiteral("Illegal parameter value");
    case 0x10: return QStringLiteral("Module booting");
    case 0x11: return QStringLiteral("Module state error");
    case 0x12: return QStringLiteral("No coefficients");
    case 0x13: return QStringLiteral("Flash read error");
    case 0x14: return QStringLiteral("Flash write error");
    case 0x15: return QStringLiteral("Flash erase error");
    case 0x16: return QStringLiteral("Flash busy error");
    case 0x20: return QStringLiteral("Calibration error");
    case 0x21: return QStringLiteral("Measure timeout");
    case 0x40: return QStringLiteral("Service mode error");
    case 0x80: return QStringLiteral("Await");
    case 0xFF: return QStringLiteral("No module");
    default: return QStringLiteral("Fault");
  }
}

std::uint8_t ModuleCommands::replyByte(int number) const {
  const QByteArray& reply = com_.ReplyBuffer;
  return number >= 1 && number <= reply.size() ? std::uint8_t(reply.at(number - 1)) : 0;
}

bool ModuleCommands::sfoTransaction(std::initializer_list<std::uint8_t> message) {
  com_.ReplyBuffer.clear();
  ReplyLength = kNoLengthYet;
  std::copy(message.begin(), message.end(), SfoBuf.begin());
  SFOsendNew();
  return WaitForReply();
}

bool ModuleCommands::bootModeTransaction(std::uint8_t action) {
  com_.ReplyBuffer.clear();
  ReplyLength = kNoLengthYet;
  FrameBuf[kFrameSfoStart] = action;
  SendCommandFrame(RSfunctions::kCmdBootMode);
  // Entering boot mode, an amplifier's module announces itself right after
  // the reply, often within the same read.
  return awaitReply(action == kEnterBootMode ? ReplyEnd::Followed : ReplyEnd::Exact);
}

std::optional<QString> ModuleCommands::judgeReply(int minLength, std::uint8_t faultState,
                                                  const QString& shortText) {
  if (com_.ReplyBuffer.size() < minLength) {
    CmdState = faultState;
    return shortText;
  }
  if (const std::uint8_t status = replyByte(4); status != kStatusOk) {
    CmdState = faultState;
    return GetErrorText(status);
  }
  return std::nullopt;
}

std::uint8_t ModuleCommands::ProbeDevice() {
  if (!sfoTransaction({4, kSfoMarker, kSfoStatus})) {
    CmdState = kStateTimeout;
    return 0;
  }
  const std::uint8_t status = replyByte(4);
  if (com_.ReplyBuffer.size() < kMinProbeReply || (status != kStatusOk && status != kStatusFlashRead)) {
    CmdState = kStateProbeUnusable;
    return 0;
  }
  const bool fixture = replyByte(5) == 0xFF && replyByte(6) == 0xFF && replyByte(7) == 0xFF;
  return fixture ? 1 : 2;
}

ModuleCommands::CmdOutcome ModuleCommands::EnterBootMode() {
  CmdState = kStateStarted;
  if (!bootModeTransaction(kEnterBootMode)) {
    CmdState = kStateTimeout;
    return ended(QStringLiteral("Enter bootmode fault"));
  }
  // The module's boot announcement follows: whatever came after the reply is
  // its beginning, left in the buffer for the caller's wait.
  com_.ReplyBuffer.remove(0, ReplyLength);
  return ended(QStringLiteral("Bootmode"));
}

ModuleCommands::CmdOutcome ModuleCommands::ExitBootMode() {
  CmdState = kStateStarted;
  if (!bootModeTransaction(kExitBootMode)) {
    CmdState = kStateTimeout;
    return ended(QStringLiteral("Exit bootmode fault"));
  }
  return ended(QStringLiteral("Exit bootmode"));
}

ModuleCommands::CmdOutcome ModuleCommands::WriteSFOmem(std::uint8_t NofBytes, std::int32_t adr, const std::uint8_t* DataBuf) {
  CmdState = kStateStarted;
  const int N = NofBytes;
  // Never write outside the 64 KiB block or read past the 32 data bytes a record can hold.
  if (N < 1 || N > kMaxWriteBytes || adr < 0 || adr > kMemoryTop - (N - 1) || DataBuf == nullptr) {
    CmdState = kStateWriteFault;
    return ended(QStringLiteral("Write memory fault"));
  }
  std::array<std::uint8_t, kMaxWriteBytes + 1> block;
  block.fill(0xFF);
  std::copy_n(DataBuf, N, block.begin());
  const auto low = std::uint8_t(adr % 256);
  const auto high = std::uint8_t((adr / 256) % 256);

  com_.ReplyBuffer.clear();
  ReplyLength = kNoLengthYet;
  SfoBuf[0] = std::uint8_t(N + 6);
  SfoBuf[1] = kSfoMarker;
  SfoBuf[2] = kSfoWriteMemory;
  SfoBuf[3] = low;
  SfoBuf[4] = high;
  std::copy_n(block.begin(), kMaxWriteBytes, SfoBuf.begin() + 5);
  SFOsendNew();
  if (!WaitForReply()) {
    CmdState = kStateTimeout;
    return ended(QStringLiteral("Write SFO memory COM timeout"));
  }
  if (auto fault = judgeReply(kMinStatusReply, kStateWriteFault, QStringLiteral("Write memory fault"))) return ended(*fault);
  return ended(QStringLiteral("Write Calvaro memory adr.: 0x") + hex(high) + hex(low) + QStringLiteral(" (") +
         QString::number(N) + QStringLiteral(" bytes)"));
}

ModuleCommands::CmdOutcome ModuleCommands::EraseFlashBlockNo(std::uint8_t BlockNo) {
  CmdState = kStateStarted;
  const QString n = QString::number(BlockNo);
  if (!sfoTransaction({5, kSfoMarker, kSfoEraseBlock, BlockNo})) {
    CmdState = kStateTimeout;
    return ended(QStringLiteral("Erase flash block COM timeout at block ") + n);
  }
  if (auto fault = judgeReply(kMinStatusReply, kStateEraseFault, QStringLiteral("Flash erase fault at block ") + n)) return ended(*fault);
  return ended(QStringLiteral("Flash erase block ") + n);
}

ModuleCommands::CmdOutcome ModuleCommands::WriteFlashBlockNo(std::uint8_t BlockNo) {
  CmdState = kStateStarted;
  const QString n = QString::number(BlockNo);
  if (!sfoTransaction({5, kSfoMarker, kSfoProgramBlock, BlockNo})) {
    CmdState = kStateTimeout;
    return ended(QStringLiteral("Write flash block COM timeout at block ") + n);
  }
  if (auto fault = judgeReply(kMinStatusReply, kStateProgramFault, QStringLiteral("Program flash fault at block ") + n)) return ended(*fault);
  return ended(QStringLiteral("Program flash block ") + n);
}

ModuleCommands::CmdOutcome ModuleCommands::GetCRCfromRAM() {
  CmdState = kStateStarted;
  ReceivedCrc = 0;
  ReceivedCrcText = QStringLiteral("??");
  if (!sfoTransaction({4, kSfoMarker, kSfoReadCrc})) {
    CmdState = kStateTimeout;
    return ended(QStringLiteral("Get CRC COM timeout"));
  }
  if (auto fault = judgeReply(kMinCrcReply, kStateCrcFault, QStringLiteral("CRC fault"))) return ended(*fault);
  ReceivedCrc = replyByte(5) * 256 + replyByte(6);
  ReceivedCrcText = QStringLiteral("0x") + hex(replyByte(5)) + hex(replyByte(6));
  return ended(QStringLiteral("CRC received"));
}

ModuleCommands::CmdOutcome ModuleCommands::WriteFlashCRC(std::uint16_t calculatedCrc) {
  CmdState = kStateStarted;
  if (!sfoTransaction({4, kSfoMarker, kSfoStoreFlashCrc})) {
    CmdState = kStateTimeout;
    return ended(QStringLiteral("Timeout"));
  }
  const QString shortText = QStringLiteral("Flash CRC write fault");
  if (auto fault = judgeReply(kMinStatusReply, kStateEraseFault, shortText)) return ended(*fault);
  // A success reply without all four value bytes cannot show them.
  if (com_.ReplyBuffer.size() < kFlashCrcReplyWithValues) {
    CmdState = kStateEraseFault;
    return ended(shortText);
  }
  return ended(QStringLiteral("Flash CRC written - Value in block 42=0x") + hex(replyByte(6)) + hex(replyByte(5)) +
         QStringLiteral("   Value (program)=0x") + hex(replyByte(8)) + hex(replyByte(7)) +
         QStringLiteral("  Calculated=0x") + hex(std::uint8_t(calculatedCrc >> 8)) + hex(std::uint8_t(calculatedCrc)));
}

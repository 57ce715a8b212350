#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>

#include <serial/Timing.h>

class SerialLink;

// calvboot's command layer: frames a command for the module, sends it
// through the SerialLink (close and reopen the port, then send), waits for the reply
// that the receive handler collects in ReplyBuffer, and judges it. The main
// window owns one instance; one transaction runs at a time.
class ModuleCommands {
 public:
  static constexpr std::uint8_t kSfoMarker = 0x23;
  static constexpr int kFrameBufSize = 51;  // indices 0..50, index 1 is the first byte sent

  explicit ModuleCommands(SerialLink& com, const Timing& timing = {});

  // Link values the window keeps (menus and start-up change them).
  QString DevAdr = QStringLiteral("1");
  std::uint8_t ComPort = 1;
  std::uint8_t ComSpeed = 0;

  // Transaction state.
  std::array<std::uint8_t, kFrameBufSize> FrameBuf{};
  std::array<std::uint8_t, kFrameBufSize> SfoBuf{};
  std::uint8_t ReplyLength = 255;
  std::uint8_t CmdState = 0;

  // CmdState values: the outcome of the last command operation.
  static constexpr std::uint8_t kStateStarted = 3;  // kept on success
  static constexpr std::uint8_t kStateTimeout = 4;
  static constexpr std::uint8_t kStateWriteFault = 7;
  static constexpr std::uint8_t kStateEraseFault = 8;  // also a flash CRC store fault
  static constexpr std::uint8_t kStateProgramFault = 9;
  static constexpr std::uint8_t kStateCrcFault = 10;
  static constexpr std::uint8_t kStateProbeUnusable = 11;
  // What one operation came to: the CmdState it left and its result text.
  struct CmdOutcome {
    std::uint8_t state = kStateStarted;
    QString text;
  };

  std::int32_t ReceivedCrc = 0;
  QString ReceivedCrcText = QStringLiteral("??");

  // Frames and transactions.
  bool SendCommandFrame(std::uint8_t cmd);  // returns `sent`
  bool SFOsendNew();
  bool WaitForReply();  // true: complete; false: timed out
  static QString GetErrorText(std::uint8_t Errorcode);

  // Operations; each returns its outcome and leaves CmdState as well.
  std::uint8_t ProbeDevice();  // 0 none usable, 1 fixture, 2 amplifier
  CmdOutcome EnterBootMode();
  CmdOutcome ExitBootMode();
  CmdOutcome WriteSFOmem(std::uint8_t NofBytes, std::int32_t adr, const std::uint8_t* DataBuf);
  CmdOutcome EraseFlashBlockNo(std::uint8_t BlockNo);
  CmdOutcome WriteFlashBlockNo(std::uint8_t BlockNo);
  CmdOutcome GetCRCfromRAM();
  // calculatedCrc: the PC's flash CRC, shown beside the module's values.
  CmdOutcome WriteFlashCRC(std::uint16_t calculatedCrc);

  // The numeric value of DevAdr when it fits 16 bits, else -1 (no frame is sent).
  std::int32_t networkAddress() const;

  SerialLink& link() { return com_; }

 private:
  // Exact: the reply is complete when the buffer holds just the length it
  // announces. Followed: also when more follows it (bytes of the next frame
  // from the module, which stay in the buffer).
  enum class ReplyEnd { Exact, Followed };
  bool awaitReply(ReplyEnd end);
  // Byte `number` (counted from 1) of the reply, 0 past its end.
  std::uint8_t replyByte(int number) const;
  // Steps 2 to 4 of a transaction; true when a complete reply arrived.
  bool sfoTransaction(std::initializer_list<std::uint8_t> message);
  bool bootModeTransaction(std::uint8_t action);
  // The short-reply or status fault (setting CmdState), or nothing on success.
  CmdOutcome ended(QString text) const { return {CmdState, std::move(text)}; }
  std::optional<QString> judgeReply(int minLength, std::uint8_t faultState, const QString& shortText);

  SerialLink& com_;
  std::chrono::milliseconds replyTimeout_;
};

#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <optional>
#include <string>
#include <vector>

// The operations the simulated module tells apart, for fault injection.
enum class SimOp { Status, Boot, Exit, Erase, Write, Crc, Program, FlashCrc };

// Names as given on the command line ("erase", "flashcrc", ...).
std::optional<SimOp> simOpFromName(const std::string& name);
const char* simOpName(SimOp op);

struct FailRule {
  std::uint8_t code = 0;
  int occurrence = 0;  // 0: every time; k: only the k-th such operation
};

struct SimOptions {
  bool fixture = false;
  std::uint8_t statusCode = 0x00;
  std::optional<int> address;  // answer only frames to this address
  int silentFrom = 0;          // 0: never silent
  bool announce = true;
  std::vector<std::uint8_t> announcement{0x05, 0x01, 0x40, 0x00, 0x46};
  int announceDelayMs = 20;
  // The announcement in pieces of its own (0: as the replies go out), so
  // that its start can share a read with the reply and its rest come later.
  int announceChunk = 0;
  int announceGapMs = 0;
  int replyDelayMs = 0;
  std::map<SimOp, FailRule> fail;
  std::map<SimOp, int> shortReply;  // reply length; 0 = one byte below the PC's minimum
  std::map<SimOp, int> extraBytes;
  std::map<SimOp, int> firstByte;  // replaces the reply's length byte
  std::map<SimOp, int> garbage;    // bytes 0xFF sent on their own before the reply
  std::map<SimOp, int> delayAt;    // ms added before OP's reply
  std::set<SimOp> silentAt;
  bool badCrc = false;
  int chunk = 0;   // 0: a reply goes out in one piece
  int gapMs = 0;
  int baud = 0;    // 0: no pacing
  int frameTimeoutMs = 500;
  std::string flashIn, flashOut, ramOut, trace;
  std::string counters;  // bytes each way, declared delays and opens of the line, written at exit
  std::string timeline;  // when each frame began to arrive and each reply was written, written at exit
  // Close the line instead of answering: at received frame vanishFrame, or
  // at the vanishOccurrence-th frame of vanishOp.
  int vanishFrame = 0;
  std::optional<SimOp> vanishOp;
  int vanishOccurrence = 1;
  std::string link;  // a stable name for the terminal
};

struct ParseResult {
  SimOptions options;
  bool help = false;
  std::string error;  // empty when the command line was fine
};

ParseResult parseSimOptions(const std::vector<std::string>& args);
std::string simHelpText();

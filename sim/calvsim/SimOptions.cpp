#include "SimOptions.h"

#include <charconv>
#include <limits>

namespace {

struct OpName {
  SimOp op;
  const char* name;
};

constexpr OpName kOpNames[] = {
    {SimOp::Status, "status"}, {SimOp::Boot, "boot"},       {SimOp::Exit, "exit"},
    {SimOp::Erase, "erase"},   {SimOp::Write, "write"},     {SimOp::Crc, "crc"},
    {SimOp::Program, "program"}, {SimOp::FlashCrc, "flashcrc"},
};

// Decimal, or hexadecimal after 0x; the whole text must be the number.
std::optional<long> parseNumber(const std::string& text, long min, long max) {
  int base = 10;
  std::size_t start = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    start = 2;
  }
  long value = 0;
  const char* first = text.data() + start;
  const char* last = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(first, last, value, base);
  if (ec != std::errc{} || ptr != last || first == last || value < min || value > max) return std::nullopt;
  return value;
}

std::optional<std::vector<std::uint8_t>> parseHexBytes(const std::string& text) {
  std::string digits;
  for (const char c : text)
    if (c != ' ' && c != ':' && c != ',') digits += c;
  if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const auto b = parseNumber("0x" + digits.substr(i, 2), 0, 255);
    if (!b) return std::nullopt;
    bytes.push_back(std::uint8_t(*b));
  }
  return bytes;
}

}  // namespace

std::optional<SimOp> simOpFromName(const std::string& name) {
  for (const auto& entry : kOpNames)
    if (name == entry.name) return entry.op;
  return std::nullopt;
}

const char* simOpName(SimOp op) {
  for (const auto& entry : kOpNames)
    if (entry.op == op) return entry.name;
  return "?";
}

ParseResult parseSimOptions(const std::vector<std::string>& args) {
  ParseResult result;
  SimOptions& o = result.options;
  constexpr long kIntMax = std::numeric_limits<int>::max();

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    auto fail = [&](const std::string& why) {
      result.error = name + ": " + why;
      return result;
    };
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 < args.size()) return args[++i];
      return std::nullopt;
    };
    auto number = [&](long min, long max) -> std::optional<long> {
      const auto text = value();
      return text ? parseNumber(*text, min, max) : std::nullopt;
    };
    // OP=N for the fault options; `needsNumber` false allows a bare OP.
    auto opAndNumber = [&](bool needsNumber, long min, long max)
        -> std::optional<std::pair<SimOp, std::string>> {
      const auto text = value();
      if (!text) return std::nullopt;
      const auto eq = text->find('=');
      const auto op = simOpFromName(text->substr(0, eq));
      if (!op) return std::nullopt;
      const std::string rest = eq == std::string::npos ? std::string{} : text->substr(eq + 1);
      if (rest.empty() ? needsNumber : !parseNumber(rest.substr(0, rest.find('@')), min, max))
        return std::nullopt;
      return std::make_pair(*op, rest);
    };

    if (name == "--help" || name == "-h") {
      result.help = true;
    } else if (name == "--fixture") {
      o.fixture = true;
    } else if (name == "--status-code") {
      const auto v = number(0, 255);
      if (!v) return fail("expects a byte value (decimal or 0x..)");
      o.statusCode = std::uint8_t(*v);
    } else if (name == "--address") {
      const auto v = number(0, 65535);
      if (!v) return fail("expects an address 0..65535");
      o.address = int(*v);
    } else if (name == "--silent-from") {
      const auto v = number(1, kIntMax);
      if (!v) return fail("expects a frame number from 1 on");
      o.silentFrom = int(*v);
    } else if (name == "--no-announce") {
      o.announce = false;
    } else if (name == "--announce") {
      const auto text = value();
      const auto bytes = text ? parseHexBytes(*text) : std::nullopt;
      if (!bytes) return fail("expects hex bytes such as \"05 01 40 00 46\"");
      o.announcement = *bytes;
    } else if (name == "--announce-delay") {
      const auto v = number(0, 60000);
      if (!v) return fail("expects milliseconds");
      o.announceDelayMs = int(*v);
    } else if (name == "--reply-delay") {
      const auto v = number(0, 600000);
      if (!v) return fail("expects milliseconds");
      o.replyDelayMs = int(*v);
    } else if (name == "--fail") {
      const auto rule = opAndNumber(true, 0, 255);
      if (!rule || rule->first == SimOp::Status || rule->first == SimOp::Boot || rule->first == SimOp::Exit)
        return fail("expects OP=CODE[@K], OP one of erase, write, crc, program, flashcrc");
      const std::string& rest = rule->second;
      const auto at = rest.find('@');
      FailRule f;
      f.code = std::uint8_t(*parseNumber(rest.substr(0, at), 0, 255));
      if (at != std::string::npos) {
        const auto k = parseNumber(rest.substr(at + 1), 1, kIntMax);
        if (!k) return fail("expects OP=CODE@K with K from 1 on");
        f.occurrence = int(*k);
      }
      o.fail[rule->first] = f;
    } else if (name == "--short-reply") {
      const auto rule = opAndNumber(false, 1, 255);
      if (!rule || rule->second.find('@') != std::string::npos)
        return fail("expects OP or OP=LEN (LEN from 1 on)");
      o.shortReply[rule->first] = rule->second.empty() ? 0 : int(*parseNumber(rule->second, 1, 255));
    } else if (name == "--extra-bytes") {
      const auto rule = opAndNumber(true, 1, 255);
      if (!rule || rule->second.find('@') != std::string::npos) return fail("expects OP=N (N from 1 on)");
      o.extraBytes[rule->first] = int(*parseNumber(rule->second, 1, 255));
    } else if (name == "--first-byte" || name == "--garbage") {
      const auto rule = opAndNumber(true, 0, 255);
      if (!rule || rule->second.find('@') != std::string::npos) return fail("expects OP=N (N 0..255)");
      (name == "--first-byte" ? o.firstByte : o.garbage)[rule->first] = int(*parseNumber(rule->second, 0, 255));
    } else if (name == "--delay-at") {
      const auto rule = opAndNumber(true, 0, 600000);
      if (!rule || rule->second.find('@') != std::string::npos) return fail("expects OP=MS");
      const auto ms = parseNumber(rule->second, 0, 600000);
      if (!ms) return fail("expects OP=MS");
      o.delayAt[rule->first] = int(*ms);
    } else if (name == "--silent-at") {
      const auto rule = opAndNumber(false, 0, 0);
      if (!rule || !rule->second.empty()) return fail("expects OP");
      o.silentAt.insert(rule->first);
    } else if (name == "--bad-crc") {
      o.badCrc = true;
    } else if (name == "--chunk" || name == "--announce-chunk") {
      const auto v = number(1, 4096);
      if (!v) return fail("expects a chunk size in bytes");
      (name == "--chunk" ? o.chunk : o.announceChunk) = int(*v);
    } else if (name == "--gap" || name == "--announce-gap") {
      const auto v = number(0, 60000);
      if (!v) return fail("expects milliseconds");
      (name == "--gap" ? o.gapMs : o.announceGapMs) = int(*v);
    } else if (name == "--baud") {
      const auto v = number(50, 4000000);
      if (!v) return fail("expects a baud rate");
      o.baud = int(*v);
    } else if (name == "--frame-timeout") {
      const auto v = number(1, 600000);
      if (!v) return fail("expects milliseconds");
      o.frameTimeoutMs = int(*v);
    } else if (name == "--vanish-at") {
      const auto text = value();
      if (!text) return fail("expects a frame number or OP[@K]");
      if (const auto k = parseNumber(*text, 1, kIntMax)) {
        o.vanishFrame = int(*k);
      } else {
        const auto at = text->find('@');
        o.vanishOp = simOpFromName(text->substr(0, at));
        const auto k2 = at == std::string::npos ? std::optional<long>(1) : parseNumber(text->substr(at + 1), 1, kIntMax);
        if (!o.vanishOp || !k2) return fail("expects a frame number or OP[@K]");
        o.vanishOccurrence = int(*k2);
      }
    } else if (name == "--link") {
      const auto text = value();
      if (!text || text->empty()) return fail("expects a path");
      o.link = *text;
    } else if (name == "--flash-in" || name == "--flash-out" || name == "--ram-out" || name == "--trace" ||
               name == "--counters" || name == "--timeline") {
      const auto text = value();
      if (!text || text->empty()) return fail("expects a file name");
      (name == "--flash-in"    ? o.flashIn
       : name == "--flash-out" ? o.flashOut
       : name == "--ram-out"   ? o.ramOut
       : name == "--trace"     ? o.trace
       : name == "--counters"  ? o.counters
                               : o.timeline) = *text;
    } else {
      result.error = "unknown option " + args[i] + " (see --help)";
      return result;
    }
  }
  return result;
}

std::string simHelpText() {
  return R"(Usage: calvsim [options]

Simulates the far end of calvboot's serial line: an amplifier carrying the
room-correction module (default) or the production test fixture. Opens a
pseudo-terminal, prints its slave path as the first line of standard output,
and answers command frames until SIGTERM or SIGINT. Then it writes the files
asked for and prints a last line:
  calvsim: boot mode left|active|never entered, blocks erased: 0 1 ..|none,
  blocks programmed: 0 1 ..|none, frames: N

The device:
  Replies are: length, address low, address high, status, data, check byte
  (sum of the bytes before it). A wrong frame check byte or SFO check byte is
  answered with status 0x01, an unknown command or SFO code with 0x02, wrong
  lengths with 0x03, a bad block number or memory range with 0x04, memory
  and flash commands outside boot mode with 0x11.
  Status query: amplifier data 00 12 FF, fixture FF FF FF.
  Enter boot mode clears the 64 KiB memory to 0xFF; an amplifier then sends
  its announcement. Memory writes go to the memory; erase sets a block to
  0xFF; program ANDs the memory into the block (as flash does; on an erased
  block that is a copy) and clears the memory to 0xFF again. The CRC of
  memory is CRC-16/ARC over all 64 KiB, sent high byte first. Storing the
  flash CRC computes CRC-16/ARC over blocks 0..5, programs it low byte first
  into bytes 0 and 1 of block 42, and replies the value held there and the
  computed one, each low byte first. Flash blocks: 0..5 and 42, erased at
  start unless --flash-in gives them.

Options:
  --help                 this text
  --fixture              play the production test fixture (no announcement)
  --status-code B        status byte of the status query reply (default 0x00;
                         0x13 = no valid firmware in flash)
  --address N            answer only frames to network address N (default: any)
  --silent-from K        answer nothing from the K-th received frame on
  --no-announce          no boot announcement after entering boot mode
  --announce HEX         announcement bytes (default "05 01 40 00 46")
  --announce-delay MS    pause between boot-mode reply and announcement (20);
                         0 sends both in one write
  --announce-chunk N     send the announcement in pieces of N bytes ...
  --announce-gap MS      ... with MS milliseconds between them (without these,
                         --chunk and --gap apply to it as to the replies)
  --reply-delay MS       pause before every reply (0)
  --fail OP=CODE[@K]     answer OP with status CODE instead of doing it; with
                         @K only its K-th occurrence. OP: erase, write, crc,
                         program, flashcrc. The reply keeps its usual length.
  --short-reply OP[=LEN] cut OP's reply to LEN bytes (length byte = LEN); by
                         default one byte below what the PC accepts. OP:
                         status, boot, exit, erase, write, crc, program, flashcrc
  --extra-bytes OP=N     append N bytes 0x00 beyond OP's announced length
  --first-byte OP=B      OP's reply announces length B (the reply is unchanged)
  --garbage OP=N         N bytes 0xFF, then after 100 ms OP's reply
  --delay-at OP=MS       pause MS more before OP's reply (a slow step)
  --silent-at OP         answer no frame of OP (the others as usual)
  --bad-crc              the CRC of memory reply differs from the memory's CRC
  --chunk N              send replies in pieces of N bytes ...
  --gap MS               ... with MS milliseconds between them
  --baud B               pace the line: every byte takes 10 bit times at B
                         baud, both received and sent
  --frame-timeout MS     drop a partial frame after MS quiet (default 500)
  --vanish-at K|OP[@K]   close the line instead of answering, as an adapter
                         pulled out: at the K-th received frame, or at the
                         (K-th) frame of OP (status, boot, exit, erase, write,
                         crc, program, flashcrc). Then waits for SIGTERM.
  --link PATH            make PATH a symbolic link to the terminal, removed when
                         the line closes: a new calvsim with the same PATH is
                         the same device plugged in again
  --flash-in FILE        start with this flash image (format of --flash-out)
  --flash-out FILE       at exit, write the flash: blocks 0,1,2,3,4,5,42 in this
                         order, 7 x 65536 bytes, erased bytes 0xFF
  --ram-out FILE         at exit, write the 64 KiB module memory
  --trace FILE           one line per received frame, two upper-case hex digits
                         and one blank per byte
  --counters FILE        at exit, write the bytes that crossed the line each
                         way and the delays added on purpose (replies,
                         announcements, gaps), one "name value" per line:
                         received, sent, delay_us, baud, and opens (how often
                         programs opened the terminal; two opens with no
                         close between them may count as one)
  --timeline FILE        at exit, when each frame came and each answer went, in
                         nanoseconds on the system's monotonic clock: "frame
                         T N" (its first byte read at T, N bytes), "reply DUE
                         WRITTEN M" (the last of M bytes answered, due and
                         written); what lies between is the program's time
Numbers are decimal or 0x.. hexadecimal. Options take their value as the next
argument or after "=" (--chunk=3).
)";
}

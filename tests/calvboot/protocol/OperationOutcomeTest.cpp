#include "ProtocolBench.h"

#include <tuple>
#include <vector>

using namespace std::chrono_literals;

namespace {

const std::uint8_t kData[] = {0xAA, 0xBB};

struct Operation {
  const char* name;
  std::function<QString(ModuleCommands&)> run;
};

const Operation kEnter{"EnterBootMode", [](ModuleCommands& c) { return c.EnterBootMode(); }};
const Operation kExit{"ExitBootMode", [](ModuleCommands& c) { return c.ExitBootMode(); }};
const Operation kErase{"EraseFlashBlockNo(3)", [](ModuleCommands& c) { return c.EraseFlashBlockNo(3); }};
const Operation kProgram{"WriteFlashBlockNo(42)", [](ModuleCommands& c) { return c.WriteFlashBlockNo(42); }};
const Operation kWrite{"WriteSFOmem(2, 0x1234)", [](ModuleCommands& c) { return c.WriteSFOmem(2, 0x1234, kData); }};
const Operation kCrc{"GetCRCfromRAM", [](ModuleCommands& c) { return c.GetCRCfromRAM(); }};
const Operation kFlashCrc{"WriteFlashCRC", [](ModuleCommands& c) { return c.WriteFlashCRC(); }};

struct Outcome {
  Operation op;
  const char* reply;  // hex; nullptr: no answer
  QString text;
  int cmdState;
};

}  // namespace

// Every operation's outcomes in the order they are judged: time-out, short
// reply, status fault, success. The image is erased, so the PC's flash CRC is 0x8155.
TEST_F(PeerBench, OperationOutcomes) {
  const std::vector<Outcome> outcomes = {
      {kEnter, "05 01 00 00 06", "Bootmode", 3},
      {kEnter, "05 01 00 02 08", "Bootmode", 3},  // the status is not examined
      {kEnter, "01", "Bootmode", 3},               // any complete reply
      {kEnter, nullptr, "Enter bootmode fault", 4},
      {kExit, "05 01 00 00 06", "Exit bootmode", 3},
      {kExit, nullptr, "Exit bootmode fault", 4},

      {kErase, "05 01 00 00 06", "Flash erase block 3", 3},
      {kErase, "04 01 00 00", "Flash erase fault at block 3", 8},
      {kErase, "05 01 00 15 1B", "Flash erase error", 8},
      {kErase, nullptr, "Erase flash block COM timeout at block 3", 4},

      {kProgram, "05 01 00 00 06", "Program flash block 42", 3},
      {kProgram, "04 01 00 00", "Program flash fault at block 42", 9},
      {kProgram, "05 01 00 14 1A", "Flash write error", 9},
      {kProgram, nullptr, "Write flash block COM timeout at block 42", 4},

      {kWrite, "05 01 00 00 06", "Write Calvaro memory adr.: 0x1234 (2 bytes)", 3},
      {kWrite, "04 01 00 00", "Write memory fault", 7},
      {kWrite, "05 01 00 01 07", "Checksum error", 7},
      {kWrite, nullptr, "Write SFO memory COM timeout", 4},

      {kCrc, "07 01 00 00 BE EF B5", "CRC received", 3},
      {kCrc, "06 01 00 00 BE EF", "CRC fault", 10},
      {kCrc, "07 01 00 13 00 00 1B", "Flash read error", 10},
      {kCrc, nullptr, "Get CRC COM timeout", 4},

      {kFlashCrc, "09 01 00 00 12 34 56 78 1E",
       "Flash CRC written - Value in block 42=0x3412   Value (program)=0x7856  Calculated=0x8155", 3},
      {kFlashCrc, "08 01 00 00 12 34 56 78",
       "Flash CRC written - Value in block 42=0x3412   Value (program)=0x7856  Calculated=0x8155", 3},
      {kFlashCrc, "07 01 00 00 12 34 56", "Flash CRC write fault", 8},
      {kFlashCrc, "05 01 00 00 06", "Flash CRC write fault", 8},
      {kFlashCrc, "04 01 00 00", "Flash CRC write fault", 8},
      {kFlashCrc, "09 01 00 16 00 00 00 00 20", "Flash busy error", 8},
      {kFlashCrc, nullptr, "Timeout", 4},
  };
  for (const Outcome& o : outcomes) {
    const std::string what = std::string(o.op.name) + " / " + (o.reply ? o.reply : "no answer");
    peer->replyWith(o.reply);
    peer->frames.clear();
    image.ClearImageBuffer();
    cmd->CmdState = 0;
    EXPECT_EQ(o.op.run(*cmd).toStdString(), o.text.toStdString()) << what;
    EXPECT_EQ(cmd->CmdState, o.cmdState) << what;
    EXPECT_EQ(peer->frames.size(), 1) << what;
    // The PC copy takes a memory write before it is sent, whatever the outcome.
    const bool write = o.op.name == kWrite.name;
    EXPECT_EQ(image.ImageBuf[0x1234], write ? 0xAA : 0xFF) << what;
    EXPECT_EQ(image.ImageBuf[0x1235], write ? 0xBB : 0xFF) << what;
    // A failed CRC read starts over from "no value".
    if (o.op.name == kCrc.name) {
      EXPECT_EQ(cmd->ReceivedCrc, o.cmdState == 3 ? 48879 : 0) << what;
      EXPECT_EQ(cmd->ReceivedCrcText, o.cmdState == 3 ? "0xBEEF" : "??") << what;
    }
  }
}

TEST_F(PeerBench, ProbeTellsFixtureFromAmplifier) {
  const std::vector<std::tuple<const char*, int, int>> cases = {
      // reply (nullptr: none), result, CmdState (99: left as it was)
      {"07 01 00 13 FF FF FF", 1, 99},    {"07 01 00 00 FF FF FF", 1, 99}, {"08 01 00 00 FF FF FF 06", 1, 99},
      {"07 01 00 13 01 FF FF", 2, 99},    {"07 01 00 00 00 12 FF", 2, 99}, {"07 01 00 00 FF FF FE", 2, 99},
      {"06 01 00 00 FF FF", 0, 11},       {"07 01 00 02 FF FF FF", 0, 11}, {nullptr, 0, 4},
  };
  for (const auto& [reply, result, cmdState] : cases) {
    peer->replyWith(reply);
    cmd->CmdState = 99;
    EXPECT_EQ(cmd->ProbeDevice(), result) << (reply ? reply : "no answer");
    EXPECT_EQ(cmd->CmdState, cmdState) << (reply ? reply : "no answer");
  }
}

// A count or address range that does not fit the block sends nothing and
// leaves the image alone.
TEST_F(PeerBench, MemoryWriteOutsideTheBlockIsRefused) {
  peer->replyWith("05 01 00 00 06");
  std::uint8_t data[40];
  for (int i = 0; i < 40; ++i) data[i] = std::uint8_t(i);
  const std::vector<std::tuple<int, std::int32_t, bool>> cases = {
      // count, address, sent
      {0, 0, false},      {33, 0, false}, {2, 65535, false},  {32, 65505, false}, {1, -1, false},
      {1, 65536, false},  {1, 0x7FFFFFFF, false}, {32, 65504, true}, {1, 65535, true},
  };
  for (const auto& [count, adr, sent] : cases) {
    image.ClearImageBuffer();
    peer->frames.clear();
    const QString text = cmd->WriteSFOmem(std::uint8_t(count), adr, data);
    waitUntil([] { return false; }, 20ms);
    const std::string what = std::to_string(count) + " bytes at " + std::to_string(adr);
    EXPECT_EQ(peer->frames.size(), sent ? 1 : 0) << what;
    EXPECT_EQ(text, sent ? "Write Calvaro memory adr.: 0x" + QString::number(adr, 16).toUpper().rightJustified(4, '0') +
                               " (" + QString::number(count) + " bytes)"
                         : "Write memory fault") << what;
    EXPECT_EQ(cmd->CmdState, sent ? 3 : 7) << what;
    // Refused: still erased throughout.
    EXPECT_EQ(image.CalcImageCrc() == 0xB001, !sent) << what;
  }
}

TEST(StatusTexts, EveryCodeHasItsText) {
  const std::vector<std::pair<int, const char*>> texts = {
      {0x00, "Ok"},                 {0x01, "Checksum error"},     {0x02, "Unknown command"},
      {0x03, "Incorrect number of parameters"},                    {0x04, "Illegal parameter value"},
      {0x05, "Fault"},              {0x0F, "Fault"},              {0x10, "Module booting"},
      {0x11, "Module state error"}, {0x12, "No coefficients"},    {0x13, "Flash read error"},
      {0x14, "Flash write error"},  {0x15, "Flash erase error"},  {0x16, "Flash busy error"},
      {0x17, "Fault"},              {0x20, "Calibration error"},  {0x21, "Measure timeout"},
      {0x40, "Service mode error"}, {0x7F, "Fault"},              {0x80, "Await"},
      {0xFE, "Fault"},              {0xFF, "No module"},
  };
  for (const auto& [code, text] : texts)
    EXPECT_EQ(ModuleCommands::GetErrorText(std::uint8_t(code)).toStdString(), text) << code;
}

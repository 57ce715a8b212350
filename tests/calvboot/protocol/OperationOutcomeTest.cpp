#include "ProtocolBench.h"

#include <tuple>
#include <vector>

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

// A count or address range that does not fit the block sends nothing.
TEST_F(PeerBench, MemoryWriteOutsideTheBlockIsRefused) {
  peer->replyWith("05 01 00 00 06");
  const std::uint8_t data[40] = {};
  const std::vector<std::tuple<int, std::int32_t, const char*>> cases = {
      // count, address, text of a sent write (nullptr: refused)
      {0, 0, nullptr},      {33, 0, nullptr}, {2, 65535, nullptr},  {32, 65505, nullptr}, {1, -1, nullptr},
      {1, 65536, nullptr},  {1, 0x7FFFFFFF, nullptr}, {32, 65504, "Write Calvaro memory adr.: 0xFFE0 (32 bytes)"},
      {1, 65535, "Write Calvaro memory adr.: 0xFFFF (1 bytes)"},
  };
  for (const auto& [count, adr, sentText] : cases) {
    peer->frames.clear();
    const ModuleCommands::CmdOutcome outcome = cmd->WriteSFOmem(std::uint8_t(count), adr, data);
    waitUntil([] { return false; }, 20ms);
    const std::string what = std::to_string(count) + " bytes at " + std::to_string(adr);
    const bool sent = sentText != nullptr;
    EXPECT_EQ(peer->frames.size(), sent ? 1 : 0) << what;
    EXPECT_EQ(outcome.text, sent ? sentText : "Write memory fault") << what;
    EXPECT_EQ(outcome.state, sent ? 3 : 7) << what;
    EXPECT_EQ(cmd->CmdState, outcome.state) << what;
  }
}

// Most of these codes no simulator sends, so only this table holds their texts.
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

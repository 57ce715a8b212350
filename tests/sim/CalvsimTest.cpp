#include "CalvsimProcess.h"

#include <ImageBuffer.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <numeric>
#include <tuple>
#include <vector>

using namespace std::chrono_literals;

namespace {

QByteArray hex(const char* text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }
std::string hexOf(const QByteArray& bytes) { return bytes.toHex(' ').toStdString(); }

// The status byte of a reply; -1 for no reply.
int status(const QByteArray& reply) { return reply.size() >= 4 ? std::uint8_t(reply.at(3)) : -1; }

// Length byte right and the check byte the sum of the bytes before it.
bool wellFormed(const QByteArray& reply) {
  if (reply.isEmpty() || reply.size() != std::uint8_t(reply.at(0))) return false;
  const unsigned sum = std::accumulate(reply.begin(), reply.end() - 1, 0U,
                                       [](unsigned s, char c) { return s + std::uint8_t(c); });
  return std::uint8_t(sum) == std::uint8_t(reply.back());
}

const QByteArray kEnterBoot = hex("06 01 00 F7 01 FF");
const QByteArray kExitBoot = hex("06 01 00 F7 02 00");
const QByteArray kStatusQuery = hex("09 01 00 F8 04 23 10 37 70");

QByteArray erase(int block) { return calvSfoFrame(0x42, QByteArray(1, char(block))); }
QByteArray program(int block) { return calvSfoFrame(0x43, QByteArray(1, char(block))); }
QByteArray readCrc() { return calvSfoFrame(0x44, {}); }
QByteArray storeFlashCrc() { return calvSfoFrame(0x45, {}); }
QByteArray write(int adr, const QByteArray& data) {
  return calvSfoFrame(0x41, QByteArray(1, char(adr & 0xFF)) + char(adr >> 8) + data);
}

// Enters boot mode and swallows the reply and the announcement.
void enterBoot(RawLine& line) {
  ASSERT_EQ(status(line.exchange(kEnterBoot)), 0);
  line.readFor(60ms);
}

QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

// One simulator, one script: each frame with the status its reply must carry
// (-1: none); a reply carries the frame's address.
TEST(CalvsimFrames, ChecksAndRefusalsAnswerWithTheirStatus) {
  CalvsimProcess sim({"--address", "1"});
  RawLine line(sim.slavePath());
  ASSERT_TRUE(line.isOpen());
  const std::vector<std::tuple<const char*, QByteArray, int>> script = {
      {"frame to another address", calvSfoFrame(0x10, {}, 300), -1},
      {"wrong frame check byte", hex("09 01 00 F8 04 23 10 37 71"), 0x01},
      {"wrong SFO check byte", hex("09 01 00 F8 04 23 10 38 71"), 0x01},
      {"unknown SFO code", calvSfoFrame(0x50, {}), 0x02},
      {"unknown frame command", calvFrame(0x30, {}), 0x02},
      {"SFO marker other than #", hex("09 01 00 F8 04 24 10 38 72"), 0x02},
      {"memory write outside boot mode", write(0, hex("AA")), 0x11},
      {"boot-mode parameter 3", calvFrame(0xF7, hex("03")), 0x04},
      {"enter boot mode", kEnterBoot, 0x00},
      {"erase of a block the module lacks", erase(6), 0x04},
      {"memory write of 33 bytes", write(0, QByteArray(33, 'x')), 0x03},
      {"memory write past 65535", write(0xFFFF, hex("01 02")), 0x04},
      {"CRC query with a parameter", calvSfoFrame(0x44, hex("00")), 0x03},
      {"status query in boot mode", kStatusQuery, 0x00},
  };
  for (const auto& [what, frame, expected] : script) {
    const QByteArray reply = line.exchange(frame, 200ms);
    EXPECT_EQ(status(reply), expected) << what;
    if (expected >= 0) {
      EXPECT_TRUE(wellFormed(reply) && reply.mid(1, 2) == frame.mid(1, 2)) << what << ": " << hexOf(reply);
    }
    line.readFor(40ms);  // an announcement after entering boot mode
  }
}

TEST(CalvsimBootMode, AmplifierAnnouncesItselfSeparatelyAfterTheReply) {
  const std::vector<std::pair<QStringList, QByteArray>> cases = {
      {{}, hex("05 01 40 00 46")},
      {{"--announce", "06 01 40 00 00 47"}, hex("06 01 40 00 00 47")},
      {{"--no-announce"}, {}},
      {{"--fixture"}, {}},
  };
  for (const auto& [options, announcement] : cases) {
    CalvsimProcess sim(options);
    RawLine line(sim.slavePath());
    const std::string what = options.join(' ').toStdString();
    // The reply alone first: the PC empties its buffer after it, before the announcement comes.
    EXPECT_EQ(hexOf(line.exchange(kEnterBoot)), "05 01 00 00 06") << what;
    EXPECT_EQ(hexOf(line.readFor(150ms)), hexOf(announcement)) << what;
    EXPECT_EQ(hexOf(line.exchange(kExitBoot)), "05 01 00 00 06") << what;
    EXPECT_EQ(sim.stop().toStdString(),
              "calvsim: boot mode left, blocks erased: none, blocks programmed: none, frames: 2");
  }
}

// The PC's view of a block (ImageBuffer) and the module's must agree: CRC of
// memory, the flash content after programming, and the stored flash CRC.
// Blocks 2 and 3 start programmed (all 0x00) from --flash-in; 3 is erased.
TEST(CalvsimFlash, ProgrammedBlocksReadBackFromTheFlashImage) {
  QTemporaryDir dir;
  QFile in(dir.filePath("in.bin"));
  const QByteArray image =
      QByteArray(2 * 65536, char(0xFF)) + QByteArray(2 * 65536, '\0') + QByteArray(3 * 65536, char(0xFF));
  ASSERT_TRUE(in.open(QIODevice::WriteOnly) && in.write(image) == image.size());
  in.close();
  const QString flashOut = dir.filePath("flash"), ramOut = dir.filePath("ram"), traceOut = dir.filePath("trace");
  CalvsimProcess sim({"--flash-in", in.fileName(), "--flash-out", flashOut, "--ram-out", ramOut, "--trace", traceOut});
  RawLine line(sim.slavePath());
  enterBoot(line);
  for (const int block : {0, 1, 3, 42}) ASSERT_EQ(status(line.exchange(erase(block))), 0);

  ImageBuffer pc;
  QByteArray record(32, '\0');
  for (int adr = 0x1000; adr < 0x1400; adr += 32) {
    for (int i = 0; i < 32; ++i) record[i] = char((adr + i * 7) & 0xFF);
    ASSERT_EQ(status(line.exchange(write(adr, record))), 0);
    std::copy(record.begin(), record.end(), pc.ImageBuf.begin() + adr);
  }
  ASSERT_EQ(status(line.exchange(write(0xFFFE, hex("5A A5")))), 0);
  pc.ImageBuf[0xFFFE] = 0x5A;
  pc.ImageBuf[0xFFFF] = 0xA5;
  const QByteArray crcReply = line.exchange(readCrc());
  ASSERT_TRUE(wellFormed(crcReply));
  EXPECT_EQ(std::uint8_t(crcReply[4]) * 256 + std::uint8_t(crcReply[5]), pc.CalcImageCrc());
  ASSERT_EQ(status(line.exchange(program(0))), 0);
  // Programming frees the memory, and on a block not erased only clears bits, as flash does.
  for (const int block : {1, 2}) {
    ASSERT_EQ(status(line.exchange(write(0, hex("11 22 33")))), 0);
    ASSERT_EQ(status(line.exchange(program(block))), 0);
  }
  ASSERT_EQ(status(line.exchange(write(0x7FFB, hex("0B 00 00 04 D2")))), 0);
  const QByteArray stored = line.exchange(storeFlashCrc());
  ASSERT_TRUE(wellFormed(stored));
  ASSERT_EQ(stored.size(), 9);
  ASSERT_EQ(status(line.exchange(kExitBoot)), 0);
  EXPECT_EQ(sim.stop().toStdString(),
            "calvsim: boot mode left, blocks erased: 0 1 3 42, blocks programmed: 0 1 2, frames: 47");

  const QByteArray flash = readFile(flashOut);
  ASSERT_EQ(flash.size(), 7 * 65536);
  EXPECT_EQ(flash.left(65536), QByteArray(reinterpret_cast<const char*>(pc.ImageBuf.data()), 65536));
  EXPECT_EQ(flash.mid(65536, 65536), hex("11 22 33") + QByteArray(65536 - 3, char(0xFF)));
  EXPECT_EQ(flash.mid(2 * 65536, 4 * 65536), QByteArray(65536, '\0') + QByteArray(3 * 65536, char(0xFF)));
  // Block 42 holds the flash CRC of blocks 0..5, low byte first; the reply
  // carries the value held there and the computed one, each low byte first.
  const std::uint16_t crc = ImageBuffer::crc16Arc(reinterpret_cast<const std::uint8_t*>(flash.constData()), 6 * 65536);
  const QByteArray lowFirst = QByteArray(1, char(crc & 0xFF)) + char(crc >> 8);
  EXPECT_EQ(hexOf(flash.mid(6 * 65536, 3)), hexOf(lowFirst + char(0xFF)));
  EXPECT_EQ(hexOf(stored.mid(4, 4)), hexOf(lowFirst + lowFirst));

  EXPECT_EQ(hexOf(readFile(ramOut).mid(0x7FFA, 7)), "ff 0b 00 00 04 d2 ff");
  const QList<QByteArray> trace = readFile(traceOut).split('\n');
  ASSERT_EQ(trace.size(), 48);  // 47 lines and the empty rest after the last line end
  EXPECT_EQ(trace[0], "06 01 00 F7 01 FF ");
  EXPECT_EQ(trace[1], "0A 01 00 F8 05 23 42 00 6A D7 ");
}

// Each fault option against the frame it concerns, sent after entering boot
// mode (frame 1) once per expected reply.
TEST(CalvsimFaults, OptionsShapeTheReplies) {
  const std::vector<std::tuple<QStringList, QByteArray, std::vector<const char*>>> cases = {
      // options, frame, the whole replies ("": silence)
      {{"--fail", "erase=0x15"}, erase(0), {"05 01 00 15 1b"}},
      {{"--fail", "write=0x14@2"}, write(0, hex("01")), {"05 01 00 00 06", "05 01 00 14 1a", "05 01 00 00 06"}},
      {{"--fail", "crc=0x13"}, readCrc(), {"07 01 00 13 00 00 1b"}},
      {{"--fail", "program=20"}, program(0), {"05 01 00 14 1a"}},
      {{"--fail", "flashcrc=0x16"}, storeFlashCrc(), {"09 01 00 16 00 00 00 00 20"}},
      {{"--status-code", "0x13"}, kStatusQuery, {"08 01 00 13 00 12 ff 2d"}},
      {{"--fixture", "--status-code=19"}, kStatusQuery, {"08 01 00 13 ff ff ff 19"}},
      {{"--short-reply", "status"}, kStatusQuery, {"06 01 00 00 00 12"}},
      {{"--short-reply", "erase"}, erase(0), {"04 01 00 00"}},
      {{"--short-reply", "crc"}, readCrc(), {"06 01 00 00 b0 01"}},
      {{"--short-reply", "flashcrc=7"}, storeFlashCrc(), {"07 01 00 00 55 81 55"}},
      {{"--extra-bytes", "program=2"}, program(0), {"05 01 00 00 06 00 00"}},
      {{"--bad-crc"}, readCrc(), {"07 01 00 00 4f fe 55"}},
      {{"--silent-from", "3"}, kStatusQuery, {"08 01 00 00 00 12 ff 1a", "", ""}},
  };
  for (const auto& [options, frame, replies] : cases) {
    CalvsimProcess sim(options);
    RawLine line(sim.slavePath());
    enterBoot(line);
    for (const char* reply : replies) {
      line.write(frame);
      EXPECT_EQ(hexOf(line.readFor(150ms)), reply) << options.join(' ').toStdString();
    }
  }
}

TEST(CalvsimTiming, ChunksArriveWithGaps) {
  CalvsimProcess sim({"--chunk", "3", "--gap", "150"});
  RawLine line(sim.slavePath());
  line.write(kStatusQuery);
  EXPECT_EQ(line.readFor(75ms).size(), 3);
  EXPECT_EQ(line.readFor(150ms).size(), 3);
  EXPECT_EQ(line.readFor(150ms).size(), 2);
}

TEST(CalvsimTiming, BaudRatePacesBothWays) {
  // 9 bytes in and 8 bytes out at 1200 baud: 17 x 10 bit times = 142 ms.
  CalvsimProcess sim({"--baud", "1200"});
  RawLine line(sim.slavePath());
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(line.exchange(kStatusQuery, 2000ms).size(), 8);
  EXPECT_GE(clock.elapsed(), 135);
  EXPECT_LT(clock.elapsed(), 1000);
}

TEST(CalvsimFrames, PartialFrameIsDroppedAfterQuiet) {
  CalvsimProcess sim({"--frame-timeout", "100"});
  RawLine line(sim.slavePath());
  line.write(kStatusQuery.left(4));
  EXPECT_TRUE(line.readFor(200ms).isEmpty());
  EXPECT_EQ(line.exchange(kStatusQuery).size(), 8);
}

TEST(CalvsimCommandLine, HelpListsEveryOptionAndBadOptionsAreRefused) {
  QProcess help;
  help.start(CalvsimProcess::program(), {"--help"});
  ASSERT_TRUE(help.waitForFinished(5000));
  const QString text = QString::fromLocal8Bit(help.readAllStandardOutput());
  for (const char* option :
       {"--fixture", "--status-code", "--address", "--silent-from", "--no-announce", "--announce ",
        "--announce-delay", "--reply-delay", "--fail", "--short-reply", "--extra-bytes", "--bad-crc", "--chunk",
        "--gap", "--baud", "--frame-timeout", "--flash-in", "--flash-out", "--ram-out", "--trace", "--vanish-at",
        "--link"})
    EXPECT_TRUE(text.contains(QLatin1String(option))) << option;

  for (const QStringList& bad : {QStringList{"--fail", "status=1"}, QStringList{"--fail", "erase"},
                                 QStringList{"--status-code", "256"}, QStringList{"--chunk", "0"},
                                 QStringList{"--short-reply", "nothing"}, QStringList{"--vanish-at", "erase@0"},
                                 QStringList{"--bogus"}}) {
    QProcess p;
    p.start(CalvsimProcess::program(), bad);
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 2) << bad.join(' ').toStdString();
    EXPECT_TRUE(p.readAllStandardOutput().isEmpty()) << bad.join(' ').toStdString();
  }
}

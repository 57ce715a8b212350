#include "CalvDevice.h"

#include <algorithm>
#include <numeric>

namespace {

constexpr std::uint8_t kModeCommand = 0xF7;
constexpr std::uint8_t kCarrierCommand = 0xF8;
constexpr std::uint8_t kSfoMarker = 0x23;

constexpr std::uint8_t kOk = 0x00;
constexpr std::uint8_t kChecksumError = 0x01;
constexpr std::uint8_t kUnknownCommand = 0x02;
constexpr std::uint8_t kWrongParameterCount = 0x03;
constexpr std::uint8_t kIllegalParameter = 0x04;
constexpr std::uint8_t kModuleStateError = 0x11;

constexpr int kFrameOverhead = 5;  // length, address low, address high, command, check
constexpr int kMaxWriteBytes = 32;
constexpr int kFlashCrcBlock = 42;
constexpr int kCrcCoveredBlocks = 6;  // blocks 0..5

std::uint8_t sum(const std::uint8_t* begin, const std::uint8_t* end) {
  return std::uint8_t(std::accumulate(begin, end, 0U));
}

// CRC-16/ARC, bit by bit: the device's own, so that a table fault in the
// program is not shared by the far end that checks it.
std::uint16_t crc16Arc(const std::uint8_t* data, std::size_t size) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? std::uint16_t((crc >> 1) ^ 0xA001) : std::uint16_t(crc >> 1);
  }
  return crc;
}

// What the PC's operations accept at least (and a short reply stays below).
int minimumReply(SimOp op) { return op == SimOp::Status || op == SimOp::Crc ? 7 : 5; }

}  // namespace

CalvDevice::CalvDevice(SimOptions options)
    : o_(std::move(options)),
      ram_(kBlockSize, 0xFF),
      flash_(std::size_t(kBlockSize) * kFlashBlocks.size(), 0xFF) {}

bool CalvDevice::loadFlash(const Bytes& image) {
  if (image.size() != flash_.size()) return false;
  flash_ = image;
  return true;
}

std::uint8_t* CalvDevice::block(int number) {
  const auto it = std::find(kFlashBlocks.begin(), kFlashBlocks.end(), number);
  if (it == kFlashBlocks.end()) return nullptr;
  return flash_.data() + std::size_t(it - kFlashBlocks.begin()) * kBlockSize;
}

Bytes CalvDevice::reply(const Bytes& frame, std::uint8_t status, const Bytes& data) const {
  Bytes r;
  r.reserve(kFrameOverhead + data.size());
  r.push_back(std::uint8_t(kFrameOverhead + data.size()));
  r.push_back(frame[1]);
  r.push_back(frame[2]);
  r.push_back(status);
  for (const std::uint8_t b : data) r.push_back(b);
  r.push_back(sum(r.data(), r.data() + r.size()));
  return r;
}

Bytes CalvDevice::shaped(SimOp op, Bytes r) const {
  if (const auto it = o_.shortReply.find(op); it != o_.shortReply.end()) {
    const int length = it->second > 0 ? it->second : minimumReply(op) - 1;
    if (length < int(r.size())) {
      r.resize(std::size_t(length));
      r[0] = std::uint8_t(length);
    }
  }
  if (const auto it = o_.extraBytes.find(op); it != o_.extraBytes.end()) r.insert(r.end(), std::size_t(it->second), 0x00);
  if (const auto it = o_.firstByte.find(op); it != o_.firstByte.end() && !r.empty()) r[0] = std::uint8_t(it->second);
  return r;
}

// The operation a frame asks for, judged loosely (before any check).
static std::optional<SimOp> operationOf(const Bytes& frame) {
  if (frame.size() == 6 && frame[3] == kModeCommand && (frame[4] == 1 || frame[4] == 2))
    return frame[4] == 1 ? SimOp::Boot : SimOp::Exit;
  if (frame.size() < 8 || frame[3] != kCarrierCommand) return std::nullopt;
  switch (frame[6]) {
    case 0x10: return SimOp::Status;
    case 0x41: return SimOp::Write;
    case 0x42: return SimOp::Erase;
    case 0x43: return SimOp::Program;
    case 0x44: return SimOp::Crc;
    case 0x45: return SimOp::FlashCrc;
    default: return std::nullopt;
  }
}

bool CalvDevice::vanishes(const Bytes& frame) {
  if (o_.vanishFrame > 0 && frames_ == o_.vanishFrame) return true;
  return o_.vanishOp && operationOf(frame) == o_.vanishOp && ++vanishOpSeen_ == o_.vanishOccurrence;
}

CalvDevice::Response CalvDevice::handleFrame(const Bytes& frame) {
  ++frames_;
  if (vanishes(frame)) return {{}, {}, true};
  if (o_.silentFrom > 0 && frames_ >= o_.silentFrom) return {};
  const auto op = operationOf(frame);
  if (op && o_.silentAt.count(*op)) return {};
  Response r = answer(frame);
  if (const auto it = op ? o_.garbage.find(*op) : o_.garbage.end(); it != o_.garbage.end() && !r.reply.empty())
    r.garbage.assign(std::size_t(it->second), 0xFF);
  if (const auto it = op ? o_.delayAt.find(*op) : o_.delayAt.end(); it != o_.delayAt.end()) r.delayMs = it->second;
  return r;
}

CalvDevice::Response CalvDevice::answer(const Bytes& frame) {
  if (frame.size() < std::size_t(kFrameOverhead) || frame[0] != frame.size()) return {};
  if (sum(frame.data(), frame.data() + frame.size() - 1) != frame.back()) return {reply(frame, kChecksumError), {}};
  if (o_.address && (frame[1] | (frame[2] << 8)) != *o_.address) return {};
  switch (frame[3]) {
    case kModeCommand: return frameCommand(frame);
    case kCarrierCommand: return carrier(frame);
    default: return {reply(frame, kUnknownCommand), {}};
  }
}

CalvDevice::Response CalvDevice::frameCommand(const Bytes& frame) {
  if (frame.size() != 6) return {reply(frame, kWrongParameterCount), {}};
  switch (frame[4]) {
    case 1: {
      bootState_ = BootState::Active;
      std::fill(ram_.begin(), ram_.end(), 0xFF);
      Response r{shaped(SimOp::Boot, reply(frame, kOk)), {}};
      if (!o_.fixture && o_.announce) r.announcement = o_.announcement;
      return r;
    }
    case 2:
      if (bootState_ == BootState::Active) bootState_ = BootState::Left;
      return {shaped(SimOp::Exit, reply(frame, kOk)), {}};
    default: return {reply(frame, kIllegalParameter), {}};
  }
}

CalvDevice::Response CalvDevice::carrier(const Bytes& frame) {
  const std::uint8_t* sfo = frame.data() + 4;
  const int n = int(frame.size()) - kFrameOverhead;
  if (n < 4 || sfo[0] != n) return {reply(frame, kWrongParameterCount), {}};
  if (sum(sfo, sfo + n - 1) != sfo[n - 1]) return {reply(frame, kChecksumError), {}};
  if (sfo[1] != kSfoMarker) return {reply(frame, kUnknownCommand), {}};

  SimOp op;
  int expected = 0;  // SFO length the code takes; 0: variable
  switch (sfo[2]) {
    case 0x10: op = SimOp::Status; expected = 4; break;
    case 0x41: op = SimOp::Write; break;
    case 0x42: op = SimOp::Erase; expected = 5; break;
    case 0x43: op = SimOp::Program; expected = 5; break;
    case 0x44: op = SimOp::Crc; expected = 4; break;
    case 0x45: op = SimOp::FlashCrc; expected = 4; break;
    default: return {reply(frame, kUnknownCommand), {}};
  }
  // Usual reply data length, so an injected status keeps the reply's size.
  const std::size_t dataLength = op == SimOp::Status ? 3 : op == SimOp::Crc ? 2 : op == SimOp::FlashCrc ? 4 : 0;
  auto answer = [&](std::uint8_t status, const Bytes& data = {}) {
    return Response{shaped(op, reply(frame, status, data)), {}};
  };

  if (expected != 0 && n != expected) return answer(kWrongParameterCount, Bytes(dataLength, 0));
  if (op == SimOp::Status) {
    const Bytes data = o_.fixture ? Bytes{0xFF, 0xFF, 0xFF} : Bytes{0x00, 0x12, 0xFF};
    return answer(o_.statusCode, data);
  }

  const int occurrence = ++opCount_[op];
  if (const auto it = o_.fail.find(op); it != o_.fail.end())
    if (it->second.occurrence == 0 || it->second.occurrence == occurrence)
      return answer(it->second.code, Bytes(dataLength, 0));
  if (bootState_ != BootState::Active) return answer(kModuleStateError, Bytes(dataLength, 0));

  switch (op) {
    case SimOp::Write: {
      const int count = n - 6;
      if (count < 1 || count > kMaxWriteBytes) return answer(kWrongParameterCount);
      const int adr = sfo[3] | (sfo[4] << 8);
      if (adr + count > kBlockSize) return answer(kIllegalParameter);
      std::copy_n(sfo + 5, count, ram_.begin() + adr);
      return answer(kOk);
    }
    case SimOp::Erase: {
      std::uint8_t* b = block(sfo[3]);
      if (!b) return answer(kIllegalParameter);
      std::fill_n(b, kBlockSize, 0xFF);
      erased_.push_back(sfo[3]);
      return answer(kOk);
    }
    case SimOp::Program: {
      std::uint8_t* b = block(sfo[3]);
      if (!b) return answer(kIllegalParameter);
      // Programming only clears bits; the memory is free for the next block afterwards.
      for (int i = 0; i < kBlockSize; ++i) b[i] &= ram_[std::size_t(i)];
      std::fill(ram_.begin(), ram_.end(), 0xFF);
      programmed_.push_back(sfo[3]);
      return answer(kOk);
    }
    case SimOp::Crc: {
      std::uint16_t crc = crc16Arc(ram_.data(), ram_.size());
      if (o_.badCrc) crc ^= 0xFFFF;
      return answer(kOk, {std::uint8_t(crc >> 8), std::uint8_t(crc)});
    }
    case SimOp::FlashCrc: {
      const std::uint16_t program =
          crc16Arc(flash_.data(), std::size_t(kCrcCoveredBlocks) * kBlockSize);
      std::uint8_t* b = block(kFlashCrcBlock);
      b[0] &= std::uint8_t(program);
      b[1] &= std::uint8_t(program >> 8);
      return answer(kOk, {b[0], b[1], std::uint8_t(program), std::uint8_t(program >> 8)});
    }
    default: return answer(kUnknownCommand);
  }
}

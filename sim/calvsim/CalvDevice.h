#pragma once

#include "SimOptions.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// The module behind the amplifier (or the test fixture): takes one complete
// command frame at a time and says what to send back. No I/O in here.
class CalvDevice {
 public:
  static constexpr int kBlockSize = 65536;
  static constexpr std::array<int, 7> kFlashBlocks{0, 1, 2, 3, 4, 5, 42};

  explicit CalvDevice(SimOptions options);

  struct Response {
    Bytes reply;         // empty: stay silent
    Bytes announcement;  // sent a little after the reply
    bool vanish = false;  // close the line instead
    Bytes garbage{};      // sent on its own before the reply
    int delayMs = 0;      // added before the reply
  };
  Response handleFrame(const Bytes& frame);

  enum class BootState { NeverEntered, Active, Left };
  BootState bootState() const { return bootState_; }
  int frameCount() const { return frames_; }
  const std::vector<int>& erasedBlocks() const { return erased_; }
  const std::vector<int>& programmedBlocks() const { return programmed_; }
  const Bytes& flash() const { return flash_; }
  const Bytes& memory() const { return ram_; }
  // Replaces the flash with an image in the --flash-out format.
  bool loadFlash(const Bytes& image);

 private:
  Response answer(const Bytes& frame);
  Response frameCommand(const Bytes& frame);
  Response carrier(const Bytes& frame);
  Bytes reply(const Bytes& frame, std::uint8_t status, const Bytes& data = {}) const;
  Bytes shaped(SimOp op, Bytes reply) const;
  // The flash block with this number, or nullptr when the module has none.
  std::uint8_t* block(int number);

  bool vanishes(const Bytes& frame);

  SimOptions o_;
  int vanishOpSeen_ = 0;
  Bytes ram_;
  Bytes flash_;
  BootState bootState_ = BootState::NeverEntered;
  int frames_ = 0;
  std::map<SimOp, int> opCount_;
  std::vector<int> erased_;
  std::vector<int> programmed_;
};

#pragma once

#include <array>
#include <cstdint>

// The PC-side image of the 64 KiB flash block being programmed, with the
// table-driven CRC-16/ARC over it.
class ImageBuffer {
 public:
  static constexpr int kSize = 65536;

  std::array<std::uint8_t, kSize> ImageBuf{};
  std::array<std::int32_t, 256> CrcTable{};

  ImageBuffer();  // fills CrcTable and clears ImageBuf

  void InitCrcTable();
  void ClearImageBuffer();  // 0xFF throughout
  // CRC over ImageBuf[0..65535].
  std::int32_t CalcImageCrc() const;
  // CRC over ImageBuf followed by five erased 64 KiB blocks (327,680 x 0xFF).
  std::int32_t CalcFlashCrc() const;
};

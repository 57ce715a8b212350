#include "ImageBuffer.h"

namespace {

// CRC-16/ARC: polynomial 0x8005 processed bit-reflected.
constexpr std::uint16_t kReflectedPoly = 0xA001;

constexpr std::uint16_t tableEntry(std::uint16_t index) {
  std::uint16_t crc = index;
  for (int bit = 0; bit < 8; ++bit)
    crc = (crc & 1U) ? std::uint16_t((crc >> 1) ^ kReflectedPoly) : std::uint16_t(crc >> 1);
  return crc;
}

// The image of one block is followed by five erased 64 KiB blocks in the flash CRC.
constexpr int kErasedBlocksAfterImage = 5;

}  // namespace

ImageBuffer::ImageBuffer() {
  InitCrcTable();
  ClearImageBuffer();
}

void ImageBuffer::InitCrcTable() {
  for (int i = 0; i < 256; ++i) CrcTable[i] = tableEntry(std::uint16_t(i));
}

void ImageBuffer::ClearImageBuffer() { ImageBuf.fill(0xFF); }

std::int32_t ImageBuffer::CalcImageCrc() const {
  std::uint32_t crc = 0;
  for (const std::uint8_t b : ImageBuf) crc = std::uint32_t(CrcTable[(crc ^ b) & 0xFF]) ^ (crc >> 8);
  return std::int32_t(crc & 0xFFFF);
}

std::int32_t ImageBuffer::CalcFlashCrc() const {
  std::uint32_t crc = std::uint32_t(CalcImageCrc());
  for (int pass = 0; pass < kSize; ++pass)
    for (int i = 0; i < kErasedBlocksAfterImage; ++i) crc = std::uint32_t(CrcTable[(crc ^ 0xFF) & 0xFF]) ^ (crc >> 8);
  return std::int32_t(crc & 0xFFFF);
}

#include <ImageBuffer.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

TEST(ImageCrc, CheckValueOfTheAlgorithm) {
  const char* text = "123456789";
  EXPECT_EQ(ImageBuffer::crc16Arc(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text)), 0xBB3D);
  // Continuing from a CRC is the same as one pass over both parts.
  const std::uint16_t first = ImageBuffer::crc16Arc(reinterpret_cast<const std::uint8_t*>(text), 4);
  EXPECT_EQ(ImageBuffer::crc16Arc(reinterpret_cast<const std::uint8_t*>(text) + 4, 5, first), 0xBB3D);
}

TEST(ImageCrc, TableEntries) {
  ImageBuffer image;
  image.CrcTable.fill(0);
  image.InitCrcTable();
  EXPECT_EQ(image.CrcTable[0], 0x0000);
  EXPECT_EQ(image.CrcTable[1], 0xC0C1);
  EXPECT_EQ(image.CrcTable[2], 0xC181);
  EXPECT_EQ(image.CrcTable[255], 0x4040);
}

TEST(ImageCrc, ImageAndFlashCrcOfKnownImages) {
  struct Case {
    const char* what;
    std::vector<std::pair<int, std::uint8_t>> bytes;  // written over an erased image
    std::int32_t imageCrc;
    std::int32_t flashCrc;
  };
  const std::vector<Case> cases = {
      {"erased throughout", {}, 0xB001, 0x8155},
      {"01 02 03 04 at 0..3", {{0, 0x01}, {1, 0x02}, {2, 0x03}, {3, 0x04}}, 0xAA7C, 0x3075},
  };
  ImageBuffer image;
  for (const Case& c : cases) {
    image.ImageBuf.fill(0x00);
    image.ClearImageBuffer();
    for (const auto& [adr, value] : c.bytes) image.ImageBuf[adr] = value;
    EXPECT_EQ(image.CalcImageCrc(), c.imageCrc) << c.what;
    EXPECT_EQ(image.CalcFlashCrc(), c.flashCrc) << c.what;
  }
}

TEST(ImageCrc, LastByteOfTheBlockCounts) {
  ImageBuffer image;
  const std::int32_t erased = image.CalcImageCrc();
  image.ImageBuf[65535] = 0x00;
  EXPECT_NE(image.CalcImageCrc(), erased);
  EXPECT_EQ(image.CalcImageCrc(), ImageBuffer::crc16Arc(image.ImageBuf.data(), image.ImageBuf.size()));
}

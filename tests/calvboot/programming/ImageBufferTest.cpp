#include <programming/ImageBuffer.h>

#include <gtest/gtest.h>

// A wrong CRC table shows in these values, and in every block's CRC check against calvsim.
TEST(ImageCrc, ImageAndFlashCrcOfKnownImages) {
  ImageBuffer image;
  image.ImageBuf.fill(0x00);
  image.ClearImageBuffer();  // an erased image
  EXPECT_EQ(image.CalcImageCrc(), 0xB001);
  EXPECT_EQ(image.CalcFlashCrc(), 0x8155);
  for (std::uint8_t b : {1, 2, 3, 4}) image.ImageBuf[b - 1] = b;
  EXPECT_EQ(image.CalcImageCrc(), 0xAA7C);
  EXPECT_EQ(image.CalcFlashCrc(), 0x3075);
}

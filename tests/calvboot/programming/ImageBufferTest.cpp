#include <ImageBuffer.h>

#include <gtest/gtest.h>

#include <vector>

// A wrong CRC table shows in these values, and in every block's CRC check against calvsim.
TEST(ImageCrc, ImageAndFlashCrcOfKnownImages) {
  struct Case {
    std::vector<std::uint8_t> start;  // written at address 0 over an erased image
    std::int32_t imageCrc, flashCrc;
  };
  const std::vector<Case> cases = {{{}, 0xB001, 0x8155}, {{0x01, 0x02, 0x03, 0x04}, 0xAA7C, 0x3075}};
  ImageBuffer image;
  for (const Case& c : cases) {
    image.ImageBuf.fill(0x00);
    image.ClearImageBuffer();
    std::copy(c.start.begin(), c.start.end(), image.ImageBuf.begin());
    EXPECT_EQ(image.CalcImageCrc(), c.imageCrc) << c.start.size();
    EXPECT_EQ(image.CalcFlashCrc(), c.flashCrc) << c.start.size();
  }
}

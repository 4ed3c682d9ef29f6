// The padding is checked against zlib's CRC-32, an implementation independent
// of the one the tool uses.
#include "tools/padmodule/PadModule.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

uint32_t ZlibCrc(const std::vector<unsigned char>& v) {
    return static_cast<uint32_t>(crc32(0L, v.data(), static_cast<uInt>(v.size())));
}

TEST(PadModule, ReachesSizeAndCrcKeepingTheImage) {
    std::vector<unsigned char> image(3000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7 + 3);
    // The release module's value, one with the top bit set, and the extremes.
    for (uint32_t want : {1348818072u, 0xCBF43926u, 0u, 0xFFFFFFFFu}) {
        for (size_t size : {size_t{3004}, size_t{3005}, size_t{65536}}) {
            std::vector<unsigned char> out = PadToSizeAndCrc(image, size, want);
            ASSERT_EQ(out.size(), size);
            EXPECT_EQ(ZlibCrc(out), want) << "size " << size;
            EXPECT_TRUE(std::equal(image.begin(), image.end(), out.begin()));
            for (size_t i = image.size(); i + 4 < size; ++i) ASSERT_EQ(out[i], 0) << i;
        }
    }
}

TEST(PadModule, RefusesAnImageWithoutRoomForTheFreeBytes) {
    std::vector<unsigned char> image(100);
    EXPECT_THROW(PadToSizeAndCrc(image, 103, 1), std::invalid_argument);
    EXPECT_EQ(PadToSizeAndCrc(image, 104, 1).size(), 104u);
}

}  // namespace

// PNG's row filters undone in place, against rows filtered here by the PNG
// standard's formulas (section 9), over every filter type, both pixel
// sizes the tool reads and widths around the 4-byte and 16-byte steps. The
// buffer is exactly as large as the rows, so that a sanitizer build sees any
// access past them.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "png_rows.hpp"

namespace vorn::png {
namespace {

int predict(int type, int left, int up, int corner) {
  switch (type) {
    case 1: return left;
    case 2: return up;
    case 3: return (left + up) / 2;
    case 4: {
      const int p = left + up - corner;
      const int pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - corner);
      if (pa <= pb && pa <= pc) return left;
      return pb <= pc ? up : corner;
    }
    default: return 0;
  }
}

// The filtered stream of `pixels`, row y filtered with types[y].
std::vector<std::uint8_t> filtered(const std::vector<std::uint8_t>& pixels, std::size_t height,
                                   std::size_t row_bytes, std::size_t pixel_bytes,
                                   const std::vector<int>& types) {
  std::vector<std::uint8_t> rows;
  auto at = [&](std::size_t y, std::size_t i) -> int {
    return pixels[y * row_bytes + i];
  };
  for (std::size_t y = 0; y < height; ++y) {
    rows.push_back(static_cast<std::uint8_t>(types[y]));
    for (std::size_t i = 0; i < row_bytes; ++i) {
      const int left = i >= pixel_bytes ? at(y, i - pixel_bytes) : 0;
      const int up = y > 0 ? at(y - 1, i) : 0;
      const int corner = y > 0 && i >= pixel_bytes ? at(y - 1, i - pixel_bytes) : 0;
      rows.push_back(static_cast<std::uint8_t>(at(y, i) - predict(types[y], left, up, corner)));
    }
  }
  return rows;
}

struct Case {
  std::size_t pixel_bytes, width;
};

class Unfilter : public ::testing::TestWithParam<Case> {};

TEST_P(Unfilter, RestoresThePixelsOfEveryFilterType) {
  const auto [pixel_bytes, width] = GetParam();
  const std::size_t height = 12, row_bytes = pixel_bytes * width;
  std::mt19937 rng(static_cast<unsigned>(97 * pixel_bytes + width));
  std::vector<std::uint8_t> pixels(height * row_bytes);
  // Smooth values with noise: every Paeth choice (left, up, corner) occurs.
  for (std::size_t k = 0; k < pixels.size(); ++k) {
    pixels[k] = static_cast<std::uint8_t>(k / 7 + rng() % 9);
  }
  std::vector<int> types(height);
  for (std::size_t y = 0; y < height; ++y) types[y] = static_cast<int>(y % 5);  // 0 to 4, twice over
  std::vector<std::uint8_t> rows = filtered(pixels, height, row_bytes, pixel_bytes, types);
  ASSERT_TRUE(unfilter(rows.data(), height, row_bytes, pixel_bytes));
  EXPECT_EQ(std::vector<std::uint8_t>(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(
                                                                      pixels.size())),
            pixels);
}

INSTANTIATE_TEST_SUITE_P(PixelsAndWidths, Unfilter,
                         ::testing::Values(Case{1, 1}, Case{1, 2}, Case{1, 17}, Case{3, 1},
                                           Case{3, 2}, Case{3, 3}, Case{3, 5}, Case{3, 6},
                                           Case{3, 11}, Case{3, 33}),
                         [](const ::testing::TestParamInfo<Case>& p) {
                           return std::string(p.param.pixel_bytes == 3 ? "Rgb" : "Grey") +
                                  std::to_string(p.param.width) + "Wide";
                         });

TEST(UnfilterTypes, RefusesAFilterTypePngDoesNotHave) {
  std::vector<std::uint8_t> rows = {0, 1, 2, 3, 5, 1, 2, 3};
  EXPECT_FALSE(unfilter(rows.data(), 2, 3, 3));
}

}  // namespace
}  // namespace vorn::png

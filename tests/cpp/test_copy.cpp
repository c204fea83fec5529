// copy_pixels over the layouts an array can have, against a byte-by-byte
// walk of the strides. Each source block is exactly as large as the layout
// reaches, so that a sanitizer build sees any access outside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernels.hpp"

namespace vorn {
namespace {

constexpr std::ptrdiff_t kMostNegative = std::numeric_limits<std::ptrdiff_t>::min();

struct LayoutCase {
  const char* name;
  std::size_t height, width;
  std::ptrdiff_t row_stride, column_stride, channel_stride;
  bool contiguous;
};

// Offset of byte (y, x, c) from the layout's data pointer.
std::ptrdiff_t offset_of(const LayoutCase& c, std::size_t y, std::size_t x, std::size_t ch) {
  // A zero index never multiplies a stride, so the most negative stride on an
  // axis of length 1 cannot overflow.
  std::ptrdiff_t at = 0;
  if (y != 0) at += static_cast<std::ptrdiff_t>(y) * c.row_stride;
  if (x != 0) at += static_cast<std::ptrdiff_t>(x) * c.column_stride;
  if (ch != 0) at += static_cast<std::ptrdiff_t>(ch) * c.channel_stride;
  return at;
}

// A block holding every byte the layout reaches and no more, and the layout
// over it.
struct Source {
  std::vector<std::uint8_t> block;
  PixelLayout layout;
};

Source source_for(const LayoutCase& c) {
  Source s;
  s.layout.height = c.height;
  s.layout.width = c.width;
  s.layout.row_stride = c.row_stride;
  s.layout.column_stride = c.column_stride;
  s.layout.channel_stride = c.channel_stride;
  s.layout.contiguous = c.contiguous;
  if (s.layout.bytes() == 0) return s;  // data stays null: must not be read
  std::ptrdiff_t low = 0, high = 0;
  for (std::size_t y = 0; y < c.height; ++y) {
    for (std::size_t x = 0; x < c.width; ++x) {
      for (std::size_t ch = 0; ch < 3; ++ch) {
        const std::ptrdiff_t at = offset_of(c, y, x, ch);
        low = std::min(low, at);
        high = std::max(high, at);
      }
    }
  }
  s.block.resize(static_cast<std::size_t>(high - low + 1));
  std::mt19937 rng(7);
  for (std::uint8_t& b : s.block) b = static_cast<std::uint8_t>(rng());
  s.layout.data = s.block.data() - low;
  return s;
}

std::vector<std::uint8_t> copy_plainly(const LayoutCase& c, const std::uint8_t* data) {
  std::vector<std::uint8_t> out;
  for (std::size_t y = 0; y < c.height; ++y) {
    for (std::size_t x = 0; x < c.width; ++x) {
      for (std::size_t ch = 0; ch < 3; ++ch) out.push_back(data[offset_of(c, y, x, ch)]);
    }
  }
  return out;
}

class CopyPixels : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(CopyPixels, RowMajorWhateverTheLayout) {
  const LayoutCase& c = GetParam();
  const Source s = source_for(c);
  std::vector<std::uint8_t> out(s.layout.bytes());
  kernels::copy_pixels(s.layout, out.data());
  EXPECT_EQ(out, copy_plainly(c, s.layout.data));
}

constexpr std::ptrdiff_t kW = 37;  // a width that is no power of two

INSTANTIATE_TEST_SUITE_P(
    Table, CopyPixels,
    ::testing::Values(
        LayoutCase{"COrder", 5, kW, 3 * kW, 3, 1, true},
        LayoutCase{"COrderNotAligned", 5, kW, 3 * kW, 3, 1, false},
        LayoutCase{"PaddedRows", 5, kW, 3 * kW + 13, 3, 1, false},
        LayoutCase{"RowsReversed", 5, kW, -3 * kW, 3, 1, false},
        LayoutCase{"ColumnsReversed", 5, kW, 3 * kW, -3, 1, false},
        LayoutCase{"ChannelsReversed", 5, kW, 3 * kW, 3, -1, false},
        LayoutCase{"AllReversed", 5, kW, -3 * kW, -3, -1, false},
        LayoutCase{"FortranOrder", 70, kW, 1, 70, 70 * kW, false},
        LayoutCase{"FortranRowsReversed", 70, kW, -1, 70, 70 * kW, false},
        LayoutCase{"PixelMajorColumns", 40, kW, 3, 3 * 40, 1, false},
        LayoutCase{"EveryOtherColumn", 5, kW, 6 * kW, 6, 1, false},
        LayoutCase{"PlanarChannels", 5, kW, kW, 1, 5 * kW, false},
        LayoutCase{"BroadcastRows", 9, kW, 0, 3, 1, false},
        LayoutCase{"BroadcastPixel", 9, kW, 0, 0, 1, false},
        LayoutCase{"BroadcastEverything", 4, 6, 0, 0, 0, false},
        LayoutCase{"MostNegativeRowStride", 1, kW, kMostNegative, 3, 1, false},
        LayoutCase{"MostNegativeColumnStride", 6, 1, 3, kMostNegative, 1, false},
        LayoutCase{"OnePixel", 1, 1, 3, 3, 1, true},
        LayoutCase{"NoRows", 0, kW, 3 * kW, 3, 1, true},
        LayoutCase{"NoColumnsStrided", 4, 0, 0, 0, 0, false}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace vorn

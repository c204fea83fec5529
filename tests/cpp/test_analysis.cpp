// The stretch pass's vector kernel against its scalar loop, on images whose
// widths and heights leave every kind of remainder, with pixels crowding the
// levels where the comparisons flip, and with single-level channels.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "analysis.hpp"

namespace vorn {
namespace {

TEST(StretchPass, VectorEqualsScalar) {
  std::mt19937 rng(11);
  for (int round = 0; round < 400; ++round) {
    const std::size_t width = 1 + rng() % 70, height = 1 + rng() % 6;
    Levels levels;
    for (ChannelLevels& l : levels) {
      l.dark = static_cast<std::uint8_t>(rng() % 200);
      l.light = rng() % 5 == 0 ? l.dark : static_cast<std::uint8_t>(l.dark + 1 + rng() % (255 - l.dark));
    }
    std::vector<std::uint8_t> image(3 * width * height);
    for (std::size_t i = 0; i < image.size(); ++i) {
      const ChannelLevels& l = levels[i % 3];
      // Near a level, or near where the far counts begin, kFarClip beyond it.
      const int level = rng() % 2 ? l.dark : l.light;
      const int far = rng() % 2 ? level - kFarClip : level + kFarClip;
      const int near = (rng() % 3 ? level : far) + static_cast<int>(rng() % 5) - 2;
      const int value = rng() % 3 ? std::min(255, std::max(0, near)) : static_cast<int>(rng() % 256);
      image[i] = static_cast<std::uint8_t>(value);
    }
    const auto tolerance = static_cast<std::uint8_t>(rng() % 80);
    const StretchCounts scalar = count_stretched(levels, image.data(), width, height, tolerance, false);
    const StretchCounts vector = count_stretched(levels, image.data(), width, height, tolerance, true);
    ASSERT_EQ(vector.coloured, scalar.coloured) << width << "x" << height;
    ASSERT_EQ(vector.black, scalar.black) << width << "x" << height;
    ASSERT_EQ(vector.white, scalar.white) << width << "x" << height;
    ASSERT_EQ(vector.far_black, scalar.far_black) << width << "x" << height;
    ASSERT_EQ(vector.far_white, scalar.far_white) << width << "x" << height;
  }
}

}  // namespace
}  // namespace vorn

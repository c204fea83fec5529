#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "fixtures.hpp"
#include "level_fix.hpp"

namespace vorn {
namespace {

using testing::Bins;
using testing::histogram_of;
using testing::run_from;

struct SmoothCase {
  const char* name;
  Bins before;
  std::uint64_t passes;
  Bins after;  // every other bin must be 0
};

class Smoothing : public ::testing::TestWithParam<SmoothCase> {};

TEST_P(Smoothing, MatchesTruncatedKernel) {
  const SmoothCase& c = GetParam();
  ChannelHistogram h = histogram_of(c.before);
  smooth_histogram(h, c.passes);
  EXPECT_EQ(h, histogram_of(c.after));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Smoothing,
    ::testing::Values(
        SmoothCase{"Interior", {{10, 4}}, 1, run_from(9, {1, 2, 1})},
        SmoothCase{"LowEdgeKeepsThreeQuarters", {{0, 4}}, 1, {{0, 3}, {1, 1}}},
        SmoothCase{"HighEdgeKeepsThreeQuarters", {{255, 4}}, 1, {{254, 1}, {255, 3}}},
        SmoothCase{"OnePass", {{100, 1000}}, 1, run_from(99, {250, 500, 250})},
        SmoothCase{"TwoPassesTruncateEachTerm", {{100, 1000}}, 2,
                   run_from(98, {62, 250, 374, 250, 62})},
        SmoothCase{"ThreePasses", {{100, 1000}}, 3,
                   run_from(97, {15, 93, 233, 311, 233, 93, 15})},
        SmoothCase{"SingleCountVanishes", {{37, 1}}, 1, {}},
        SmoothCase{"ZeroPassesLeavesRaw", {{5, 7}, {6, 3}}, 0, {{5, 7}, {6, 3}}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(BuildHistograms, CountsEachChannelOfEveryPixel) {
  const std::vector<std::uint8_t> px = {10, 20, 30, 10, 255, 0, 0, 20, 30};
  const CountedHistograms counted = build_histograms(px.data(), px.size());
  EXPECT_EQ(counted.pixel_count, 3u);
  EXPECT_EQ(counted.channels[0], histogram_of({{10, 2}, {0, 1}}));
  EXPECT_EQ(counted.channels[1], histogram_of({{20, 2}, {255, 1}}));
  EXPECT_EQ(counted.channels[2], histogram_of({{30, 2}, {0, 1}}));
}

struct ThresholdCase {
  double min_prominence;
  std::uint64_t pixels;
  std::uint64_t expected;
};

class Threshold : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(Threshold, MultipliesFirstAndSaturates) {
  const ThresholdCase& c = GetParam();
  EXPECT_EQ(prominence_threshold(c.min_prominence, c.pixels), c.expected)
      << c.min_prominence << " % of " << c.pixels;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Threshold,
    ::testing::Values(ThresholdCase{0.5, 1000, 5},
                      ThresholdCase{0.5, 100, 1},  // 0.5 truncates to 0, raised to 1
                      ThresholdCase{0.0, 1000000, 1}, ThresholdCase{-0.0, 1000, 1},
                      ThresholdCase{0.7, 1000, 7},  // dividing first would give 6
                      ThresholdCase{0.29, 10000, 29},
                      ThresholdCase{1e308, 2, std::numeric_limits<std::uint64_t>::max()},
                      ThresholdCase{1e300, 1, std::numeric_limits<std::uint64_t>::max()},
                      ThresholdCase{1e17, 100, 100000000000000000u}));

}  // namespace
}  // namespace vorn

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fixtures.hpp"
#include "peaks.hpp"

namespace vorn {
namespace {

using testing::Bins;
using testing::histogram_of;
using testing::run_from;

using Peaks = std::vector<std::pair<std::uint64_t, std::uint64_t>>;  // (position, prominence)

Peaks as_pairs(const PeakList& list) {
  Peaks out;
  for (const HistogramPeak& p : list) out.emplace_back(p.position, p.prominence);
  return out;
}

struct DetectCase {
  const char* name;
  ChannelHistogram histogram;
  std::uint64_t window_radius;
  std::uint64_t threshold;
  Peaks expected;
};

class Detect : public ::testing::TestWithParam<DetectCase> {};

TEST_P(Detect, FindsProminentPlateauMaxima) {
  const DetectCase& c = GetParam();
  EXPECT_EQ(as_pairs(detect(c.histogram, c.window_radius, c.threshold)), c.expected);
}

DetectCase make(const char* name, const Bins& bins, Peaks expected, std::uint64_t w = 3,
                std::uint64_t threshold = 1, std::uint64_t fill = 0) {
  return DetectCase{name, histogram_of(bins, fill), w, threshold, std::move(expected)};
}

ChannelHistogram alternating() {
  ChannelHistogram h{};
  for (std::size_t i = 0; i < h.size(); i += 2) h[i] = 1;
  return h;
}

Peaks every_even_bin() {
  Peaks out;
  for (std::uint64_t i = 0; i < 256; i += 2) out.emplace_back(i, 1);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Detect,
    ::testing::Values(
        make("FlatHistogram", {}, {}, 3, 1, 7), make("AllZero", {}, {}),
        make("SingleCount", {{37, 1}}, {{37, 1}}),
        make("SingleCountBelowThreshold", {{37, 1}}, {}, 3, 2),
        make("SingleCountAtLowEdge", {{0, 1}}, {{0, 1}}),
        make("SingleCountAtHighEdge", {{255, 1}}, {{255, 1}}),
        make("EvenPlateauTakesLeftMiddle", run_from(40, {9, 9}), {{40, 9}}),
        make("OddPlateauTakesMiddle", run_from(40, {9, 9, 9}), {{41, 9}}),
        make("HigherBinInsideWindow", {{100, 50}, {103, 60}}, {{103, 60}}),
        make("HigherBinOutsideWindow", {{100, 50}, {104, 60}}, {{104, 60}, {100, 50}}),
        make("EqualMaximaKeepPositionOrder", run_from(10, {20, 5, 20}), {{10, 20}, {12, 20}}),
        make("ScanStopsAtHigherBin", run_from(50, {0, 2, 8, 3, 1, 5, 9, 4, 0}),
             {{56, 9}, {52, 7}}),
        make("ThresholdDropsWeakerPeak", run_from(50, {0, 2, 8, 3, 1, 5, 9, 4, 0}), {{56, 9}},
             3, 8),
        make("PlateauReachingHighEdge", run_from(250, {9, 9, 9, 9, 9, 9}), {}),
        make("ThreeBinPlateauAtLowEdge", run_from(0, {9, 9, 9}), {}),
        make("TwoBinPlateauAtLowEdge", run_from(0, {9, 9}), {{0, 9}}),
        make("LowEdgeMeasuredInward", {{0, 5}}, {{0, 2}}, 3, 1, 3),
        make("WholeHistogramWindow", {{10, 5}, {200, 6}}, {{200, 6}}, 255),
        make("EdgePeakAndInnerPeak", run_from(0, {10, 4, 6, 1}), {{0, 10}, {2, 2}}, 1),
        make("EdgePeakAndInnerPeakMirrored", run_from(252, {1, 6, 4, 10}),
             {{255, 10}, {253, 2}}, 1),
        DetectCase{"MostCandidatesPossible", alternating(), 1, 1, every_even_bin()}),
    [](const auto& test) { return std::string(test.param.name); });

struct SelectCase {
  const char* name;
  Peaks peaks;  // in detect's order
  std::uint64_t min_distance;
  std::vector<std::uint8_t> expected;
};

class Select : public ::testing::TestWithParam<SelectCase> {};

TEST_P(Select, AcceptsStrongestSpacedPeaksAscending) {
  const SelectCase& c = GetParam();
  PeakList peaks;
  for (const auto& [position, prominence] : c.peaks) peaks.push_back({position, prominence});
  const PositionList accepted = select_peaks(peaks, c.min_distance);
  EXPECT_EQ(std::vector<std::uint8_t>(accepted.begin(), accepted.end()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Select,
    ::testing::Values(
        SelectCase{"FirstOfTooCloseWins", {{100, 5}, {105, 5}}, 10, {100}},
        SelectCase{"StrongerOnTheRightWins", {{105, 9}, {100, 5}}, 10, {105}},
        SelectCase{"DroppedPeakBlocksNothing", {{100, 9}, {108, 7}, {116, 5}}, 10, {100, 116}},
        SelectCase{"DistanceEqualToMinimumIsEnough", {{100, 9}, {110, 7}}, 10, {100, 110}},
        SelectCase{"DistanceJustBelowMinimum", {{100, 9}, {109, 7}}, 10, {100}},
        SelectCase{"ReturnedAscending", {{200, 9}, {50, 3}}, 10, {50, 200}},
        SelectCase{"EqualProminenceTie", {{10, 20}, {12, 20}}, 10, {10}},
        SelectCase{"FullRange", {{255, 3}, {0, 2}, {128, 1}}, 255, {0, 255}},
        SelectCase{"Empty", {}, 10, {}}),
    [](const auto& test) { return std::string(test.param.name); });

struct RegionCase {
  const char* name;
  std::vector<std::uint8_t> positions;
  std::vector<std::pair<std::size_t, std::size_t>> bounds;  // inclusive
};

class Regions : public ::testing::TestWithParam<RegionCase> {};

// With bin k holding k + 1 counts, the mass of bins lo..hi is a closed form.
TEST_P(Regions, SumBinsBetweenMidpointsInclusive) {
  const RegionCase& c = GetParam();
  ChannelHistogram h;
  for (std::size_t k = 0; k < h.size(); ++k) h[k] = k + 1;
  PositionList positions;
  for (const std::uint8_t p : c.positions) positions.push_back(p);

  const RegionList regions = region_masses(h, positions);
  ASSERT_EQ(regions.size(), c.bounds.size());
  for (std::size_t m = 0; m < regions.size(); ++m) {
    const auto [lo, hi] = c.bounds[m];
    EXPECT_EQ(regions[m].position, c.positions[m]);
    EXPECT_EQ(regions[m].mass, (hi + 1) * (hi + 2) / 2 - lo * (lo + 1) / 2) << "region " << m;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Regions,
    ::testing::Values(
        RegionCase{"SharedMidpoint", {40, 200}, {{0, 120}, {120, 255}}},
        RegionCase{"AdjacentAtLowEdge", {0, 1}, {{0, 0}, {0, 255}}},
        RegionCase{"AdjacentAtHighEdge", {254, 255}, {{0, 254}, {254, 255}}},
        RegionCase{"MidpointWithoutByteWrap", {200, 250}, {{0, 225}, {225, 255}}},
        RegionCase{"SingleCoversAll", {77}, {{0, 255}}},
        RegionCase{"Three", {10, 100, 200}, {{0, 55}, {55, 150}, {150, 255}}},
        RegionCase{"None", {}, {}}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace vorn

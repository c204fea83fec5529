#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "level_fix.hpp"

namespace vorn {
namespace {

using Regions = std::vector<PeakRegion>;

constexpr std::uint64_t kBig = (std::uint64_t{1} << 53) + 1;

struct NeutralCase {
  const char* name;
  Regions red, green, blue;
  double percentage;
  bool neutral;
};

RegionList list_of(const Regions& regions) {
  RegionList list;
  for (const PeakRegion& r : regions) list.push_back(r);
  return list;
}

class Neutral : public ::testing::TestWithParam<NeutralCase> {};

TEST_P(Neutral, ComparesDarkThenLightMasses) {
  const NeutralCase& c = GetParam();
  const std::optional<Levels> levels =
      is_neutral(list_of(c.red), list_of(c.green), list_of(c.blue), c.percentage);
  ASSERT_EQ(levels.has_value(), c.neutral);
  if (!levels) return;
  const Regions* channels[3] = {&c.red, &c.green, &c.blue};
  for (std::size_t ch = 0; ch < 3; ++ch) {
    EXPECT_EQ((*levels)[ch].dark, channels[ch]->front().position) << "channel " << ch;
    EXPECT_EQ((*levels)[ch].light, channels[ch]->back().position) << "channel " << ch;
  }
}

// Single regions: the dark and light triples are the same masses.
NeutralCase dark(const char* name, std::uint64_t r, std::uint64_t g, std::uint64_t b,
                 double percentage, bool neutral) {
  return NeutralCase{name, {{30, r}}, {{40, g}}, {{50, b}}, percentage, neutral};
}

NeutralCase two(const char* name, std::uint64_t light_b, bool neutral) {
  return NeutralCase{name,     {{20, 1000}, {200, 500}}, {{25, 1000}, {210, 500}},
                     {{30, 1000}, {220, light_b}}, 0.22, neutral};
}

INSTANTIATE_TEST_SUITE_P(
    Table, Neutral,
    ::testing::Values(
        dark("WithinTolerance", 1000, 1100, 1200, 0.22, true),
        dark("BlueTooFar", 1000, 1000, 1400, 0.22, false),
        dark("DeviationEqualToPercentageFails", 2, 4, 6, 0.5, false),
        dark("DeviationJustBelowPercentage", 2, 4, 6, 0.5000001, true),
        dark("EqualMassesZeroPercentage", 700, 700, 700, 0.0, false),
        dark("EqualMassesNegativeZero", 700, 700, 700, -0.0, false),
        dark("EqualMassesTinyPercentage", 700, 700, 700, 1e-300, true),
        dark("ZeroMassesPassAnyway", 0, 0, 0, 0.0, true),
        dark("HugePercentageAcceptsAnyMasses", 0, 0, 3, 1e300, true),
        // Converting each mass before adding would give a mean of exactly 2^53.
        dark("SumConvertedOnce", kBig, kBig, kBig, 1e-16, false),
        two("BothTriplesPass", 500, true), two("LightTripleFails", 700, false),
        NeutralCase{"DarkTripleFailsFirst", {{20, 10}, {200, 500}}, {{20, 1000}, {200, 500}},
                    {{20, 1000}, {200, 500}}, 0.22, false},
        NeutralCase{"SingleRegionIsAlsoLight", {{30, 500}}, {{30, 500}, {200, 500}},
                    {{30, 500}, {200, 500}}, 0.22, true},
        NeutralCase{"SingleRegionComparedAsLight", {{30, 500}}, {{30, 500}, {200, 100}},
                    {{30, 500}, {200, 100}}, 0.22, false},
        NeutralCase{"ThreeRegions", {{10, 1}, {100, 1}, {200, 1}}, {{10, 1}}, {{10, 1}}, 1e300,
                    false},
        NeutralCase{"NoRegions", {{10, 1}}, {}, {{10, 1}}, 1e300, false}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace vorn

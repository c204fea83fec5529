#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fixtures.hpp"
#include "level_fix.hpp"

namespace vorn {
namespace {

using testing::image_of;
using testing::Rgb;

struct RemapCase {
  Levels levels;
  Rgb pixel;
  std::uint8_t grey;
};

Levels uniform(std::uint8_t dark, std::uint8_t light) {
  return Levels{{{dark, light}, {dark, light}, {dark, light}}};
}

class Remap : public ::testing::TestWithParam<RemapCase> {};

TEST_P(Remap, WritesLumaOfStretchedChannels) {
  const RemapCase& c = GetParam();
  std::vector<std::uint8_t> px = {c.pixel.r, c.pixel.g, c.pixel.b};
  remap_to_grey(c.levels, px.data(), px.size());
  EXPECT_EQ(px, std::vector<std::uint8_t>(3, c.grey))
      << "pixel (" << int{c.pixel.r} << ", " << int{c.pixel.g} << ", " << int{c.pixel.b} << ")";
}

INSTANTIATE_TEST_SUITE_P(
    FullRange, Remap,
    ::testing::Values(RemapCase{uniform(0, 255), {255, 0, 0}, 76},
                      RemapCase{uniform(0, 255), {0, 255, 0}, 150},
                      RemapCase{uniform(0, 255), {0, 0, 255}, 29},
                      RemapCase{uniform(0, 255), {255, 255, 255}, 255},
                      RemapCase{uniform(0, 255), {128, 128, 128}, 128},
                      RemapCase{uniform(0, 255), {64, 64, 64}, 64},
                      RemapCase{uniform(0, 255), {1, 123, 0}, 72},      // exact green weight
                      RemapCase{uniform(0, 255), {23, 219, 255}, 165},  // (R + G) + B
                      RemapCase{uniform(0, 255), {0, 0, 250}, 29}));    // 28.5 rounds up

INSTANTIATE_TEST_SUITE_P(
    StudioLevels, Remap,
    ::testing::Values(RemapCase{uniform(16, 235), {0, 0, 0}, 0},
                      RemapCase{uniform(16, 235), {16, 16, 16}, 0},
                      RemapCase{uniform(16, 235), {17, 17, 17}, 1},
                      RemapCase{uniform(16, 235), {128, 128, 128}, 130},
                      RemapCase{uniform(16, 235), {235, 235, 235}, 255},
                      RemapCase{uniform(16, 235), {255, 255, 255}, 255},
                      RemapCase{uniform(5, 255), {80, 80, 80}, 77}));  // 76.5 rounds up

INSTANTIATE_TEST_SUITE_P(
    PerChannel, Remap,
    ::testing::Values(RemapCase{Levels{{{20, 230}, {10, 240}, {30, 220}}}, {120, 130, 140}, 131},
                      RemapCase{Levels{{{20, 230}, {10, 240}, {30, 220}}}, {25, 9, 31}, 2}));

// One region per channel: the minimum span turns every channel into a step.
INSTANTIATE_TEST_SUITE_P(
    OneRegionStep, Remap,
    ::testing::Values(RemapCase{uniform(100, 100), {100, 100, 100}, 0},
                      RemapCase{uniform(100, 100), {101, 100, 100}, 76},
                      RemapCase{uniform(100, 100), {100, 101, 100}, 150},
                      RemapCase{uniform(100, 100), {100, 100, 101}, 29},
                      RemapCase{uniform(100, 100), {101, 101, 101}, 255},
                      RemapCase{uniform(100, 100), {0, 255, 0}, 150}));

struct ChainCase {
  const char* name;
  std::vector<std::uint8_t> input;
  std::vector<std::uint8_t> expected;
  LevelFixParams params = {};
};

class WholeChain : public ::testing::TestWithParam<ChainCase> {};

TEST_P(WholeChain, DefaultArguments) {
  const ChainCase& c = GetParam();
  std::vector<std::uint8_t> px = c.input;
  run_level_fix(px.data(), px.size(), c.params);
  EXPECT_EQ(px, c.expected);
}

std::vector<std::uint8_t> ramp() {
  std::vector<std::uint8_t> px;
  for (unsigned v = 0; v < 256; ++v) px.insert(px.end(), 3, static_cast<std::uint8_t>(v));
  return px;
}

ChainCase unchanged(const char* name, std::vector<std::uint8_t> input) {
  return ChainCase{name, input, input};
}

LevelFixParams no_blur() {
  LevelFixParams p;
  p.blur_n = 0;
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Table, WholeChain,
    ::testing::Values(
        ChainCase{"TwoGreyLevels", image_of({{50, {40, 40, 40}}, {50, {200, 200, 200}}}),
                  image_of({{50, {0, 0, 0}}, {50, {255, 255, 255}}})},
        ChainCase{"LoneMidtoneVanishesInSmoothing",
                  image_of({{50, {40, 40, 40}}, {50, {200, 200, 200}}, {1, {120, 120, 120}}}),
                  image_of({{50, {0, 0, 0}}, {50, {255, 255, 255}}, {1, {127, 127, 127}}})},
        ChainCase{"GreenLightLevelDiffers",
                  image_of({{50, {40, 40, 40}}, {50, {200, 150, 200}}}),
                  image_of({{50, {0, 0, 0}}, {50, {255, 255, 255}}})},
        ChainCase{"LevelsPerChannel", image_of({{60, {30, 40, 50}}, {40, {210, 220, 230}}}),
                  image_of({{60, {0, 0, 0}}, {40, {255, 255, 255}}})},
        ChainCase{"OneLevel", image_of({{100, {128, 128, 128}}}),
                  image_of({{100, {0, 0, 0}}})},
        unchanged("ThreePeaks",
                  image_of({{40, {20, 20, 20}}, {30, {120, 120, 120}}, {30, {220, 220, 220}}})),
        unchanged("RampHasNoPeaks", ramp()),
        unchanged("SinglePixelSmoothedAway", image_of({{1, {10, 20, 30}}})),
        ChainCase{"SinglePixelUnsmoothed", image_of({{1, {10, 20, 30}}}),
                  image_of({{1, {0, 0, 0}}}), no_blur()},
        unchanged("NoWholePixel", {7, 9})),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace vorn

// The fast per-pixel kernels against straightforward loops that follow the
// description of each step literally.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "level_fix.hpp"

namespace vorn {
namespace {

// ---- oracles -----------------------------------------------------------------

ChannelHistograms count_plainly(const std::uint8_t* pixels, std::size_t pixel_count) {
  ChannelHistograms h{};
  for (std::size_t k = 0; k < pixel_count; ++k) {
    for (std::size_t c = 0; c < 3; ++c) ++h[c][pixels[3 * k + c]];
  }
  return h;
}

float bits_to_float(std::uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

std::uint8_t grey_plainly(const Levels& levels, const std::uint8_t* pixel) {
  const float weights[3] = {bits_to_float(0x3E991687u), bits_to_float(0x3F1645A1u),
                            bits_to_float(0x3DE978D5u)};
  float t[3];
  for (std::size_t c = 0; c < 3; ++c) {
    const float black = static_cast<float>(levels[c].dark) / 255.0f;
    const float white = static_cast<float>(levels[c].light) / 255.0f;
    float span = white - black;
    if (!(span > std::numeric_limits<float>::epsilon())) span = std::numeric_limits<float>::epsilon();
    float n = (static_cast<float>(pixel[c]) / 255.0f - black) / span;
    if (n < 0.0f) n = 0.0f;
    if (n > 1.0f) n = 1.0f;
    t[c] = n * weights[c];
  }
  float y = std::round(((t[0] + t[1]) + t[2]) * 255.0f);
  if (y < 0.0f) y = 0.0f;
  if (y > 255.0f) y = 255.0f;
  return static_cast<std::uint8_t>(y);
}

std::vector<std::uint8_t> random_bytes(std::size_t n, std::uint32_t seed, unsigned spread = 256) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(200 + rng() % spread);
  return bytes;
}

// ---- counting ------------------------------------------------------------------

struct CountCase {
  const char* name;
  std::size_t pixels;
  unsigned spread;  // distinct values per byte; 1 makes every pixel the same
  std::size_t run;  // pixels between folds of the sub-counts
};

class Counting : public ::testing::TestWithParam<CountCase> {};

TEST_P(Counting, EqualsPlainCount) {
  const CountCase& c = GetParam();
  const std::vector<std::uint8_t> bytes = random_bytes(3 * c.pixels + 1, 99, c.spread);
  ChannelHistograms fast{};
  kernels::count_channels(bytes.data(), c.pixels, fast, c.run);
  EXPECT_EQ(fast, count_plainly(bytes.data(), c.pixels));
}

TEST_P(Counting, JointEqualsPlainCount) {
  const CountCase& c = GetParam();
  const std::vector<std::uint8_t> bytes = random_bytes(3 * c.pixels + 1, 98, c.spread);
  ChannelHistograms fast{};
  kernels::count_channels_joint(bytes.data(), c.pixels, fast, c.run);
  EXPECT_EQ(fast, count_plainly(bytes.data(), c.pixels));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Counting,
    ::testing::Values(CountCase{"None", 0, 256, kernels::kMaxCountRun},
                      CountCase{"One", 1, 256, kernels::kMaxCountRun},
                      CountCase{"Pair", 2, 256, kernels::kMaxCountRun},
                      CountCase{"PairAndOne", 3, 256, kernels::kMaxCountRun},
                      CountCase{"ManyAndOne", 100003, 256, kernels::kMaxCountRun},
                      CountCase{"OneShade", 50001, 1, kernels::kMaxCountRun},
                      CountCase{"FewShades", 50002, 3, kernels::kMaxCountRun},
                      CountCase{"FoldEveryPixel", 5001, 256, 1},
                      CountCase{"FoldAfterSevenPixels", 10007, 5, 7},
                      CountCase{"FoldAfterGroups", 10006, 256, 64}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

// Runs joint_count_fits on a new thread with a stack of `bytes`.
bool joint_fits_on_stack_of(std::size_t bytes) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, bytes);
  bool fits = true;
  pthread_t thread;
  auto body = [](void* out) -> void* {
    *static_cast<bool*>(out) = kernels::joint_count_fits();
    return nullptr;
  };
  EXPECT_EQ(pthread_create(&thread, &attributes, body, &fits), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  return fits;
}

TEST(Counting, JointTableOnlyWhereTheStackHasRoom) {
  EXPECT_FALSE(joint_fits_on_stack_of(64 << 10));
  EXPECT_FALSE(joint_fits_on_stack_of(512 << 10));
  EXPECT_TRUE(joint_fits_on_stack_of(16 << 20));
}

// The whole level fix on a thread whose stack is `bytes` long; a stack too
// small for it ends the test program with a fault.
std::vector<std::uint8_t> level_fix_on_stack_of(std::size_t bytes, std::vector<std::uint8_t> image) {
  struct Job {
    std::vector<std::uint8_t>* image;
  } job{&image};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, bytes);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    std::vector<std::uint8_t>& pixels = *static_cast<Job*>(arg)->image;
    run_level_fix(pixels.data(), pixels.size(), LevelFixParams{});
    return nullptr;
  };
  EXPECT_EQ(pthread_create(&thread, &attributes, body, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  return image;
}

// Python's smallest thread stack is 32 KiB, and Python's own frames need
// part of it: the level fix must get by with 24.
TEST(SmallStack, LevelFixRunsIn24KiB) {
  for (const std::size_t pixels : {std::size_t{4096}, std::size_t{3} << 20}) {
    std::vector<std::uint8_t> image = random_bytes(3 * pixels, 21, 1);  // one shade
    for (std::size_t k = 0; k < pixels / 3; ++k) std::memset(&image[3 * k], 40, 3);
    std::vector<std::uint8_t> expected = image;
    run_level_fix(expected.data(), expected.size(), LevelFixParams{});
    ASSERT_NE(expected, image);  // neutral: the remap ran
    EXPECT_EQ(level_fix_on_stack_of(24 << 10, image), expected) << pixels << " pixels";
  }
}

TEST(Counting, AddsToExistingCounts) {
  const std::vector<std::uint8_t> bytes = random_bytes(3 * 999, 5);
  ChannelHistograms counts{};
  kernels::count_channels(bytes.data(), 500, counts);
  kernels::count_channels(bytes.data() + 1500, 499, counts);
  EXPECT_EQ(counts, count_plainly(bytes.data(), 999));
}

// ---- remap, every colour ---------------------------------------------------------

struct LevelSet {
  const char* name;
  Levels levels;
};

std::vector<std::uint8_t> every_colour() {
  std::vector<std::uint8_t> bytes(3u << 24);
  for (std::uint32_t v = 0; v < (1u << 24); ++v) {
    bytes[3 * v] = static_cast<std::uint8_t>(v >> 16);
    bytes[3 * v + 1] = static_cast<std::uint8_t>(v >> 8);
    bytes[3 * v + 2] = static_cast<std::uint8_t>(v);
  }
  return bytes;
}

class RemapEveryColour : public ::testing::TestWithParam<LevelSet> {
 protected:
  static void SetUpTestSuite() { colours_ = new std::vector<std::uint8_t>(every_colour()); }
  static void TearDownTestSuite() { delete colours_; }
  static std::vector<std::uint8_t>* colours_;
};
std::vector<std::uint8_t>* RemapEveryColour::colours_ = nullptr;

// The first pixel whose grey differs from the oracle's, or -1.
long first_difference(const Levels& levels, const std::vector<std::uint8_t>& in,
                      const std::vector<std::uint8_t>& out) {
  for (std::size_t k = 0; k < in.size() / 3; ++k) {
    const std::uint8_t grey = grey_plainly(levels, &in[3 * k]);
    if (out[3 * k] != grey || out[3 * k + 1] != grey || out[3 * k + 2] != grey) {
      return static_cast<long>(k);
    }
  }
  return -1;
}

TEST_P(RemapEveryColour, ScalarKernel) {
  const Levels& levels = GetParam().levels;
  std::vector<std::uint8_t> out = *colours_;
  kernels::remap_scalar(kernels::remap_tables(levels), out.data(), out.size() / 3);
  EXPECT_EQ(first_difference(levels, *colours_, out), -1);
}

TEST_P(RemapEveryColour, WideKernel) {
  if (!kernels::remap_wide_available()) GTEST_SKIP() << "no 512-bit byte permutes here";
  const Levels& levels = GetParam().levels;
  std::vector<std::uint8_t> out = *colours_;
  kernels::remap_wide(kernels::remap_tables(levels), out.data(), out.size() / 3);
  EXPECT_EQ(first_difference(levels, *colours_, out), -1);
}

TEST_P(RemapEveryColour, GatherKernel) {
  if (!kernels::remap_gather_available()) GTEST_SKIP() << "no 256-bit gathers here";
  const Levels& levels = GetParam().levels;
  std::vector<std::uint8_t> out = *colours_;
  kernels::remap_gather(kernels::remap_tables(levels), out.data(), out.size() / 3);
  EXPECT_EQ(first_difference(levels, *colours_, out), -1);
}

TEST_P(RemapEveryColour, ThroughRemapToGrey) {
  const Levels& levels = GetParam().levels;
  std::vector<std::uint8_t> out = *colours_;
  remap_to_grey(levels, out.data(), out.size());
  EXPECT_EQ(first_difference(levels, *colours_, out), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RemapEveryColour,
    ::testing::Values(LevelSet{"FullRange", {{{0, 255}, {0, 255}, {0, 255}}}},
                      LevelSet{"Studio", {{{16, 235}, {16, 235}, {16, 235}}}},
                      LevelSet{"PerChannel", {{{20, 230}, {10, 240}, {30, 220}}}},
                      LevelSet{"OneLevelEach", {{{100, 100}, {0, 0}, {255, 255}}}},
                      LevelSet{"NarrowAndWide", {{{127, 128}, {1, 254}, {40, 200}}}}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

// ---- remap, ragged lengths and offsets --------------------------------------------

using RemapKernel = void (*)(const kernels::RemapTables&, std::uint8_t*, std::size_t);

struct VectorKernel {
  const char* name;
  bool (*available)();
  RemapKernel run;
};

class RemapTail : public ::testing::TestWithParam<VectorKernel> {};

TEST_P(RemapTail, EveryLengthAroundABlockAndNothingPastTheEnd) {
  if (!GetParam().available()) GTEST_SKIP() << "not on this processor";
  const Levels levels{{{30, 210}, {25, 215}, {35, 220}}};
  const kernels::RemapTables tables = kernels::remap_tables(levels);
  const std::vector<std::uint8_t> in = random_bytes(3 * 300 + 7, 11);
  for (std::size_t offset : {0u, 1u, 5u}) {
    for (std::size_t pixels : {0u, 1u, 7u, 8u, 9u, 10u, 11u, 63u, 64u, 65u, 127u, 128u, 129u, 300u}) {
      std::vector<std::uint8_t> out = in;
      GetParam().run(tables, out.data() + offset, pixels);
      for (std::size_t i = 0; i < offset; ++i) ASSERT_EQ(out[i], in[i]);
      for (std::size_t k = 0; k < pixels; ++k) {
        const std::uint8_t grey = grey_plainly(levels, &in[offset + 3 * k]);
        ASSERT_EQ(out[offset + 3 * k], grey) << pixels << " pixels, offset " << offset;
        ASSERT_EQ(out[offset + 3 * k + 1], grey);
        ASSERT_EQ(out[offset + 3 * k + 2], grey);
      }
      for (std::size_t i = offset + 3 * pixels; i < in.size(); ++i) {
        ASSERT_EQ(out[i], in[i]) << "byte past the end written";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, RemapTail,
    ::testing::Values(VectorKernel{"Wide", kernels::remap_wide_available, kernels::remap_wide},
                      VectorKernel{"Gather", kernels::remap_gather_available,
                                   kernels::remap_gather}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace vorn

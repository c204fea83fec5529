// The per-pixel kernels against straightforward loops that follow each step
// literally. Every kernel of the remap table that this processor can run is
// run, whichever the dispatch would pick, on buffers of exactly the input's
// size, so that a sanitizer build sees any access past them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "level_fix.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#define VORN_TEST_THREAD_STACKS 1
#endif

#if defined(__SANITIZE_ADDRESS__)
#define VORN_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORN_TEST_SANITIZED 1
#endif
#endif

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
  const std::vector<std::uint8_t> bytes = random_bytes(3 * c.pixels, 99, c.spread);
  ChannelHistograms fast{};
  kernels::count_channels(bytes.data(), c.pixels, fast, c.run);
  EXPECT_EQ(fast, count_plainly(bytes.data(), c.pixels));
}

TEST_P(Counting, JointEqualsPlainCount) {
  const CountCase& c = GetParam();
  const std::vector<std::uint8_t> bytes = random_bytes(3 * c.pixels, 98, c.spread);
  const auto scratch = std::make_unique<kernels::JointTables>();
  ChannelHistograms fast{};
  kernels::count_channels_joint(bytes.data(), c.pixels, fast, *scratch, c.run);
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

#if defined(VORN_TEST_THREAD_STACKS)
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
#if defined(VORN_TEST_SANITIZED)
  GTEST_SKIP() << "sanitizer frames are larger";
#endif
  for (const std::size_t pixels : {std::size_t{4096}, std::size_t{3} << 20}) {
    std::vector<std::uint8_t> image = random_bytes(3 * pixels, 21, 1);  // one shade
    for (std::size_t k = 0; k < pixels / 3; ++k) std::memset(&image[3 * k], 40, 3);
    std::vector<std::uint8_t> expected = image;
    run_level_fix(expected.data(), expected.size(), LevelFixParams{});
    ASSERT_NE(expected, image);  // neutral: the remap ran
    EXPECT_EQ(level_fix_on_stack_of(24 << 10, image), expected) << pixels << " pixels";
  }
}
#endif  // VORN_TEST_THREAD_STACKS

TEST(Counting, AddsToExistingCounts) {
  const std::vector<std::uint8_t> bytes = random_bytes(3 * 999, 5);
  ChannelHistograms counts{};
  kernels::count_channels(bytes.data(), 500, counts);
  kernels::count_channels(bytes.data() + 1500, 499, counts);
  EXPECT_EQ(counts, count_plainly(bytes.data(), 999));
}

// ---- remap, every colour ---------------------------------------------------------

std::string kernel_name(const kernels::RemapKernel& kernel) { return kernel.name; }

const std::vector<kernels::RemapKernel> all_kernels(kernels::kRemapKernels,
                                                    kernels::kRemapKernels +
                                                        kernels::kRemapKernelCount);

struct LevelSet {
  const char* name;
  Levels levels;
};

const LevelSet kLevelSets[] = {
    {"FullRange", {{{0, 255}, {0, 255}, {0, 255}}}},
    {"Studio", {{{16, 235}, {16, 235}, {16, 235}}}},
    {"PerChannel", {{{20, 230}, {10, 240}, {30, 220}}}},
    {"OneLevelEach", {{{100, 100}, {0, 0}, {255, 255}}}},
    {"NarrowAndWide", {{{127, 128}, {1, 254}, {40, 200}}}},
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

// GTEST_SKIP() returns from the function it is written in: in a helper, the
// test would run on, into instructions the processor does not have.
#define SKIP_UNLESS_AVAILABLE(kernel) \
  if (!(kernel).available()) GTEST_SKIP() << (kernel).name << ": not on this processor"

class RemapEveryColour : public ::testing::TestWithParam<kernels::RemapKernel> {
 protected:
  static void SetUpTestSuite() { colours_ = new std::vector<std::uint8_t>(every_colour()); }
  static void TearDownTestSuite() { delete colours_; }
  static std::vector<std::uint8_t>* colours_;
};
std::vector<std::uint8_t>* RemapEveryColour::colours_ = nullptr;

TEST_P(RemapEveryColour, EqualsTheFormula) {
  SKIP_UNLESS_AVAILABLE(GetParam());
  for (const LevelSet& set : kLevelSets) {
    std::vector<std::uint8_t> out = *colours_;
    GetParam().run(kernels::remap_tables(set.levels), out.data(), out.size() / 3);
    EXPECT_EQ(first_difference(set.levels, *colours_, out), -1) << set.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, RemapEveryColour, ::testing::ValuesIn(all_kernels),
                         [](const auto& case_info) { return kernel_name(case_info.param); });

TEST(RemapToGrey, TakesTheFastestAvailableKernel) {
  const kernels::RemapKernel& chosen = kernels::fastest_remap_kernel();
  ASSERT_TRUE(chosen.available());
  for (const kernels::RemapKernel& kernel : all_kernels) {
    if (kernel.run == chosen.run) break;
    EXPECT_FALSE(kernel.available()) << kernel.name << " is faster and available";
  }
  const LevelSet& set = kLevelSets[2];
  const std::vector<std::uint8_t> in = random_bytes(3 * 1000, 4);
  std::vector<std::uint8_t> out = in;
  remap_to_grey(set.levels, out.data(), out.size());
  EXPECT_EQ(first_difference(set.levels, in, out), -1);
}

// ---- remap, ragged lengths and offsets --------------------------------------------

class RemapTail : public ::testing::TestWithParam<kernels::RemapKernel> {};

TEST_P(RemapTail, EveryLengthAroundABlockAndNothingPastTheEnd) {
  SKIP_UNLESS_AVAILABLE(GetParam());
  const Levels levels{{{30, 210}, {25, 215}, {35, 220}}};
  const RemapTables tables = kernels::remap_tables(levels);
  const std::vector<std::uint8_t> in = random_bytes(3 * 300 + 7, 11);
  for (std::size_t pixels = 0; pixels <= 300; ++pixels) {
    // Exactly the pixels' bytes, so that a sanitizer build sees a read or a
    // write past them.
    std::vector<std::uint8_t> exact(in.begin(), in.begin() + static_cast<long>(3 * pixels));
    GetParam().run(tables, exact.data(), pixels);
    for (std::size_t k = 0; k < pixels; ++k) {
      const std::uint8_t grey = grey_plainly(levels, &in[3 * k]);
      ASSERT_EQ(exact[3 * k], grey) << pixels << " pixels";
      ASSERT_EQ(exact[3 * k + 1], grey);
      ASSERT_EQ(exact[3 * k + 2], grey);
    }
    // Without a sanitizer: bytes around the pixels stay as they were.
    for (std::size_t offset : {1u, 5u}) {
      std::vector<std::uint8_t> out = in;
      GetParam().run(tables, out.data() + offset, std::min<std::size_t>(pixels, 300 - 2));
      for (std::size_t i = 0; i < offset; ++i) ASSERT_EQ(out[i], in[i]);
      for (std::size_t i = offset + 3 * std::min<std::size_t>(pixels, 300 - 2); i < in.size(); ++i) {
        ASSERT_EQ(out[i], in[i]) << "byte past the end written, " << pixels << " pixels";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, RemapTail, ::testing::ValuesIn(all_kernels),
                         [](const auto& case_info) { return kernel_name(case_info.param); });

}  // namespace
}  // namespace vorn

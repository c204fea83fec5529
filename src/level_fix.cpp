#include "level_fix.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>

#include "platform.hpp"

namespace vorn {
namespace {

// Saturating double -> u64: NaN and negatives give 0, too large gives the max.
std::uint64_t saturate_to_u64(double x) {
  if (!(x > 0.0)) return 0;
  if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(x);
}

}  // namespace

// The integer sum is converted once, so the mean is not a sum of three
// rounded conversions.
Deviations mass_deviations(std::uint64_t red, std::uint64_t green, std::uint64_t blue) {
  const double mean = static_cast<double>(red + green + blue) / 3.0;
  Deviations out{};
  if (mean == 0.0) return out;
  const std::uint64_t masses[3] = {red, green, blue};
  for (std::size_t c = 0; c < 3; ++c) {
    out[c] = std::fabs(static_cast<double>(masses[c]) - mean) / mean;
  }
  return out;
}

namespace {

bool masses_agree(std::uint64_t r, std::uint64_t g, std::uint64_t b, double percentage) {
  if (r + g + b == 0) return true;  // no mass to disagree about
  for (const double deviation : mass_deviations(r, g, b)) {
    if (!(percentage > deviation)) return false;
  }
  return true;
}

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};

}  // namespace

CountedHistograms build_histograms(const std::uint8_t* pixels, std::size_t length) {
  CountedHistograms counted{};
  counted.pixel_count = length / 3;
  // The joint tables cost a clear and a fold of 131,072 entries per call, and
  // are too large for a thread's stack. Without the block the split count
  // gives the same counts, only more slowly.
  constexpr std::size_t kJointFrom = std::size_t{1} << 21;
  if (counted.pixel_count >= kJointFrom) {
    const std::unique_ptr<kernels::JointTables, FreeDeleter> scratch(
        static_cast<kernels::JointTables*>(std::malloc(sizeof(kernels::JointTables))));
    if (scratch) {
      kernels::count_channels_joint(pixels, counted.pixel_count, counted.channels, *scratch);
      return counted;
    }
  }
  kernels::count_channels(pixels, counted.pixel_count, counted.channels);
  return counted;
}

void smooth_histogram(ChannelHistogram& histogram, std::uint64_t passes) {
  // Each term is truncated on its own; the result of several passes depends
  // on that, so the kernel is not folded into one division.
  ChannelHistogram snapshot;
  for (std::uint64_t pass = 0; pass < passes; ++pass) {
    snapshot = histogram;
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
      const std::size_t left = i == 0 ? 0 : i - 1;
      const std::size_t right = i == 255 ? 255 : i + 1;
      histogram[i] = snapshot[left] / 4 + snapshot[i] / 2 + snapshot[right] / 4;
    }
  }
}

std::uint64_t prominence_threshold(double min_prominence, std::uint64_t pixel_count) {
  // Multiplying first keeps 0.7 % of 1000 at exactly 7.
  const double x = (min_prominence * static_cast<double>(pixel_count)) / 100.0;
  const std::uint64_t t = saturate_to_u64(x);
  return t == 0 ? 1 : t;
}

std::optional<Levels> is_neutral(const RegionList& red, const RegionList& green,
                                 const RegionList& blue, double percentage) {
  const RegionList* channels[3] = {&red, &green, &blue};
  for (const RegionList* regions : channels) {
    if (regions->empty() || regions->size() > 2) return std::nullopt;
  }
  if (!masses_agree(red.front().mass, green.front().mass, blue.front().mass, percentage)) {
    return std::nullopt;
  }
  if (!masses_agree(red.back().mass, green.back().mass, blue.back().mass, percentage)) {
    return std::nullopt;
  }
  Levels levels;
  for (std::size_t c = 0; c < 3; ++c) {
    levels[c] = ChannelLevels{channels[c]->front().position, channels[c]->back().position};
  }
  return levels;
}

void remap_to_grey(const Levels& levels, std::uint8_t* pixels, std::size_t length) {
  kernels::fastest_remap_kernel().run(kernels::remap_tables(levels), pixels, length / 3);
}

namespace {

// Everything before the remap. A frame of its own, so that its histograms and
// lists are off the stack before the remap's tables go on: the level fix runs
// on whatever thread calls it, and Python lets threads have 32 KiB stacks.
VORN_NOINLINE std::optional<Levels> levels_of(const std::uint8_t* pixels, std::size_t length,
                                              const LevelFixParams& params) {
  CountedHistograms counted = build_histograms(pixels, length);
  for (ChannelHistogram& channel : counted.channels) smooth_histogram(channel, params.blur_n);
  const std::uint64_t threshold = prominence_threshold(params.min_prominence, counted.pixel_count);

  // Each list is built in place (no temporary 2 KiB copies in this frame).
  auto regions_of = [&](std::size_t c) {
    const ChannelHistogram& histogram = counted.channels[c];
    const PeakList peaks = detect(histogram, params.window_radius, threshold);
    const PositionList accepted = select_peaks(peaks, params.min_distance);
    return region_masses(histogram, accepted);
  };
  const RegionList red = regions_of(0);
  const RegionList green = regions_of(1);
  const RegionList blue = regions_of(2);
  return is_neutral(red, green, blue, params.percentage);
}

}  // namespace

void run_level_fix(std::uint8_t* pixels, std::size_t length, const LevelFixParams& params) {
  if (length < 3) return;
  const std::optional<Levels> levels = levels_of(pixels, length, params);
  if (levels) remap_to_grey(*levels, pixels, length);
}

}  // namespace vorn

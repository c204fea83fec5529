// The level fix: decides from the three channel histograms whether an RGB8
// image is neutral and, if it is, rewrites it as grey with fixed levels.
//
// Nothing here touches Python; the binding calls run_level_fix with the
// interpreter lock released on a buffer that the call owns.
#ifndef VORN_HYST_LEVEL_FIX_HPP_
#define VORN_HYST_LEVEL_FIX_HPP_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "kernels.hpp"
#include "peaks.hpp"

namespace vorn {

// The validated arguments of one call, in the units the caller gave them.
struct LevelFixParams {
  std::uint64_t blur_n = 3;
  std::uint64_t window_radius = 3;
  double min_prominence = 0.5;
  std::uint64_t min_distance = 10;
  double percentage = 0.22;
};

struct CountedHistograms {
  ChannelHistograms channels;
  std::uint64_t pixel_count = 0;
};

// Raw counts of an interleaved RGB buffer of `length` bytes (a multiple of 3).
CountedHistograms build_histograms(const std::uint8_t* pixels, std::size_t length);

// Applies `passes` rounds of the truncating (1/4, 1/2, 1/4) kernel in place.
void smooth_histogram(ChannelHistogram& histogram, std::uint64_t passes);

// The minimum peak prominence in counts; always at least 1.
std::uint64_t prominence_threshold(double min_prominence, std::uint64_t pixel_count);

// Relative deviation of each channel's mass from the triple's mean, the
// quantity the neutrality test compares with `percentage` (0 for a triple
// whose mean is 0).
using Deviations = std::array<double, 3>;
Deviations mass_deviations(std::uint64_t red, std::uint64_t green, std::uint64_t blue);

// The image's levels when its three channels agree, nothing otherwise.
std::optional<Levels> is_neutral(const RegionList& red, const RegionList& green,
                                 const RegionList& blue, double percentage);

// Rewrites every pixel as the luma of its stretched channels, in all three.
void remap_to_grey(const Levels& levels, std::uint8_t* pixels, std::size_t length);

// The whole chain over a buffer of `length` bytes, rewritten in place when the
// image is neutral. A buffer without a whole pixel is left alone.
void run_level_fix(std::uint8_t* pixels, std::size_t length, const LevelFixParams& params);

}  // namespace vorn

#endif  // VORN_HYST_LEVEL_FIX_HPP_

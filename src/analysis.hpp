// What the level fix sees in an image, stage by stage, for callers that must
// explain or second-guess its verdict (the command line's guards). It runs
// the very stages of run_level_fix, so the verdict here is the module's.
//
// Free of Python, like the level fix.
#ifndef VORN_HYST_ANALYSIS_HPP_
#define VORN_HYST_ANALYSIS_HPP_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "kernels.hpp"
#include "level_fix.hpp"
#include "peaks.hpp"

namespace vorn {

// Why is_neutral turned an image down, as far as the masses tell.
enum class Rejection : std::uint8_t {
  kNone,         // neutral
  kPeakCount,    // some channel has no region, or three or more
  kDarkMasses,   // the darkest regions disagree
  kLightMasses,  // the lightest regions disagree
};

// What the stretch by the levels does to the pixels, counted in one pass.
struct StretchCounts {
  std::uint64_t coloured = 0;  // channels still further apart than the tolerance
  // At or beyond the dark (light) level in every channel and beyond it in
  // one at least: written as 0 (255) by remap_to_grey, together with pixels
  // of other values, so their detail is lost.
  std::uint64_t black = 0;
  std::uint64_t white = 0;
  // Of those, the ones beyond the level by more than kFarClip in a channel:
  // not the spread of a flat paper or ink around its level, but detail.
  std::uint64_t far_black = 0;
  std::uint64_t far_white = 0;
};

// How far beyond a level a clipped pixel is detail rather than the noise of
// the paper or the ink the level was read from.
inline constexpr int kFarClip = 32;

// Counts over a row-major RGB image. Each channel is stretched to 0..255 by
// its own levels; the pixels of a 2 x 2 block are coloured when the block's
// mean channels differ by more than `tolerance`.
// `vector` false keeps to the scalar loop, which the vector kernel must match.
StretchCounts count_stretched(const Levels& levels, const std::uint8_t* pixels,
                              std::size_t width, std::size_t height, std::uint8_t tolerance,
                              bool vector = true);

struct ImageAnalysis {
  std::uint64_t pixel_count = 0;
  std::uint64_t threshold = 0;
  std::array<std::uint64_t, 3> totals{};  // smoothed histogram totals, R, G, B
  std::array<RegionList, 3> regions;      // accepted peaks with their masses
  Rejection rejection = Rejection::kPeakCount;
  // Only where the test got as far as the masses.
  std::optional<Deviations> dark_deviations, light_deviations;
  std::optional<Levels> levels;  // is_neutral's answer
  std::optional<StretchCounts> stretch;  // only for a neutral image
};

// The chain of run_level_fix up to and including is_neutral, then (neutral
// images only) the stretch counts; with `measure_flat` false, not for levels
// with a single level in a channel, which the flat guard refuses whatever they
// count. Reads the image, never writes it. An image without pixels gives
// pixel_count 0 and nothing else.
ImageAnalysis analyse(const std::uint8_t* pixels, std::size_t width, std::size_t height,
                      const LevelFixParams& params, std::uint8_t tolerance,
                      bool measure_flat = true);

}  // namespace vorn

#endif  // VORN_HYST_ANALYSIS_HPP_

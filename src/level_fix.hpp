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

// Per channel, the bins that become black and white (dark <= light).
struct ChannelLevels {
  std::uint8_t dark = 0;
  std::uint8_t light = 0;
};

using ChannelHistograms = std::array<ChannelHistogram, 3>;  // R, G, B
using Levels = std::array<ChannelLevels, 3>;                // R, G, B

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

// The image's levels when its three channels agree, nothing otherwise.
std::optional<Levels> is_neutral(const RegionList& red, const RegionList& green,
                                 const RegionList& blue, double percentage);

// Rewrites every pixel as the luma of its stretched channels, in all three.
void remap_to_grey(const Levels& levels, std::uint8_t* pixels, std::size_t length);

// The per-pixel kernels behind build_histograms and remap_to_grey, open to the
// unit tests, which hold them against straightforward loops.
namespace kernels {

// Sub-counts are 32-bit; a run this long cannot overflow one even if every
// pixel lands in the same bin.
inline constexpr std::size_t kMaxCountRun = std::size_t{1} << 30;

// Adds the counts of `pixel_count` interleaved RGB pixels to `counts`,
// folding the 32-bit sub-counts in after at most `run` pixels each time.
void count_channels(const std::uint8_t* pixels, std::size_t pixel_count,
                    ChannelHistograms& counts, std::size_t run = kMaxCountRun);

// The same with two 65,536-entry joint tables, R with G of each pixel and B
// with B of each pixel pair: three counter updates per two pixels instead of
// six. The tables live on the stack (512 KiB), so this is only for a thread
// with room to spare (joint_count_fits()).
void count_channels_joint(const std::uint8_t* pixels, std::size_t pixel_count,
                          ChannelHistograms& counts, std::size_t run = kMaxCountRun);
bool joint_count_fits();

// Per channel and byte value, the weighted stretched term of the luma. A
// channel's term depends on its own byte only, so a table holds each term
// exactly as the per-pixel formula computes it.
struct RemapTables {
  std::array<std::array<float, 256>, 3> term;  // R, G, B
};
RemapTables remap_tables(const Levels& levels);

// Grey byte of the luma (R + G) + B of the terms, into all three channels.
void remap_scalar(const RemapTables& tables, std::uint8_t* pixels, std::size_t pixel_count);

// The same with 512-bit byte permutes; only where remap_wide_available().
bool remap_wide_available();
void remap_wide(const RemapTables& tables, std::uint8_t* pixels, std::size_t pixel_count);

// The same with 256-bit table gathers; only where remap_gather_available().
bool remap_gather_available();
void remap_gather(const RemapTables& tables, std::uint8_t* pixels, std::size_t pixel_count);

}  // namespace kernels

// The whole chain over a buffer of `length` bytes, rewritten in place when the
// image is neutral. A buffer without a whole pixel is left alone.
void run_level_fix(std::uint8_t* pixels, std::size_t length, const LevelFixParams& params);

}  // namespace vorn

#endif  // VORN_HYST_LEVEL_FIX_HPP_

#include "level_fix.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vorn {
namespace {

float float_from_bits(std::uint32_t bits) {
  float value;
  static_assert(sizeof value == sizeof bits, "float must be 32-bit IEEE");
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Single-precision BT.601 weights. G is (1 - 0.299f) - 0.114f, one ulp below
// the float nearest to 0.587; the exact bits decide some output bytes.
const float kWeightR = float_from_bits(0x3E991687u);
const float kWeightG = float_from_bits(0x3F1645A1u);
const float kWeightB = float_from_bits(0x3DE978D5u);

constexpr float kMinSpan = std::numeric_limits<float>::epsilon();  // 2^-23

// Saturating double -> u64: NaN and negatives give 0, too large gives the max.
std::uint64_t saturate_to_u64(double x) {
  if (!(x > 0.0)) return 0;
  if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(x);
}

// The integer sum is converted once, so the mean is not a sum of three
// rounded conversions.
bool masses_agree(std::uint64_t r, std::uint64_t g, std::uint64_t b, double percentage) {
  const double mean = static_cast<double>(r + g + b) / 3.0;
  if (mean == 0.0) return true;
  for (const std::uint64_t mass : {r, g, b}) {
    const double deviation = std::fabs(static_cast<double>(mass) - mean) / mean;
    if (!(percentage > deviation)) return false;
  }
  return true;
}

struct ChannelStretch {
  float black;
  float span;
};

ChannelStretch stretch_for(const ChannelLevels& levels) {
  const float black = static_cast<float>(levels.dark) / 255.0f;
  const float white = static_cast<float>(levels.light) / 255.0f;
  const float span = white - black;
  return ChannelStretch{black, span > kMinSpan ? span : kMinSpan};
}

float normalise(std::uint8_t value, const ChannelStretch& stretch) {
  const float x = static_cast<float>(value) / 255.0f;
  float n = (x - stretch.black) / stretch.span;
  if (n < 0.0f) n = 0.0f;
  if (n > 1.0f) n = 1.0f;
  return n;
}

}  // namespace

CountedHistograms build_histograms(const std::uint8_t* pixels, std::size_t length) {
  CountedHistograms counted{};
  const std::size_t pixel_count = length / 3;
  ChannelHistogram& red = counted.channels[0];
  ChannelHistogram& green = counted.channels[1];
  ChannelHistogram& blue = counted.channels[2];
  for (std::size_t k = 0; k < pixel_count; ++k) {
    ++red[pixels[3 * k]];
    ++green[pixels[3 * k + 1]];
    ++blue[pixels[3 * k + 2]];
  }
  counted.pixel_count = pixel_count;
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
  const ChannelStretch red = stretch_for(levels[0]);
  const ChannelStretch green = stretch_for(levels[1]);
  const ChannelStretch blue = stretch_for(levels[2]);
  const std::size_t pixel_count = length / 3;
  for (std::size_t k = 0; k < pixel_count; ++k) {
    std::uint8_t* pixel = pixels + 3 * k;
    const float t_red = normalise(pixel[0], red) * kWeightR;
    const float t_green = normalise(pixel[1], green) * kWeightG;
    const float t_blue = normalise(pixel[2], blue) * kWeightB;
    // Float addition is not associative: red plus green first, then blue.
    const float luma = (t_red + t_green) + t_blue;
    float scaled = std::round(luma * 255.0f);  // halfway cases away from zero
    if (scaled < 0.0f) scaled = 0.0f;
    if (scaled > 255.0f) scaled = 255.0f;
    const auto grey = static_cast<std::uint8_t>(scaled);
    pixel[0] = grey;
    pixel[1] = grey;
    pixel[2] = grey;
  }
}

void run_level_fix(std::uint8_t* pixels, std::size_t length, const LevelFixParams& params) {
  if (length < 3) return;
  CountedHistograms counted = build_histograms(pixels, length);
  for (ChannelHistogram& channel : counted.channels) smooth_histogram(channel, params.blur_n);
  const std::uint64_t threshold = prominence_threshold(params.min_prominence, counted.pixel_count);

  std::array<RegionList, 3> regions;
  for (std::size_t c = 0; c < 3; ++c) {
    const ChannelHistogram& histogram = counted.channels[c];
    const PeakList peaks = detect(histogram, params.window_radius, threshold);
    const PositionList accepted = select_peaks(peaks, params.min_distance);
    regions[c] = region_masses(histogram, accepted);
  }

  const std::optional<Levels> levels =
      is_neutral(regions[0], regions[1], regions[2], params.percentage);
  if (levels) remap_to_grey(*levels, pixels, length);
}

}  // namespace vorn

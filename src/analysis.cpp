#include "analysis.hpp"

#include <algorithm>
#include <cmath>

namespace vorn {
namespace {

using StretchTable = std::array<std::uint8_t, 256>;

// A channel's stretched value on 0..255, read back from its remap term (the
// weighted stretch); the full-scale term, at byte 255, is the weight itself.
StretchTable stretch_table(const std::array<float, 256>& term) {
  StretchTable table{};
  const float weight = term[255];
  for (std::size_t v = 0; v < 256; ++v) {
    const float n = weight > 0.0f ? term[v] / weight : 0.0f;
    table[v] = static_cast<std::uint8_t>(std::min(255.0f, n * 255.0f + 0.5f));
  }
  return table;
}

Rejection first_failing_triple(const ImageAnalysis& a, double percentage) {
  auto fails = [percentage](const Deviations& d) {
    return std::any_of(d.begin(), d.end(), [percentage](double x) { return !(percentage > x); });
  };
  if (fails(*a.dark_deviations)) return Rejection::kDarkMasses;
  if (fails(*a.light_deviations)) return Rejection::kLightMasses;
  return Rejection::kNone;
}

}  // namespace

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

StretchCounts count_stretched(const Levels& levels, const std::uint8_t* pixels,
                              std::size_t width, std::size_t height, std::uint8_t tolerance) {
  // The remap's own tables, so that black and white are exactly the bytes
  // remap_to_grey writes.
  const RemapTables tables = kernels::remap_tables(levels);
  const std::array<StretchTable, 3> stretched = {stretch_table(tables.term[0]),
                                                  stretch_table(tables.term[1]),
                                                  stretch_table(tables.term[2])};
  const float* t_red = tables.term[0].data();
  const float* t_green = tables.term[1].data();
  const float* t_blue = tables.term[2].data();
  StretchCounts counts;
  // A pixel exactly at a channel's levels loses nothing when it is clipped:
  // flat paper turning white is the point of the fix. Only pixels that
  // differ from the level and still end up clipped are counted.
  auto at = [&levels](const std::uint8_t* p, std::uint8_t ChannelLevels::*level) {
    return p[0] == levels[0].*level && p[1] == levels[1].*level && p[2] == levels[2].*level;
  };
  auto clip = [&](const std::uint8_t* p) {
    // The remap rounds halfway cases up: 0 below one half, 255 from 254.5 on.
    const float scaled = ((t_red[p[0]] + t_green[p[1]]) + t_blue[p[2]]) * 255.0f;
    counts.black += scaled < 0.5f && !at(p, &ChannelLevels::dark) ? 1u : 0u;
    counts.white += scaled >= 254.5f && !at(p, &ChannelLevels::light) ? 1u : 0u;
  };
  // Colour is judged on blocks of 2 x 2 pixels, the cell of JPEG's chroma
  // subsampling: a stroke's edge shares its block's chroma with the paper
  // beside it, but the block as a whole stays grey. The stretch is linear
  // between the levels, so averaging after it is averaging before it.
  // A channel with a single level is stretched into a step, which says
  // nothing about colour: only the others are compared.
  std::size_t compared[3];
  std::size_t compared_count = 0;
  for (std::size_t c = 0; c < 3; ++c) {
    if (levels[c].dark != levels[c].light) compared[compared_count++] = c;
  }
  auto coloured = [&](const std::uint8_t* const* block, std::size_t n, std::size_t weight) {
    unsigned high = 0, low = ~0u;
    for (std::size_t k = 0; k < compared_count; ++k) {
      const std::size_t c = compared[k];
      unsigned sum = 0;
      for (std::size_t i = 0; i < n; ++i) sum += stretched[c][block[i][c]];
      high = std::max(high, sum);
      low = std::min(low, sum);
    }
    if (compared_count >= 2 && high - low > tolerance * n) counts.coloured += weight;
  };
  const std::size_t row_bytes = 3 * width;
  for (std::size_t y = 0; y < height; y += 2) {
    const std::uint8_t* top = pixels + y * row_bytes;
    const std::uint8_t* bottom = y + 1 < height ? top + row_bytes : nullptr;
    for (std::size_t x = 0; x < width; x += 2) {
      const std::uint8_t* block[4];
      std::size_t n = 0;
      block[n++] = top + 3 * x;
      if (x + 1 < width) block[n++] = top + 3 * x + 3;
      if (bottom != nullptr) {
        block[n++] = bottom + 3 * x;
        if (x + 1 < width) block[n++] = bottom + 3 * x + 3;
      }
      for (std::size_t i = 0; i < n; ++i) clip(block[i]);
      coloured(block, n, n);
    }
  }
  return counts;
}

ImageAnalysis analyse(const std::uint8_t* pixels, std::size_t width, std::size_t height,
                      const LevelFixParams& params, std::uint8_t tolerance) {
  ImageAnalysis a;
  const std::size_t length = 3 * width * height;
  if (length < 3) return a;
  CountedHistograms counted = build_histograms(pixels, length);
  for (ChannelHistogram& channel : counted.channels) smooth_histogram(channel, params.blur_n);
  a.pixel_count = counted.pixel_count;
  a.threshold = prominence_threshold(params.min_prominence, counted.pixel_count);
  for (std::size_t c = 0; c < 3; ++c) {
    const ChannelHistogram& histogram = counted.channels[c];
    for (const std::uint64_t bin : histogram) a.totals[c] += bin;
    const PeakList peaks = detect(histogram, params.window_radius, a.threshold);
    a.regions[c] = region_masses(histogram, select_peaks(peaks, params.min_distance));
  }
  const RegionList& r = a.regions[0];
  const RegionList& g = a.regions[1];
  const RegionList& b = a.regions[2];
  a.levels = is_neutral(r, g, b, params.percentage);
  const bool counts_pass = std::all_of(a.regions.begin(), a.regions.end(), [](const RegionList& l) {
    return !l.empty() && l.size() <= 2;
  });
  if (counts_pass) {
    a.dark_deviations = mass_deviations(r.front().mass, g.front().mass, b.front().mass);
    a.light_deviations = mass_deviations(r.back().mass, g.back().mass, b.back().mass);
    a.rejection = first_failing_triple(a, params.percentage);
  }
  // The verdict is is_neutral's; the deviations only say why.
  if (a.levels) {
    a.rejection = Rejection::kNone;
    a.stretch = count_stretched(*a.levels, pixels, width, height, tolerance);
  } else if (a.rejection == Rejection::kNone) {
    a.rejection = Rejection::kDarkMasses;  // cannot happen: both use one arithmetic
  }
  return a;
}

}  // namespace vorn

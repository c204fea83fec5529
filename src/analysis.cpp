#include "analysis.hpp"

#include <algorithm>

#include "platform.hpp"

namespace vorn {
namespace {

// The stretch pass. For each pixel: is it written pure black (white) by the
// remap without being at the levels already, that is at or beyond the dark
// (light) level in every channel and strictly beyond it in one at least?
// Those are merged with pixels of other values, so their detail is lost; a
// pixel exactly at the levels loses nothing (flat paper turning white is the
// point of the fix). For each block of 2 x 2 pixels, the cell of JPEG's
// chroma subsampling: do its stretched channels still differ? A stroke's
// edge shares its block's chroma with the paper beside it, but the block as
// a whole stays grey. The stretch is linear between the levels, so the
// block's sum is stretched at once:
//   min(((max(sum - 4 dark, 0) << 6) * scale) >> 16, 1020),
//   scale = min(65535, 255 * 1024 / (light - dark)),
// which is sum's mean stretched to 0..255, times four. The vector kernel
// computes exactly the same integers as the scalar one.
struct PassLevels {
  int dark[3], light[3];
  int far_dark[3], far_light[3];  // the levels moved out by kFarClip, kept within 0..255
  unsigned offset[3], scale[3];
  std::size_t source[3];  // the channel compared in place of each channel
  bool compares;          // two channels with two levels at least
  unsigned limit;         // 4 x tolerance

  PassLevels(const Levels& levels, unsigned tolerance) : limit(4 * tolerance) {
    std::size_t first = 3, compared = 0;
    for (std::size_t c = 0; c < 3; ++c) {
      dark[c] = levels[c].dark;
      light[c] = levels[c].light;
      far_dark[c] = std::max(0, dark[c] - kFarClip);
      far_light[c] = std::min(255, light[c] + kFarClip);
      offset[c] = 4u * levels[c].dark;
      const unsigned span = static_cast<unsigned>(levels[c].light - levels[c].dark);
      scale[c] = span == 0 ? 0 : std::min(65535u, 255u * 1024u / span);
      if (span != 0) {
        if (first == 3) first = c;
        ++compared;
      }
    }
    // A channel with a single level is stretched into a step, which says
    // nothing about colour: a compared channel stands in for it.
    for (std::size_t c = 0; c < 3; ++c) source[c] = scale[c] != 0 || first == 3 ? c : first;
    compares = compared >= 2;
  }

  unsigned stretch(std::size_t c, unsigned sum) const {
    const unsigned above = sum > offset[c] ? sum - offset[c] : 0;
    return std::min(((above << 6) * scale[c]) >> 16, 1020u);
  }

  bool keeps_colour(const unsigned (&sum)[3]) const {
    const unsigned v[3] = {stretch(0, sum[0]), stretch(1, sum[1]), stretch(2, sum[2])};
    const unsigned a = v[source[0]], b = v[source[1]], c = v[source[2]];
    return compares && std::max({a, b, c}) - std::min({a, b, c}) > limit;
  }
};

struct PassCounts {
  std::uint64_t coloured = 0, black = 0, white = 0, far_black = 0, far_white = 0;

  // Bitwise, not logical: no branch per pixel.
  static unsigned bit(bool b) { return b ? 1u : 0u; }

  void clip(const PassLevels& k, const std::uint8_t* p) {
    const int r = p[0], g = p[1], b = p[2];
    black += bit(r <= k.dark[0]) & bit(g <= k.dark[1]) & bit(b <= k.dark[2]) &
             (bit(r < k.dark[0]) | bit(g < k.dark[1]) | bit(b < k.dark[2]));
    white += bit(r >= k.light[0]) & bit(g >= k.light[1]) & bit(b >= k.light[2]) &
             (bit(r > k.light[0]) | bit(g > k.light[1]) | bit(b > k.light[2]));
    far_black += bit(r <= k.dark[0]) & bit(g <= k.dark[1]) & bit(b <= k.dark[2]) &
                 (bit(r < k.far_dark[0]) | bit(g < k.far_dark[1]) | bit(b < k.far_dark[2]));
    far_white += bit(r >= k.light[0]) & bit(g >= k.light[1]) & bit(b >= k.light[2]) &
                 (bit(r > k.far_light[0]) | bit(g > k.far_light[1]) | bit(b > k.far_light[2]));
  }
};

// Blocks from column x on, for the rows `top` and `bottom` (the same row, for
// the last row of an odd height: each block then stands for its row twice).
void scalar_blocks(const PassLevels& k, const std::uint8_t* top, const std::uint8_t* bottom,
                   std::size_t x, std::size_t width, PassCounts& counts) {
  const bool two_rows = top != bottom;
  for (; x < width; x += 2) {
    const std::size_t x1 = x + 1 < width ? x + 1 : x;  // an odd last column counts twice
    const std::uint8_t* q[4] = {top + 3 * x, top + 3 * x1, bottom + 3 * x, bottom + 3 * x1};
    unsigned sum[3] = {0, 0, 0};
    for (const std::uint8_t* p : q) {
      for (std::size_t c = 0; c < 3; ++c) sum[c] += p[c];
    }
    const unsigned pixels = (two_rows ? 2u : 1u) * (x1 > x ? 2u : 1u);
    counts.coloured += k.keeps_colour(sum) ? pixels : 0u;
    counts.clip(k, q[0]);
    if (x1 > x) counts.clip(k, q[1]);
    if (two_rows) {
      counts.clip(k, q[2]);
      if (x1 > x) counts.clip(k, q[3]);
    }
  }
}

#if defined(VORN_X86_64)
VORN_INTRINSICS_BEGIN

struct Planes {
  __m128i r, g, b;
};

// One plane's bytes, gathered from the three blocks of 16 interleaved bytes.
VORN_TARGET("avx2") inline __m128i pick(__m128i a, __m128i b, __m128i c, __m128i from_a,
                                        __m128i from_b, __m128i from_c) {
  return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, from_a), _mm_shuffle_epi8(b, from_b)),
                      _mm_shuffle_epi8(c, from_c));
}

// 16 interleaved RGB pixels into three planes of 16 bytes.
VORN_TARGET("avx2") inline Planes deinterleave(const std::uint8_t* p) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
  const char z = -128;  // a shuffle index that yields 0
  return Planes{
      pick(a, b, c, _mm_setr_epi8(0, 3, 6, 9, 12, 15, z, z, z, z, z, z, z, z, z, z),
           _mm_setr_epi8(z, z, z, z, z, z, 2, 5, 8, 11, 14, z, z, z, z, z),
           _mm_setr_epi8(z, z, z, z, z, z, z, z, z, z, z, 1, 4, 7, 10, 13)),
      pick(a, b, c, _mm_setr_epi8(1, 4, 7, 10, 13, z, z, z, z, z, z, z, z, z, z, z),
           _mm_setr_epi8(z, z, z, z, z, 0, 3, 6, 9, 12, 15, z, z, z, z, z),
           _mm_setr_epi8(z, z, z, z, z, z, z, z, z, z, z, 2, 5, 8, 11, 14)),
      pick(a, b, c, _mm_setr_epi8(2, 5, 8, 11, 14, z, z, z, z, z, z, z, z, z, z, z),
           _mm_setr_epi8(z, z, z, z, z, 1, 4, 7, 10, 13, z, z, z, z, z, z),
           _mm_setr_epi8(z, z, z, z, z, z, z, z, z, z, 0, 3, 6, 9, 12, 15))};
}

struct VectorLevels {
  __m128i dark[3], light[3], far_dark[3], far_light[3], offset[3], scale[3], cap, limit, ones;
};

VORN_TARGET("avx2") inline unsigned count_bits(__m128i mask) {
  return platform::popcount(static_cast<unsigned>(_mm_movemask_epi8(mask)));
}

// Black and white pixels among 16.
VORN_TARGET("avx2") inline void clip16(const VectorLevels& v, const Planes& p, PassCounts& counts) {
  const __m128i ch[3] = {p.r, p.g, p.b};
  __m128i all_dark = _mm_set1_epi8(-1), any_below = _mm_setzero_si128();
  __m128i all_light = all_dark, any_above = any_below;
  __m128i any_far_below = any_below, any_far_above = any_below;
  // Strictly beyond a level: at or beyond it, and not at it.
  auto beyond_low = [](__m128i x, __m128i level) {
    return _mm_andnot_si128(_mm_cmpeq_epi8(x, level), _mm_cmpeq_epi8(_mm_min_epu8(x, level), x));
  };
  auto beyond_high = [](__m128i x, __m128i level) {
    return _mm_andnot_si128(_mm_cmpeq_epi8(x, level), _mm_cmpeq_epi8(_mm_max_epu8(x, level), x));
  };
  for (std::size_t c = 0; c < 3; ++c) {
    const __m128i to_dark = _mm_cmpeq_epi8(_mm_min_epu8(ch[c], v.dark[c]), ch[c]);
    const __m128i to_light = _mm_cmpeq_epi8(_mm_max_epu8(ch[c], v.light[c]), ch[c]);
    all_dark = _mm_and_si128(all_dark, to_dark);
    any_below = _mm_or_si128(any_below, beyond_low(ch[c], v.dark[c]));
    any_far_below = _mm_or_si128(any_far_below, beyond_low(ch[c], v.far_dark[c]));
    all_light = _mm_and_si128(all_light, to_light);
    any_above = _mm_or_si128(any_above, beyond_high(ch[c], v.light[c]));
    any_far_above = _mm_or_si128(any_far_above, beyond_high(ch[c], v.far_light[c]));
  }
  counts.black += count_bits(_mm_and_si128(all_dark, any_below));
  counts.white += count_bits(_mm_and_si128(all_light, any_above));
  counts.far_black += count_bits(_mm_and_si128(all_dark, any_far_below));
  counts.far_white += count_bits(_mm_and_si128(all_light, any_far_above));
}

VORN_TARGET("avx2") inline __m128i stretch8(const VectorLevels& v, std::size_t c, __m128i sum) {
  const __m128i above = _mm_subs_epu16(sum, v.offset[c]);
  return _mm_min_epu16(_mm_mulhi_epu16(_mm_slli_epi16(above, 6), v.scale[c]), v.cap);
}

// Per block of 2 x 2, the sum of its four bytes of one plane.
VORN_TARGET("avx2") inline __m128i pair_sums(const VectorLevels& v, __m128i upper, __m128i lower) {
  return _mm_add_epi16(_mm_maddubs_epi16(upper, v.ones), _mm_maddubs_epi16(lower, v.ones));
}

VORN_TARGET("avx2") void vector_rows(const PassLevels& k, const std::uint8_t* top,
                                     const std::uint8_t* bottom, std::size_t chunks,
                                     PassCounts& counts) {
  VectorLevels v;
  for (std::size_t c = 0; c < 3; ++c) {
    v.dark[c] = _mm_set1_epi8(static_cast<char>(k.dark[c]));
    v.light[c] = _mm_set1_epi8(static_cast<char>(k.light[c]));
    v.far_dark[c] = _mm_set1_epi8(static_cast<char>(k.far_dark[c]));
    v.far_light[c] = _mm_set1_epi8(static_cast<char>(k.far_light[c]));
    v.offset[c] = _mm_set1_epi16(static_cast<short>(k.offset[c]));
    v.scale[c] = _mm_set1_epi16(static_cast<short>(k.scale[c]));
  }
  v.cap = _mm_set1_epi16(1020);
  v.limit = _mm_set1_epi16(static_cast<short>(k.limit));
  v.ones = _mm_set1_epi8(1);
  const bool two_rows = top != bottom;
  const unsigned pixels_per_block = two_rows ? 4u : 2u;
  for (std::size_t i = 0; i < chunks; ++i) {
    const Planes t = deinterleave(top + 48 * i);
    const Planes b = two_rows ? deinterleave(bottom + 48 * i) : t;
    clip16(v, t, counts);
    if (two_rows) clip16(v, b, counts);
    if (!k.compares) continue;
    const __m128i stretched[3] = {stretch8(v, 0, pair_sums(v, t.r, b.r)),
                                  stretch8(v, 1, pair_sums(v, t.g, b.g)),
                                  stretch8(v, 2, pair_sums(v, t.b, b.b))};
    const __m128i x = stretched[k.source[0]], y = stretched[k.source[1]], z = stretched[k.source[2]];
    const __m128i spread = _mm_sub_epi16(_mm_max_epu16(_mm_max_epu16(x, y), z),
                                         _mm_min_epu16(_mm_min_epu16(x, y), z));
    // Two mask bytes per block.
    const unsigned blocks = count_bits(_mm_cmpgt_epi16(spread, v.limit)) / 2;
    counts.coloured += std::uint64_t{blocks} * pixels_per_block;
  }
}

VORN_INTRINSICS_END
#endif

Rejection first_failing_triple(const ImageAnalysis& a, double percentage) {
  auto fails = [percentage](const Deviations& d) {
    return std::any_of(d.begin(), d.end(), [percentage](double x) { return !(percentage > x); });
  };
  if (fails(*a.dark_deviations)) return Rejection::kDarkMasses;
  if (fails(*a.light_deviations)) return Rejection::kLightMasses;
  return Rejection::kNone;
}

}  // namespace

StretchCounts count_stretched(const Levels& levels, const std::uint8_t* pixels,
                              std::size_t width, std::size_t height, std::uint8_t tolerance,
                              bool vector) {
  const PassLevels k(levels, tolerance);
  PassCounts counts;
#if defined(VORN_X86_64)
  vector = vector && platform::has_avx2();
#else
  vector = false;
#endif
  const std::size_t row_bytes = 3 * width;
  for (std::size_t y = 0; y < height; y += 2) {
    const std::uint8_t* top = pixels + y * row_bytes;
    const std::uint8_t* bottom = y + 1 < height ? top + row_bytes : top;
    std::size_t x = 0;
#if defined(VORN_X86_64)
    if (vector) {
      const std::size_t chunks = width / 16;
      vector_rows(k, top, bottom, chunks, counts);
      x = 16 * chunks;
    }
#endif
    scalar_blocks(k, top, bottom, x, width, counts);
  }
  return StretchCounts{counts.coloured, counts.black, counts.white, counts.far_black,
                       counts.far_white};
}

ImageAnalysis analyse(const std::uint8_t* pixels, std::size_t width, std::size_t height,
                      const LevelFixParams& params, std::uint8_t tolerance, bool measure_flat) {
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
    const bool flat = std::any_of(a.levels->begin(), a.levels->end(),
                                  [](const ChannelLevels& l) { return l.dark == l.light; });
    if (measure_flat || !flat) {
      a.stretch = count_stretched(*a.levels, pixels, width, height, tolerance);
    }
  }
  return a;
}

}  // namespace vorn

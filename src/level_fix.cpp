#include "level_fix.hpp"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// The byte nearest to `scaled` (halfway cases away from zero), clamped to
// 0..255, for the scaled luma, which is never negative or NaN. The fraction
// scaled - trunc(scaled) is exact, so comparing it with one half decides the
// rounding exactly as round() would, without a call into the maths library.
inline std::uint8_t grey_byte(float scaled) {
  auto whole = static_cast<std::uint32_t>(static_cast<std::int32_t>(scaled));
  whole += (scaled - static_cast<float>(whole)) >= 0.5f ? 1u : 0u;
  return static_cast<std::uint8_t>(whole > 255u ? 255u : whole);
}

}  // namespace

CountedHistograms build_histograms(const std::uint8_t* pixels, std::size_t length) {
  CountedHistograms counted{};
  counted.pixel_count = length / 3;
  // The joint table costs a clear and a fold of 65,536 entries per call.
  constexpr std::size_t kJointFrom = std::size_t{1} << 21;
  if (counted.pixel_count >= kJointFrom && kernels::joint_count_fits()) {
    kernels::count_channels_joint(pixels, length / 3, counted.channels);
  } else {
    kernels::count_channels(pixels, length / 3, counted.channels);
  }
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
  const kernels::RemapTables tables = kernels::remap_tables(levels);
  if (kernels::remap_wide_available()) {
    kernels::remap_wide(tables, pixels, length / 3);
  } else if (kernels::remap_gather_available()) {
    kernels::remap_gather(tables, pixels, length / 3);
  } else {
    kernels::remap_scalar(tables, pixels, length / 3);
  }
}

namespace kernels {

void count_channels(const std::uint8_t* pixels, std::size_t pixel_count,
                    ChannelHistograms& counts, std::size_t run) {
  // A page is mostly one paper shade, and increments of one counter wait on
  // each other: every other pixel goes to a second set of counts, so that
  // neighbours count independently. The second set is 32-bit to keep this
  // frame small (3 KiB): Python lets threads run on 32 KiB stacks.
  std::uint32_t odd[3][256];
  const std::size_t pairs_per_run = run / 2 == 0 ? 1 : run / 2;
  std::size_t k = 0;
  while (k + 1 < pixel_count) {
    std::memset(odd, 0, sizeof odd);
    const std::size_t pairs = std::min((pixel_count - k) / 2, pairs_per_run);
    const std::uint8_t* p = pixels + 3 * k;
    for (std::size_t i = 0; i < pairs; ++i, p += 6) {
      ++counts[0][p[0]];
      ++counts[1][p[1]];
      ++counts[2][p[2]];
      ++odd[0][p[3]];
      ++odd[1][p[4]];
      ++odd[2][p[5]];
    }
    k += 2 * pairs;
    for (std::size_t c = 0; c < 3; ++c) {
      for (std::size_t v = 0; v < 256; ++v) counts[c][v] += odd[c][v];
    }
  }
  if (k < pixel_count) {  // an odd pixel count leaves one
    const std::uint8_t* p = pixels + 3 * k;
    ++counts[0][p[0]];
    ++counts[1][p[1]];
    ++counts[2][p[2]];
  }
}

bool joint_count_fits() {
  // Python threads may run with stacks of a few dozen KiB: ask how much of
  // this one is left below the current frame, and keep a wide margin for
  // whatever runs on top of the table (signal handlers included).
#if defined(__linux__)
  constexpr std::size_t kNeeded = std::size_t{5} << 18;  // 1.25 MiB: the tables are 512 KiB
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
  void* lowest = nullptr;
  std::size_t size = 0;
  const int failed = pthread_attr_getstack(&attributes, &lowest, &size);
  pthread_attr_destroy(&attributes);
  if (failed != 0) return false;
  const char here = 0;
  const auto current = reinterpret_cast<std::uintptr_t>(&here);
  const auto bottom = reinterpret_cast<std::uintptr_t>(lowest);
  return current > bottom && current - bottom <= size && current - bottom >= kNeeded;
#else
  return false;  // no portable way to ask
#endif
}

namespace {

// Adds a 65,536-entry joint table, indexed low + 256 high, to the counts of
// the channels it joins (`low` and `high` may be the same histogram).
void fold_joint(const std::uint32_t* joint, ChannelHistogram& low, ChannelHistogram& high) {
  for (std::size_t h = 0; h < 256; ++h) {
    const std::uint32_t* row = joint + 256 * h;
    std::uint64_t sum = 0;
    for (std::size_t l = 0; l < 256; ++l) {
      low[l] += row[l];
      sum += row[l];
    }
    high[h] += sum;
  }
}

}  // namespace

__attribute__((noinline)) void count_channels_joint(const std::uint8_t* pixels,
                                                    std::size_t pixel_count,
                                                    ChannelHistograms& counts, std::size_t run) {
  // Two pixels are three updates: R with G of each, and B of the first with
  // B of the second. Counting is bound by the number of updates, not by the
  // tables' size, which stays within the second-level cache.
  std::uint32_t red_green[65536];   // index R + 256 G of one pixel
  std::uint32_t blue_blue[65536];   // index B + 256 B' of a pixel pair
  const std::size_t run_pixels = run < 2 ? 2 : run;
  std::size_t k = 0;
  while (k < pixel_count) {
    std::memset(red_green, 0, sizeof red_green);
    std::memset(blue_blue, 0, sizeof blue_blue);
    const std::size_t n = std::min(pixel_count - k, run_pixels);
    const std::uint8_t* p = pixels + 3 * k;
    const std::uint8_t* const pairs_end = p + 3 * (n & ~std::size_t{1});
    for (; p != pairs_end; p += 6) {
      ++red_green[p[0] | p[1] << 8];
      ++red_green[p[3] | p[4] << 8];
      ++blue_blue[p[2] | p[5] << 8];
    }
    if ((n & 1) != 0) {
      ++red_green[p[0] | p[1] << 8];
      ++counts[2][p[2]];
    }
    fold_joint(red_green, counts[0], counts[1]);
    fold_joint(blue_blue, counts[2], counts[2]);  // both halves are B
    k += n;
  }
}

RemapTables remap_tables(const Levels& levels) {
  RemapTables tables;
  const float weights[3] = {kWeightR, kWeightG, kWeightB};
  for (std::size_t c = 0; c < 3; ++c) {
    const ChannelStretch stretch = stretch_for(levels[c]);
    for (std::size_t v = 0; v < 256; ++v) {
      tables.term[c][v] = normalise(static_cast<std::uint8_t>(v), stretch) * weights[c];
    }
  }
  return tables;
}

void remap_scalar(const RemapTables& tables, std::uint8_t* pixels, std::size_t pixel_count) {
  const float* red = tables.term[0].data();
  const float* green = tables.term[1].data();
  const float* blue = tables.term[2].data();
  for (std::size_t k = 0; k < pixel_count; ++k) {
    std::uint8_t* pixel = pixels + 3 * k;
    // Float addition is not associative: red plus green first, then blue.
    const float luma = (red[pixel[0]] + green[pixel[1]]) + blue[pixel[2]];
    const std::uint8_t grey = grey_byte(luma * 255.0f);
    pixel[0] = grey;
    pixel[1] = grey;
    pixel[2] = grey;
  }
}

}  // namespace kernels

#if defined(__x86_64__) && defined(__GNUC__)
#define VORN_WIDE_REMAP 1
#define VORN_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))
// GCC 12's own intrinsics start from deliberately undefined vectors and set
// off this warning wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace {

// The byte plane `plane` of a 256-entry float table, looked up for the 64
// byte indices in `index`: two 128-entry byte permutes, one for each half of
// the table, chosen by bit 7 of the index (`upper`).
VORN_WIDE_TARGET inline __m512i look_up_plane(const std::uint8_t* plane, __m512i index,
                                              __mmask64 upper) {
  const __m512i low = _mm512_permutex2var_epi8(_mm512_load_si512(plane), index,
                                               _mm512_load_si512(plane + 64));
  const __m512i high = _mm512_permutex2var_epi8(_mm512_load_si512(plane + 128), index,
                                                _mm512_load_si512(plane + 192));
  return _mm512_mask_blend_epi8(upper, low, high);
}

// The four 16-float vectors of one channel's terms for 64 byte indices, in
// the lane order that the unpacks give (undone by the packs in remap_wide).
struct Terms64 {
  __m512 v[4];
};

VORN_WIDE_TARGET inline Terms64 look_up_terms(const std::uint8_t (*planes)[256], __m512i index) {
  const __mmask64 upper = _mm512_movepi8_mask(index);
  const __m512i b0 = look_up_plane(planes[0], index, upper);
  const __m512i b1 = look_up_plane(planes[1], index, upper);
  const __m512i b2 = look_up_plane(planes[2], index, upper);
  const __m512i b3 = look_up_plane(planes[3], index, upper);
  const __m512i lo01 = _mm512_unpacklo_epi8(b0, b1);
  const __m512i hi01 = _mm512_unpackhi_epi8(b0, b1);
  const __m512i lo23 = _mm512_unpacklo_epi8(b2, b3);
  const __m512i hi23 = _mm512_unpackhi_epi8(b2, b3);
  return Terms64{{_mm512_castsi512_ps(_mm512_unpacklo_epi16(lo01, lo23)),
                  _mm512_castsi512_ps(_mm512_unpackhi_epi16(lo01, lo23)),
                  _mm512_castsi512_ps(_mm512_unpacklo_epi16(hi01, hi23)),
                  _mm512_castsi512_ps(_mm512_unpackhi_epi16(hi01, hi23))}};
}

// grey_byte on 16 lanes, as 32-bit integers, not yet clamped: the scaled
// luma is never negative and at most 256 after rounding, and the saturating
// packs in remap_wide clamp 256 to 255.
VORN_WIDE_TARGET inline __m512i grey_lanes(__m512 red, __m512 green, __m512 blue) {
  const __m512 scale = _mm512_set1_ps(255.0f);
  const __m512 scaled = _mm512_mul_ps(_mm512_add_ps(_mm512_add_ps(red, green), blue), scale);
  const __m512 whole = _mm512_roundscale_ps(scaled, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  const __mmask16 up =
      _mm512_cmp_ps_mask(_mm512_sub_ps(scaled, whole), _mm512_set1_ps(0.5f), _CMP_GE_OQ);
  const __m512i truncated = _mm512_cvttps_epi32(whole);
  return _mm512_mask_add_epi32(truncated, up, truncated, _mm512_set1_epi32(1));
}

// Byte indices that gather channel `channel` of 64 pixels from the 192 bytes
// a|b (for pixels whose byte lies in the first 128) and b|c (the others).
struct Deinterleave {
  __m512i from_ab, from_bc;
  __mmask64 use_bc;
};

Deinterleave deinterleave_for(std::size_t channel) {
  alignas(64) std::uint8_t ab[64], bc[64];
  std::uint64_t use_bc = 0;
  for (std::size_t j = 0; j < 64; ++j) {
    const std::size_t at = 3 * j + channel;
    ab[j] = static_cast<std::uint8_t>(at & 127);
    bc[j] = static_cast<std::uint8_t>((at - 64) & 127);
    if (at >= 128) use_bc |= std::uint64_t{1} << j;
  }
  Deinterleave d;
  std::memcpy(&d.from_ab, ab, 64);
  std::memcpy(&d.from_bc, bc, 64);
  d.use_bc = use_bc;
  return d;
}

}  // namespace

namespace kernels {

bool remap_wide_available() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi");
}

VORN_WIDE_TARGET void remap_wide(const RemapTables& tables, std::uint8_t* pixels,
                                 std::size_t pixel_count) {
  // The tables as byte planes: planes[c][p][v] is byte p of term c of v.
  alignas(64) std::uint8_t planes[3][4][256];
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t v = 0; v < 256; ++v) {
      std::uint8_t bytes[4];
      std::memcpy(bytes, &tables.term[c][v], 4);
      for (std::size_t p = 0; p < 4; ++p) planes[c][p][v] = bytes[p];
    }
  }
  Deinterleave channel[3];
  for (std::size_t c = 0; c < 3; ++c) channel[c] = deinterleave_for(c);
  alignas(64) std::uint8_t spread[3][64];  // byte i of output vector q is grey (64q + i) / 3
  for (std::size_t q = 0; q < 3; ++q) {
    for (std::size_t i = 0; i < 64; ++i) spread[q][i] = static_cast<std::uint8_t>((64 * q + i) / 3);
  }
  const __m512i spread0 = _mm512_load_si512(spread[0]);
  const __m512i spread1 = _mm512_load_si512(spread[1]);
  const __m512i spread2 = _mm512_load_si512(spread[2]);

  std::size_t k = 0;
  for (; k + 64 <= pixel_count; k += 64) {
    std::uint8_t* p = pixels + 3 * k;
    const __m512i a = _mm512_loadu_si512(p);
    const __m512i b = _mm512_loadu_si512(p + 64);
    const __m512i c = _mm512_loadu_si512(p + 128);
    Terms64 terms[3];
    for (std::size_t ch = 0; ch < 3; ++ch) {
      const Deinterleave& d = channel[ch];
      const __m512i index =
          _mm512_mask_blend_epi8(d.use_bc, _mm512_permutex2var_epi8(a, d.from_ab, b),
                                 _mm512_permutex2var_epi8(b, d.from_bc, c));
      terms[ch] = look_up_terms(planes[ch], index);
    }
    __m512i grey32[4];
    for (std::size_t q = 0; q < 4; ++q) {
      grey32[q] = grey_lanes(terms[0].v[q], terms[1].v[q], terms[2].v[q]);
    }
    // The packs undo the unpacks' lane order and clamp to 0..255.
    const __m512i grey = _mm512_packus_epi16(_mm512_packus_epi32(grey32[0], grey32[1]),
                                             _mm512_packus_epi32(grey32[2], grey32[3]));
    _mm512_storeu_si512(p, _mm512_permutexvar_epi8(spread0, grey));
    _mm512_storeu_si512(p + 64, _mm512_permutexvar_epi8(spread1, grey));
    _mm512_storeu_si512(p + 128, _mm512_permutexvar_epi8(spread2, grey));
  }
  // Scalar code after wide code with dirty upper halves runs several times
  // slower on some processors, the caller's included; GCC leaves this out
  // before the tail call.
  _mm256_zeroupper();
  remap_scalar(tables, pixels + 3 * k, pixel_count - k);
}


#define VORN_GATHER_TARGET __attribute__((target("avx2")))

bool remap_gather_available() { return __builtin_cpu_supports("avx2"); }

VORN_GATHER_TARGET void remap_gather(const RemapTables& tables, std::uint8_t* pixels,
                                     std::size_t pixel_count) {
  // Eight pixels a step: the two 16-byte loads of a step read 4 bytes past
  // its 24, so the last steps are left to the scalar loop.
  const __m256i pick_red = _mm256_setr_epi8(0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1,
                                            -1, 0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1,
                                            -1, -1);
  const __m256i one_byte = _mm256_set1_epi32(1);
  const __m256i spread = _mm256_setr_epi8(0, 0, 0, 4, 4, 4, 8, 8, 8, 12, 12, 12, -1, -1, -1, -1, 0,
                                          0, 0, 4, 4, 4, 8, 8, 8, 12, 12, 12, -1, -1, -1, -1);
  const __m256i close_gap = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
  const __m256 scale = _mm256_set1_ps(255.0f);
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256 one = _mm256_set1_ps(1.0f);
  const float* red = tables.term[0].data();
  const float* green = tables.term[1].data();
  const float* blue = tables.term[2].data();
  std::size_t k = 0;
  for (; k + 10 <= pixel_count; k += 8) {
    std::uint8_t* p = pixels + 3 * k;
    const __m256i bytes =
        _mm256_set_m128i(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    const __m256i pick_green = _mm256_add_epi8(pick_red, one_byte);
    const __m256i pick_blue = _mm256_add_epi8(pick_green, one_byte);
    const __m256 t_red = _mm256_i32gather_ps(red, _mm256_shuffle_epi8(bytes, pick_red), 4);
    const __m256 t_green = _mm256_i32gather_ps(green, _mm256_shuffle_epi8(bytes, pick_green), 4);
    const __m256 t_blue = _mm256_i32gather_ps(blue, _mm256_shuffle_epi8(bytes, pick_blue), 4);
    const __m256 scaled = _mm256_mul_ps(_mm256_add_ps(_mm256_add_ps(t_red, t_green), t_blue), scale);
    __m256 whole = _mm256_round_ps(scaled, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256 up = _mm256_cmp_ps(_mm256_sub_ps(scaled, whole), half, _CMP_GE_OQ);
    whole = _mm256_add_ps(whole, _mm256_and_ps(up, one));
    whole = _mm256_min_ps(_mm256_max_ps(whole, _mm256_setzero_ps()), scale);
    const __m256i grey = _mm256_permutevar8x32_epi32(
        _mm256_shuffle_epi8(_mm256_cvttps_epi32(whole), spread), close_gap);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(grey));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 16), _mm256_extracti128_si256(grey, 1));
  }
  _mm256_zeroupper();  // as in remap_wide
  remap_scalar(tables, pixels + 3 * k, pixel_count - k);
}

}  // namespace kernels

#pragma GCC diagnostic pop
#else

namespace kernels {
bool remap_wide_available() { return false; }
void remap_wide(const RemapTables& tables, std::uint8_t* pixels, std::size_t pixel_count) {
  remap_scalar(tables, pixels, pixel_count);
}
bool remap_gather_available() { return false; }
void remap_gather(const RemapTables& tables, std::uint8_t* pixels, std::size_t pixel_count) {
  remap_scalar(tables, pixels, pixel_count);
}
}  // namespace kernels

#endif

namespace {

// Everything before the remap. A frame of its own, so that its histograms and
// lists are off the stack before the remap's tables go on: the level fix runs
// on whatever thread calls it, and Python lets threads have 32 KiB stacks.
__attribute__((noinline)) std::optional<Levels> levels_of(const std::uint8_t* pixels,
                                                          std::size_t length,
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

#include "kernels.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>

#include "platform.hpp"

namespace vorn::kernels {
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

// |stride| without overflow: the most negative stride has no signed magnitude.
std::size_t magnitude(std::ptrdiff_t stride) {
  const auto bits = static_cast<std::size_t>(stride);
  return stride < 0 ? std::size_t{0} - bits : bits;
}

}  // namespace

void copy_pixels(const PixelLayout& from, std::uint8_t* out) {
  if (from.bytes() == 0) return;
  const std::uint8_t* source = from.data;
  if (from.contiguous && source != nullptr) {
    std::memcpy(out, source, from.bytes());
    return;
  }
  const std::ptrdiff_t row_stride = from.row_stride, column_stride = from.column_stride,
                       channel_stride = from.channel_stride;
  const std::size_t row_bytes = 3 * from.width;
  auto source_at = [&](std::size_t y, std::size_t x) {
    return source + static_cast<std::ptrdiff_t>(y) * row_stride +
           static_cast<std::ptrdiff_t>(x) * column_stride;
  };
  // The three bytes of one pixel; adjacent ones move together.
  auto copy_pixel = [channel_stride](std::uint8_t* to, const std::uint8_t* at) {
    if (channel_stride == 1) {
      std::memcpy(to, at, 3);
    } else {
      to[0] = at[0];
      to[1] = at[channel_stride];
      to[2] = at[2 * channel_stride];
    }
  };

  if (channel_stride == 1 && column_stride == 3) {
    // Rows are runs of whole pixels (a slice of rows, a flipped row order).
    for (std::size_t y = 0; y < from.height; ++y) {
      std::memcpy(out + y * row_bytes, source_at(y, 0), row_bytes);
    }
  } else if (magnitude(row_stride) < magnitude(column_stride)) {
    // Column-major layouts (Fortran order): walking a row would touch a new
    // cache line for every pixel, so bands of rows are copied column by
    // column, each column of the band read from neighbouring bytes.
    constexpr std::size_t kBand = 32;
    for (std::size_t y0 = 0; y0 < from.height; y0 += kBand) {
      const std::size_t y1 = std::min(from.height, y0 + kBand);
      for (std::size_t x = 0; x < from.width; ++x) {
        for (std::size_t y = y0; y < y1; ++y) copy_pixel(out + y * row_bytes + 3 * x, source_at(y, x));
      }
    }
  } else {
    for (std::size_t y = 0; y < from.height; ++y) {
      std::uint8_t* row = out + y * row_bytes;
      for (std::size_t x = 0; x < from.width; ++x) copy_pixel(row + 3 * x, source_at(y, x));
    }
  }
}

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

void count_channels_joint(const std::uint8_t* pixels, std::size_t pixel_count,
                          ChannelHistograms& counts, JointTables& scratch, std::size_t run) {
  // Two pixels are three updates: R with G of each, and B of the first with
  // B of the second. Counting is bound by the number of updates, not by the
  // tables' size, which stays within the second-level cache.
  std::uint32_t* const red_green = scratch.red_green;
  std::uint32_t* const blue_blue = scratch.blue_blue;
  const std::size_t run_pixels = run < 2 ? 2 : run;
  std::size_t k = 0;
  while (k < pixel_count) {
    std::memset(&scratch, 0, sizeof scratch);
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

namespace {

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

#if defined(VORN_X86_64)
#define VORN_WIDE_TARGET VORN_TARGET("avx512f,avx512bw,avx512vbmi")
#define VORN_GATHER_TARGET VORN_TARGET("avx2")
VORN_INTRINSICS_BEGIN

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

bool remap_wide_available() { return platform::has_avx512_vbmi(); }

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


bool remap_gather_available() { return platform::has_avx2(); }

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

VORN_INTRINSICS_END
#endif  // VORN_X86_64

}  // namespace

const RemapKernel kRemapKernels[] = {
#if defined(VORN_X86_64)
    {"wide", remap_wide_available, remap_wide},
    {"gather", remap_gather_available, remap_gather},
#endif
    {"scalar", [] { return true; }, remap_scalar},
};
const std::size_t kRemapKernelCount = std::size(kRemapKernels);

const RemapKernel& fastest_remap_kernel() {
  const RemapKernel* const last = kRemapKernels + kRemapKernelCount - 1;
  const RemapKernel* kernel = kRemapKernels;
  while (kernel != last && !kernel->available()) ++kernel;
  return *kernel;
}

}  // namespace vorn::kernels

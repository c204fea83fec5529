#include "png_rows.hpp"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform.hpp"

namespace vorn::png {
namespace {

// The filter types of the PNG standard (ISO/IEC 15948, section 9.2).
enum Filter : std::uint8_t { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };

// Arithmetic on bytes is modulo 256, as PNG has it.
inline std::uint8_t add(std::uint8_t filtered, unsigned predicted) {
  return static_cast<std::uint8_t>(filtered + predicted);
}

// Of left, up and upper left, the one nearest to left + up - upper left;
// ties go to left, then up. Written without branches: on photos the choice
// is a coin toss, and a mispredicted branch costs more than all of this.
inline unsigned paeth(int left, int up, int upper_left) {
  const int pa = std::abs(up - upper_left);
  const int pb = std::abs(left - upper_left);
  const int pc = std::abs(left + up - 2 * upper_left);
  const int up_or_corner = pb <= pc ? up : upper_left;
  const int left_wins = static_cast<int>(pa <= pb) & static_cast<int>(pa <= pc);
  return static_cast<unsigned>(left_wins != 0 ? left : up_or_corner);
}

// Paeth with the pixel size known to the compiler: the chains of a pixel's
// channels, each waiting on its left neighbour, then run side by side.
template <std::size_t kPixelBytes>
void paeth_row(const std::uint8_t* in, const std::uint8_t* prior, std::uint8_t* out,
               std::size_t row_bytes) {
  constexpr std::size_t p = kPixelBytes;
  for (std::size_t i = 0; i < p; ++i) out[i] = add(in[i], prior[i]);  // nothing to the left
  for (std::size_t i = p; i + p <= row_bytes; i += p) {
    for (std::size_t c = 0; c < p; ++c) {
      out[i + c] = add(in[i + c], paeth(out[i + c - p], prior[i + c], prior[i + c - p]));
    }
  }
}

#if defined(VORN_X86_64)
// Paeth on RGB with the three channels of a pixel in 16-bit lanes of one
// SSE2 register (every x86-64 processor has SSE2): the chain through the
// left neighbour is the whole cost on a photo. A pixel is read and written
// as 4 bytes, the fourth its right neighbour's (rewritten next): the last
// pixel of a row, which has none inside the row, is left to the scalar loop.
inline __m128i bytes_of(const std::uint8_t* p, std::size_t count) {
  std::uint32_t v = 0;
  std::memcpy(&v, p, count);
  return _mm_cvtsi32_si128(static_cast<int>(v));
}

// The low 4 bytes of `v` to `p`: a pixel and its right neighbour's first byte.
inline void store_pixel(std::uint8_t* p, __m128i v) {
  const auto bytes = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
  std::memcpy(p, &bytes, 4);
}

inline __m128i load_pixel(const std::uint8_t* p, std::size_t count = 4) {
  return _mm_unpacklo_epi8(bytes_of(p, count), _mm_setzero_si128());
}

inline __m128i absolute(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

inline __m128i select(__m128i mask, __m128i yes, __m128i no) {
  return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

void paeth_rgb(const std::uint8_t* in, const std::uint8_t* prior, std::uint8_t* out,
               std::size_t row_bytes) {
  for (std::size_t i = 0; i < 3; ++i) out[i] = add(in[i], prior[i]);
  if (row_bytes < 6) return;
  __m128i left = load_pixel(out, 3), corner = load_pixel(prior, 3);
  const __m128i low_byte = _mm_set1_epi16(0xff);
  const __m128i all = _mm_set1_epi16(-1);
  std::size_t i = 3;
  for (; i + 3 < row_bytes; i += 3) {
    const __m128i up = load_pixel(prior + i);
    const __m128i pa = absolute(_mm_sub_epi16(up, corner));
    const __m128i pb = absolute(_mm_sub_epi16(left, corner));
    const __m128i pc =
        absolute(_mm_sub_epi16(_mm_add_epi16(up, left), _mm_add_epi16(corner, corner)));
    // pa <= pb and pa <= pc: left; else pb <= pc: up; else the corner.
    const __m128i take_left =
        _mm_andnot_si128(_mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc)), all);
    const __m128i take_up = _mm_andnot_si128(_mm_cmpgt_epi16(pb, pc), all);
    const __m128i predicted = select(take_left, left, select(take_up, up, corner));
    left = _mm_and_si128(_mm_add_epi16(load_pixel(in + i), predicted), low_byte);
    corner = up;
    store_pixel(out + i, _mm_packus_epi16(left, left));
  }
  for (std::size_t c = 0; c < 3; ++c) {
    out[i + c] = add(in[i + c], paeth(out[i + c - 3], prior[i + c], prior[i + c - 3]));
  }
}
#endif

void up_row(const std::uint8_t* in, const std::uint8_t* prior, std::uint8_t* out,
            std::size_t row_bytes) {
  std::size_t i = 0;
#if defined(VORN_X86_64)
  // GCC's -O2 leaves this loop scalar: 16 bytes a step by hand.
  for (; i + 16 <= row_bytes; i += 16) {
    const __m128i sum =
        _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(prior + i)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), sum);
  }
#endif
  for (; i < row_bytes; ++i) out[i] = add(in[i], prior[i]);
}

void sub_row(const std::uint8_t* in, std::uint8_t* out, std::size_t row_bytes,
             std::size_t pixel_bytes) {
  std::memmove(out, in, pixel_bytes);
  std::size_t i = pixel_bytes;
#if defined(VORN_X86_64)
  if (pixel_bytes == 3) {
    // A pixel at a time in one register: the chain is one add a pixel, not one a byte.
    __m128i left = bytes_of(out, 3);
    for (; i + 3 < row_bytes; i += 3) {
      left = _mm_add_epi8(left, bytes_of(in + i, 4));
      store_pixel(out + i, left);
    }
  }
#endif
  for (; i < row_bytes; ++i) out[i] = add(in[i], out[i - pixel_bytes]);
}

void average_row(const std::uint8_t* in, const std::uint8_t* prior, std::uint8_t* out,
                 std::size_t row_bytes, std::size_t pixel_bytes) {
  for (std::size_t i = 0; i < pixel_bytes; ++i) out[i] = add(in[i], prior[i] >> 1U);
  for (std::size_t i = pixel_bytes; i < row_bytes; ++i) {
    const unsigned sum = static_cast<unsigned>(out[i - pixel_bytes]) + prior[i];
    out[i] = add(in[i], sum >> 1U);
  }
}

void paeth_any(const std::uint8_t* in, const std::uint8_t* prior, std::uint8_t* out,
               std::size_t row_bytes, std::size_t pixel_bytes) {
  if (pixel_bytes == 1) {
    paeth_row<1>(in, prior, out, row_bytes);
    return;
  }
#if defined(VORN_X86_64)
  paeth_rgb(in, prior, out, row_bytes);
#else
  paeth_row<3>(in, prior, out, row_bytes);
#endif
}

bool unfilter_row(std::uint8_t type, const std::uint8_t* in, const std::uint8_t* prior,
                  std::uint8_t* out, std::size_t row_bytes, std::size_t pixel_bytes) {
  const std::size_t p = pixel_bytes;
  switch (type) {
    case kNone:
      std::memmove(out, in, row_bytes);
      return true;
    case kSub:
      sub_row(in, out, row_bytes, p);
      return true;
    case kUp:
      up_row(in, prior, out, row_bytes);
      return true;
    case kAverage:
      average_row(in, prior, out, row_bytes, p);
      return true;
    case kPaeth:
      paeth_any(in, prior, out, row_bytes, p);
      return true;
    default:
      return false;
  }
}

}  // namespace

bool unfilter(std::uint8_t* rows, std::size_t height, std::size_t row_bytes,
              std::size_t pixel_bytes) {
  // Row y's pixels go y + 1 bytes before its filtered bytes (its filter type
  // and one byte of every row above are gone). Each step below writes only
  // bytes it has read already, and the row above, read as `prior`, is
  // finished and behind: the rows may be rewritten where they are.
  const std::vector<std::uint8_t> zeros(row_bytes, 0);  // the row above the first
  const std::uint8_t* prior = zeros.data();
  for (std::size_t y = 0; y < height; ++y) {
    const std::uint8_t* row = rows + y * (row_bytes + 1);
    std::uint8_t* target = rows + y * row_bytes;
    const std::uint8_t type = row[0];
    if (!unfilter_row(type, row + 1, prior, target, row_bytes, pixel_bytes)) return false;
    prior = target;
  }
  return true;
}

}  // namespace vorn::png

// PNG's row filters undone: the inflated image data of a PNG (each row one
// filter-type byte and its filtered bytes) into plain row-major samples.
//
// The command line decodes a PNG's pixels with libdeflate and this, where
// libpng inflates with zlib: libdeflate inflates a page in two thirds of
// zlib's time, and the filters are cheap beside either. Only what libpng
// would read the same way comes here (8-bit grey or RGB, not interlaced);
// the caller checks that. Python-free and stateless: safe from any thread.
#ifndef VORN_HYST_PNG_ROWS_HPP_
#define VORN_HYST_PNG_ROWS_HPP_

#include <cstddef>
#include <cstdint>

namespace vorn::png {

// Undoes the filters of `height` rows of `row_bytes` bytes in place:
// `rows` holds the inflated stream, each row its filter type and then its
// bytes, and afterwards holds the pixels, row after row, from its start (the
// last `height` bytes are left over). `pixel_bytes` is the bytes of one pixel
// (1 for grey, 3 for RGB). Returns false, with `rows` partly rewritten, at a
// row whose filter type is unknown.
// REQUIRES: pixel_bytes is 1 or 3; row_bytes is a multiple of it, at least
//           one pixel; `rows` holds height * (1 + row_bytes) bytes.
bool unfilter(std::uint8_t* rows, std::size_t height, std::size_t row_bytes,
              std::size_t pixel_bytes);

}  // namespace vorn::png

#endif  // VORN_HYST_PNG_ROWS_HPP_

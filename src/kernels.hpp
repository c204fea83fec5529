// The records of the level fix and the per-pixel passes over them: the copy
// of an image into row-major RGB bytes, the channel count, and the remap to
// grey. The stages above (level_fix, peaks) include this; it includes none
// of them.
#ifndef VORN_HYST_KERNELS_HPP_
#define VORN_HYST_KERNELS_HPP_

#include <array>
#include <cstddef>
#include <cstdint>

namespace vorn {

// 256 counts indexed by channel value.
using ChannelHistogram = std::array<std::uint64_t, 256>;
using ChannelHistograms = std::array<ChannelHistogram, 3>;  // R, G, B

// Per channel, the bins that become black and white (dark <= light).
struct ChannelLevels {
  std::uint8_t dark = 0;
  std::uint8_t light = 0;
};
using Levels = std::array<ChannelLevels, 3>;  // R, G, B

// Per channel and byte value, the weighted stretched term of the luma. A
// channel's term depends on its own byte only, so a table holds each term
// exactly as the per-pixel formula computes it.
struct RemapTables {
  std::array<std::array<float, 256>, 3> term;  // R, G, B
};

// Where the bytes of an (H, W, 3) image are: strides in bytes, possibly
// negative (reversed views) or zero (broadcasts).
struct PixelLayout {
  const std::uint8_t* data = nullptr;
  std::size_t height = 0, width = 0;
  std::ptrdiff_t row_stride = 0, column_stride = 0, channel_stride = 0;
  bool contiguous = false;  // C order and aligned: one block
  std::size_t bytes() const { return height * width * 3; }
};

namespace kernels {

// Row-major RGB bytes of the image, whatever its layout, into `out`
// (layout.bytes() long). An image without bytes is not read.
void copy_pixels(const PixelLayout& from, std::uint8_t* out);

// Sub-counts are 32-bit; a run this long cannot overflow one even if every
// pixel lands in the same bin.
inline constexpr std::size_t kMaxCountRun = std::size_t{1} << 30;

// Adds the counts of `pixel_count` interleaved RGB pixels to `counts`,
// folding the 32-bit sub-counts in after at most `run` pixels each time.
void count_channels(const std::uint8_t* pixels, std::size_t pixel_count,
                    ChannelHistograms& counts, std::size_t run = kMaxCountRun);

// Scratch of count_channels_joint: 512 KiB, too much for a thread's stack.
struct JointTables {
  std::uint32_t red_green[65536];  // index R + 256 G of one pixel
  std::uint32_t blue_blue[65536];  // index B + 256 B' of a pixel pair
};

// The same with two joint tables, R with G of each pixel and B with B of
// each pixel pair: three counter updates per two pixels instead of six.
void count_channels_joint(const std::uint8_t* pixels, std::size_t pixel_count,
                          ChannelHistograms& counts, JointTables& scratch,
                          std::size_t run = kMaxCountRun);

RemapTables remap_tables(const Levels& levels);

// Grey byte of the luma (R + G) + B of the terms, into all three channels
// of each of `pixel_count` pixels.
using RemapFunction = void (*)(const RemapTables& tables, std::uint8_t* pixels,
                               std::size_t pixel_count);

struct RemapKernel {
  const char* name;
  bool (*available)();  // whether this processor can run it
  RemapFunction run;
};

// Every remap kernel, fastest first; the last, the scalar loop, runs
// anywhere. The dispatch takes the first available one, and the unit tests
// run each available one.
extern const RemapKernel kRemapKernels[];
extern const std::size_t kRemapKernelCount;

const RemapKernel& fastest_remap_kernel();

}  // namespace kernels
}  // namespace vorn

#endif  // VORN_HYST_KERNELS_HPP_

// The document rule: levels for a scanned page from its paper and its ink,
// for the pages whose histograms have no clear ink peak (thin strokes, faded
// ink, uneven paper), and a refusal with its reason for anything else.
//
// A page is paper with ink on it. The rule measures the paper on a grid of
// blocks (its level tile by tile, its colour), takes off uniform bands along
// the edges that are not paper (scanner background, table, book edges),
// reads the ink from the mass of pixels darker than the paper, and then
// checks what a fix would do: whether anything keeps a colour of its own
// once a neutral ink mixed with the paper (and the paper's own tint) is
// accounted for, and whether parts of the page with content would lose it
// to black or white. Each channel's level is read at the same rank of luma,
// so on a monochrome page the three levels come from the same pixels and a
// tint cancels out. The levels are written by the level fix's own
// remap_to_grey, so the grey is computed exactly as the module computes it.
//
// Two passes over the pixels (block means, then the luma histogram of the
// page without its background); everything else works on the block grid.
// Free of Python, like the level fix; reads the image, never writes it.
// Thread-safe: no state outside the call.
#ifndef VORN_HYST_DOCUMENT_HPP_
#define VORN_HYST_DOCUMENT_HPP_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "kernels.hpp"

namespace vorn::document {

// The thresholds, chosen on a labelled corpus of real scans (see the README).
struct DocumentParams {
  std::size_t blocks_across = 400;  // blocks on the short side (at least 4 px each)
  std::size_t tiles_across = 16;    // tiles on the short side, for paper and loss
  double background_depth = 0.2;    // how far from an edge a background may reach
  double max_background = 0.4;      // more than this of the image is no background
  double ink_rank = 0.12;           // the dark level's rank in the ink mass
  double light_sigmas = 2.5;        // the light level: paper's mode less this many σ
  double paper_gap = 28;            // ink is at least this far below the paper's mode
  double min_ink_share = 0.0005;    // less ink than this: blank
  double min_paper_share = 0.35;    // less paper than this: not a document
  double max_roughness = 17.5;      // paper level steps between tiles beyond this: a picture
                                    // (pages and their scans stay below 16, sky and foliage reach 19)
  double ink_tolerance = 20;        // the ink's own colour, outside the warm cone
  double colour_floor = 12;         // a block's colour deviation that counts at all
  double dark_floor = 0.25;         // ... raised by this share of its darkness
  std::size_t min_mark = 10;        // blocks of the smallest colour mark (on a full grid)
  double colour_limit = 10;         // colour marks' score (per mille of blocks, weighted)
  double loss_contrast = 0.3;       // a tile with content spans this share of ink to paper
  double lost_share = 0.02;         // share of content tiles that may lose their contrast
  double black_limit = 0.25;        // share of the page that may become pure black
};

struct Rgb {
  double r = 0, g = 0, b = 0;
};

inline double luma_of(const Rgb& c) { return (77.0 * c.r + 150.0 * c.g + 29.0 * c.b) / 256.0; }

// ---- stage 1: the block grid ----------------------------------------------

struct Block {
  float r = 0, g = 0, b = 0, y = 0;  // means over the block
};

struct BlockGrid {
  std::size_t size = 1;  // pixels per block side
  std::size_t rows = 0, cols = 0;
  std::vector<Block> blocks;  // row-major
  const Block& at(std::size_t i, std::size_t j) const { return blocks[i * cols + j]; }
};

// The block side for an image: about `blocks_across` blocks on its short side.
std::size_t block_size(std::size_t width, std::size_t height, const DocumentParams& params);

// Mean colour of every whole block; the last partial row and column of
// pixels belong to no block.
BlockGrid block_means(const std::uint8_t* pixels, std::size_t width, std::size_t height,
                      std::size_t block);

// ---- stage 2: the paper ----------------------------------------------------

// One block per byte: 1 where the block is background, not page.
using Mask = std::vector<std::uint8_t>;

struct Paper {
  double y = 0;        // the page's paper luma: the median of the tiles' estimates
  Rgb colour;          // its colour
  double roughness = 0;  // the 90th percentile of the steps between neighbouring tiles
  std::size_t tile = 1;  // blocks per tile side
  std::size_t tile_rows = 0, tile_cols = 0;
  std::vector<double> tile_y;    // per tile: a high percentile of its blocks' luma
  std::vector<Rgb> tile_colour;  // per tile: the mean colour of those blocks
  Rgb colour_at(const BlockGrid& grid, std::size_t i, std::size_t j) const;
};

// The paper, from the blocks not in `mask` (none when null).
Paper estimate_paper(const BlockGrid& grid, const Mask* mask, const DocumentParams& params);

// ---- stage 3: the background -------------------------------------------------

// Regions reached from the image's edges that are not paper and of one colour
// (a scanner's lid, a table, the book's edges), no deeper than
// `background_depth`, with the blocks where they meet the page.
Mask background_mask(const BlockGrid& grid, const Paper& paper, const DocumentParams& params);

// ---- stage 4: the luma histogram -------------------------------------------

struct LumaHistogram {
  std::array<std::uint64_t, 256> count{};
  std::array<std::array<std::uint64_t, 256>, 3> sums{};  // R, G, B per luma
  std::uint64_t pixels = 0;
};

// The histogram of integer luma (77 R + 150 G + 29 B + 128) >> 8 over the
// pixels of the blocks not in `mask`, with the channels' sums per luma. It
// samples the pixels of even row and column: a quarter of the work, and the
// same levels within a fraction of a grey level.
LumaHistogram luma_histogram(const std::uint8_t* pixels, std::size_t width,
                             const BlockGrid& grid, const Mask& mask);

// ---- stage 5: ink, paper and the levels ----------------------------------------

struct InkAndPaper {
  int mode = 0;          // the paper heap's mode
  double sigma = 0;      // its spread, from its upper side
  int light_y = 0;       // the luma that becomes white
  int dark_y = 0;        // the luma that becomes black
  int edge = 0;          // the paper heap's lower edge: ink is darker
  double paper_share = 0, ink_share = 0;
  double bright_share = 0;     // far brighter than the paper heap
  double black_ink_share = 0;  // of the ink, how much is black already (luma 0 to 2)
  Rgb ink;               // the mean colour of the ink at and below dark_y
  std::optional<Levels> levels;  // per channel, read at dark_y and light_y
};

InkAndPaper ink_and_paper(const LumaHistogram& histogram, const Paper& paper,
                          const DocumentParams& params);

// ---- stage 6: colour ---------------------------------------------------------------

struct ColourMeasure {
  double vivid_share = 0;  // blocks plainly coloured in themselves
  double ink_excess = 0;   // how far the ink's own colour is from neutral or warm
  double score = 0;        // colour marks, per mille of the blocks, weighted by their colour
  std::size_t largest = 0;  // blocks of the largest mark
  std::size_t marks = 0;    // marks counted
  std::size_t lines = 0;    // rulings and margin lines taken out
};

ColourMeasure measure_colour(const BlockGrid& grid, const Paper& paper, const Mask& mask,
                             const InkAndPaper& ink, const DocumentParams& params);

// ---- stage 7: content loss --------------------------------------------------------------

struct LossMeasure {
  std::size_t content_tiles = 0;  // tiles with ink-like contrast
  std::size_t lost_tiles = 0;     // of those, the ones the levels flatten
  double black_share = 0;         // pixels that become pure black
};

LossMeasure measure_loss(const BlockGrid& grid, const Paper& paper, const Mask& mask,
                         const LumaHistogram& histogram, const InkAndPaper& ink,
                         const DocumentParams& params);

// ---- the chain ---------------------------------------------------------------------------

enum class Refusal : std::uint8_t {
  kNone,         // fixed with `levels`
  kBlank,        // no ink at all
  kNotDocument,  // no even paper, too little of it, or levels that cross
  kInkColour,    // the ink itself is coloured
  kColour,       // colour marks
  kLoss,         // content lost to black or white
};

struct DocumentAnalysis {
  std::size_t width = 0, height = 0;
  std::size_t block = 0;
  double background_share = 0;
  Paper paper;
  InkAndPaper ink;
  ColourMeasure colour;
  LossMeasure loss;
  Refusal refusal = Refusal::kNotDocument;
  std::optional<Levels> levels;  // only when refusal is kNone
};

// The whole rule over a row-major RGB image of width x height pixels.
DocumentAnalysis analyse_document(const std::uint8_t* pixels, std::size_t width,
                                  std::size_t height, const DocumentParams& params = {});

}  // namespace vorn::document

#endif  // VORN_HYST_DOCUMENT_HPP_

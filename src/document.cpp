#include "document.hpp"

#include <algorithm>
#include <cmath>
#include <deque>

namespace vorn::document {
namespace {

// ---- colour differences ------------------------------------------------------------
//
// Differences are judged in two opponent directions: red-green (a = R - G)
// and yellow-blue (y = (R + G) / 2 - B). The warm cone holds what aging
// paper and iron-gall ink do: more yellow, a little more red or green.

struct Opponent {
  double a = 0, y = 0;
};

Opponent opponent(double dr, double dg, double db) { return {dr - dg, (dr + dg) / 2 - db}; }

double opponent_distance(double dr, double dg, double db) {
  const Opponent o = opponent(dr, dg, db);
  return std::sqrt(o.a * o.a + o.y * o.y);
}

// How far a difference lies outside the warm cone.
double excess(double dr, double dg, double db) {
  const Opponent o = opponent(dr, dg, db);
  const double yellow = std::max(o.y, 0.0);
  const double over = std::max(0.0, std::max(o.a - yellow, -0.35 * yellow - o.a));
  const double blue = std::min(o.y, 0.0);
  return std::sqrt(over * over + blue * blue);
}

// A colour's own chroma outside the warm cone.
double own_excess(const Rgb& c) {
  const double mean = (c.r + c.g + c.b) / 3;
  return excess(c.r - mean, c.g - mean, c.b - mean);
}

Rgb colour_of(const Block& b) { return {b.r, b.g, b.b}; }

// numpy's default percentile: linear between the closest ranks. Reorders `v`.
double percentile(std::vector<double>& v, double q) {
  if (v.empty()) return 0;
  const double rank = q / 100.0 * static_cast<double>(v.size() - 1);
  const auto low = static_cast<std::size_t>(std::floor(rank));
  const std::size_t high = std::min(low + 1, v.size() - 1);
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(low), v.end());
  const double at_low = v[low];
  double at_high = at_low;
  if (high != low) {
    at_high = *std::min_element(v.begin() + static_cast<std::ptrdiff_t>(high), v.end());
  }
  return at_low + (rank - static_cast<double>(low)) * (at_high - at_low);
}

double median_of(std::vector<double> v) { return percentile(v, 50); }

int round_half_up(double x) { return static_cast<int>(std::floor(x + 0.5)); }

// Where tile `t` of `tiles` starts, over `count` blocks.
std::size_t tile_start(std::size_t t, std::size_t tiles, std::size_t count) {
  return t * count / tiles;
}

// The tile that block `i` of `count` is in: the last one that starts at or before it.
std::size_t tile_of(std::size_t i, std::size_t tiles, std::size_t count) {
  return ((i + 1) * tiles + count - 1) / count - 1;
}

}  // namespace

// ---- stage 1 ---------------------------------------------------------------------------

std::size_t block_size(std::size_t width, std::size_t height, const DocumentParams& params) {
  const std::size_t across = std::max<std::size_t>(1, params.blocks_across);
  const std::size_t short_side = std::min(width, height);
  return std::max<std::size_t>(4, (short_side + across / 2) / across);
}

namespace {

// Block sums in two steps: each of a block row's pixel rows is added byte for
// byte into per-column totals, a loop of plain adds that compilers turn into
// vector code; then each block's columns are added up. `Total` holds a column
// of `block` bytes (uint16_t up to 257 rows).
template <typename Total>
void add_block_rows(const std::uint8_t* rows, std::size_t row_bytes, std::size_t block,
                    std::size_t used, Total* column) {
  std::fill(column, column + used, Total{0});
  for (std::size_t dy = 0; dy < block; ++dy) {
    const std::uint8_t* p = rows + dy * row_bytes;
    for (std::size_t x = 0; x < used; ++x) column[x] = static_cast<Total>(column[x] + p[x]);
  }
}

// `Width` columns a block, unrolled for the common widths (0: `block`).
template <std::size_t Width, typename Total>
void fill_block_row(const Total* column, std::size_t block, float area, Block* out,
                    std::size_t cols) {
  const std::size_t width = Width != 0 ? Width : block;
  for (std::size_t j = 0; j < cols; ++j, column += 3 * width) {
    std::uint32_t r = 0, g = 0, b = 0;
    for (std::size_t k = 0; k < 3 * width; k += 3) {
      r += column[k];
      g += column[k + 1];
      b += column[k + 2];
    }
    Block& o = out[j];
    o.r = static_cast<float>(r) / area;
    o.g = static_cast<float>(g) / area;
    o.b = static_cast<float>(b) / area;
    o.y = (77.0f * o.r + 150.0f * o.g + 29.0f * o.b) / 256.0f;
  }
}

template <typename Total>
void fill_grid(const std::uint8_t* pixels, std::size_t width, BlockGrid& grid) {
  const std::size_t block = grid.size, used = 3 * grid.cols * block;
  const auto area = static_cast<float>(block * block);
  std::vector<Total> column(used);
  for (std::size_t i = 0; i < grid.rows; ++i) {
    add_block_rows(pixels + i * block * 3 * width, 3 * width, block, used, column.data());
    const Total* sums = column.data();
    Block* out = &grid.blocks[i * grid.cols];
    switch (block) {
      case 4: fill_block_row<4>(sums, block, area, out, grid.cols); break;
      case 5: fill_block_row<5>(sums, block, area, out, grid.cols); break;
      case 6: fill_block_row<6>(sums, block, area, out, grid.cols); break;
      case 8: fill_block_row<8>(sums, block, area, out, grid.cols); break;
      default: fill_block_row<0>(sums, block, area, out, grid.cols); break;
    }
  }
}

}  // namespace

BlockGrid block_means(const std::uint8_t* pixels, std::size_t width, std::size_t height,
                      std::size_t block) {
  BlockGrid grid;
  grid.size = block;
  grid.rows = height / block;
  grid.cols = width / block;
  grid.blocks.resize(grid.rows * grid.cols);
  if (block <= 257) {
    fill_grid<std::uint16_t>(pixels, width, grid);
  } else {
    fill_grid<std::uint32_t>(pixels, width, grid);
  }
  return grid;
}

// ---- stage 2 -----------------------------------------------------------------------------

Rgb Paper::colour_at(const BlockGrid& grid, std::size_t i, std::size_t j) const {
  return tile_colour[tile_of(i, tile_rows, grid.rows) * tile_cols + tile_of(j, tile_cols, grid.cols)];
}

namespace {

// The blocks of tile (ti, tj) of the paper's tiling: rows [i0, i1), columns [j0, j1).
struct TileSpan {
  std::size_t i0, i1, j0, j1;
};

TileSpan tile_span(const BlockGrid& grid, const Paper& paper, std::size_t ti, std::size_t tj) {
  return {tile_start(ti, paper.tile_rows, grid.rows), tile_start(ti + 1, paper.tile_rows, grid.rows),
          tile_start(tj, paper.tile_cols, grid.cols), tile_start(tj + 1, paper.tile_cols, grid.cols)};
}

// The lumas of a tile's blocks outside `mask` (all of them without one), into `out`.
void tile_lumas(const BlockGrid& grid, const TileSpan& t, const Mask* mask,
                std::vector<double>& out) {
  out.clear();
  for (std::size_t i = t.i0; i < t.i1; ++i) {
    for (std::size_t j = t.j0; j < t.j1; ++j) {
      if (mask == nullptr || (*mask)[i * grid.cols + j] == 0) out.push_back(grid.at(i, j).y);
    }
  }
}

}  // namespace

Paper estimate_paper(const BlockGrid& grid, const Mask* mask, const DocumentParams& params) {
  Paper paper;
  const std::size_t short_side = std::min(grid.rows, grid.cols);
  paper.tile = std::max<std::size_t>(4, short_side / std::max<std::size_t>(1, params.tiles_across));
  paper.tile_rows = std::max<std::size_t>(1, grid.rows / paper.tile);
  paper.tile_cols = std::max<std::size_t>(1, grid.cols / paper.tile);
  const std::size_t tiles = paper.tile_rows * paper.tile_cols;
  paper.tile_y.assign(tiles, 0);
  paper.tile_colour.assign(tiles, Rgb{});
  std::vector<std::uint8_t> present(tiles, 0);
  std::vector<double> lumas;
  for (std::size_t ti = 0; ti < paper.tile_rows; ++ti) {
    for (std::size_t tj = 0; tj < paper.tile_cols; ++tj) {
      const TileSpan span = tile_span(grid, paper, ti, tj);
      tile_lumas(grid, span, mask, lumas);
      // A tile mostly of background says nothing about the paper.
      if (lumas.empty() || (mask != nullptr && lumas.size() < 16)) continue;
      const double high = percentile(lumas, 80);
      Rgb sum;
      std::size_t n = 0;
      for (std::size_t i = span.i0; i < span.i1; ++i) {
        for (std::size_t j = span.j0; j < span.j1; ++j) {
          const Block& b = grid.at(i, j);
          if ((mask != nullptr && (*mask)[i * grid.cols + j] != 0) || b.y < high - 1) continue;
          sum.r += b.r;
          sum.g += b.g;
          sum.b += b.b;
          ++n;
        }
      }
      const std::size_t t = ti * paper.tile_cols + tj;
      paper.tile_y[t] = high;
      const double count = static_cast<double>(std::max<std::size_t>(1, n));
      paper.tile_colour[t] = Rgb{sum.r / count, sum.g / count, sum.b / count};
      present[t] = 1;
    }
  }
  std::vector<double> ys;
  for (std::size_t t = 0; t < tiles; ++t) {
    if (present[t] != 0) ys.push_back(paper.tile_y[t]);
  }
  if (ys.empty()) return paper;
  paper.y = median_of(ys);
  std::array<std::vector<double>, 3> channels;
  for (int pass = 0; pass < 2 && channels[0].empty(); ++pass) {
    for (std::size_t t = 0; t < tiles; ++t) {
      if (present[t] == 0 || (pass == 0 && std::fabs(paper.tile_y[t] - paper.y) >= 12)) continue;
      channels[0].push_back(paper.tile_colour[t].r);
      channels[1].push_back(paper.tile_colour[t].g);
      channels[2].push_back(paper.tile_colour[t].b);
    }
  }
  paper.colour = Rgb{median_of(channels[0]), median_of(channels[1]), median_of(channels[2])};
  std::vector<double> steps;
  for (std::size_t ti = 0; ti < paper.tile_rows; ++ti) {
    for (std::size_t tj = 0; tj < paper.tile_cols; ++tj) {
      const std::size_t t = ti * paper.tile_cols + tj;
      if (present[t] == 0) continue;
      if (ti + 1 < paper.tile_rows && present[t + paper.tile_cols] != 0) {
        steps.push_back(std::fabs(paper.tile_y[t + paper.tile_cols] - paper.tile_y[t]));
      }
      if (tj + 1 < paper.tile_cols && present[t + 1] != 0) {
        steps.push_back(std::fabs(paper.tile_y[t + 1] - paper.tile_y[t]));
      }
    }
  }
  paper.roughness = percentile(steps, 90);
  for (std::size_t t = 0; t < tiles; ++t) {
    if (present[t] == 0) {
      paper.tile_y[t] = paper.y;
      paper.tile_colour[t] = paper.colour;
    }
  }
  return paper;
}

// ---- stage 3 ------------------------------------------------------------------------------

namespace {

constexpr double kBackgroundTolerance = 11;  // of a block against its region, and off paper
constexpr double kRegionLumaStep = 30;
constexpr double kUniformTolerance = 22;

struct Region {
  std::vector<std::size_t> members;
  std::size_t edge = 0;  // members on the image's outer ring
};

Region grow_region(const BlockGrid& grid, const std::vector<std::uint8_t>& off,
                   std::vector<std::uint8_t>& taken, std::size_t seed, std::size_t depth_rows,
                   std::size_t depth_cols) {
  Region region;
  Rgb total = colour_of(grid.blocks[seed]);
  double total_y = grid.blocks[seed].y;
  std::deque<std::size_t> queue{seed};
  taken[seed] = 1;
  while (!queue.empty()) {
    const std::size_t k = queue.front();
    queue.pop_front();
    region.members.push_back(k);
    const std::size_t i = k / grid.cols, j = k % grid.cols;
    if (i == 0 || j == 0 || i + 1 == grid.rows || j + 1 == grid.cols) ++region.edge;
    const double n = static_cast<double>(region.members.size());
    const Rgb mean{total.r / n, total.g / n, total.b / n};
    const double mean_y = total_y / n;
    static constexpr std::array<std::array<std::ptrdiff_t, 2>, 4> kSteps{
        {{1, 0}, {-1, 0}, {0, 1}, {0, -1}}};
    for (const auto& [di, dj] : kSteps) {
      const std::ptrdiff_t ni = static_cast<std::ptrdiff_t>(i) + di;
      const std::ptrdiff_t nj = static_cast<std::ptrdiff_t>(j) + dj;
      if (ni < 0 || nj < 0 || ni >= static_cast<std::ptrdiff_t>(grid.rows) ||
          nj >= static_cast<std::ptrdiff_t>(grid.cols)) {
        continue;
      }
      const auto ui = static_cast<std::size_t>(ni), uj = static_cast<std::size_t>(nj);
      const std::size_t nk = ui * grid.cols + uj;
      if (taken[nk] != 0 || off[nk] == 0) continue;
      const bool deep = std::min(ui, grid.rows - 1 - ui) >= depth_rows &&
                        std::min(uj, grid.cols - 1 - uj) >= depth_cols;
      if (deep) continue;
      const Block& b = grid.blocks[nk];
      if (opponent_distance(b.r - mean.r, b.g - mean.g, b.b - mean.b) > kBackgroundTolerance ||
          std::fabs(b.y - mean_y) > kRegionLumaStep) {
        continue;
      }
      taken[nk] = 1;
      queue.push_back(nk);
      total.r += b.r;
      total.g += b.g;
      total.b += b.b;
      total_y += b.y;
    }
  }
  return region;
}

bool is_background(const BlockGrid& grid, const Region& region, double brightest) {
  std::array<std::vector<double>, 3> channels;
  for (const std::size_t k : region.members) {
    channels[0].push_back(grid.blocks[k].r);
    channels[1].push_back(grid.blocks[k].g);
    channels[2].push_back(grid.blocks[k].b);
  }
  const Rgb median{median_of(channels[0]), median_of(channels[1]), median_of(channels[2])};
  std::size_t scattered = 0;
  for (const std::size_t k : region.members) {
    const Block& b = grid.blocks[k];
    if (opponent_distance(b.r - median.r, b.g - median.g, b.b - median.b) > kUniformTolerance) {
      ++scattered;
    }
  }
  const bool uniform = static_cast<double>(scattered) <
                       0.1 * static_cast<double>(region.members.size());
  const bool dull = own_excess(median) < 15;
  const bool dark = luma_of(median) < 0.5 * brightest;
  const double short_side = static_cast<double>(std::min(grid.rows, grid.cols));
  const auto edge = static_cast<double>(region.edge);
  // A long run along an edge is background whatever its colour (a blue lid);
  // a short one only if it is neutral, warm or dark: a coloured mark that
  // reaches the edge stays on the page.
  return uniform && (edge >= 0.25 * short_side || ((dull || dark) && edge >= 0.02 * short_side));
}

}  // namespace

Mask background_mask(const BlockGrid& grid, const Paper& paper, const DocumentParams& params) {
  const std::size_t count = grid.rows * grid.cols;
  Mask mask(count, 0);
  if (count == 0) return mask;
  std::vector<std::uint8_t> off(count, 0);
  double brightest = 0;
  const double scale = 1.0 / std::max(1.0, paper.y);
  for (std::size_t k = 0; k < count; ++k) {
    const Block& b = grid.blocks[k];
    brightest = std::max(brightest, static_cast<double>(b.y));
    const double f = b.y * scale;
    off[k] = static_cast<std::uint8_t>(std::fabs(b.y - paper.y) > std::max(24.0, 0.12 * paper.y) ||
             excess(b.r - paper.colour.r * f, b.g - paper.colour.g * f,
                    b.b - paper.colour.b * f) > kBackgroundTolerance);
  }
  const auto depth_rows = std::max<std::size_t>(
      1, static_cast<std::size_t>(static_cast<double>(grid.rows) * params.background_depth));
  const auto depth_cols = std::max<std::size_t>(
      1, static_cast<std::size_t>(static_cast<double>(grid.cols) * params.background_depth));
  std::vector<std::size_t> seeds;
  for (std::size_t i = 0; i < grid.rows; ++i) {
    seeds.push_back(i * grid.cols);
    seeds.push_back(i * grid.cols + grid.cols - 1);
  }
  for (std::size_t j = 0; j < grid.cols; ++j) {
    seeds.push_back(j);
    seeds.push_back((grid.rows - 1) * grid.cols + j);
  }
  std::vector<std::uint8_t> taken(count, 0);
  Mask found(count, 0);
  for (const std::size_t seed : seeds) {
    if (off[seed] == 0 || taken[seed] != 0) continue;
    const Region region = grow_region(grid, off, taken, seed, depth_rows, depth_cols);
    if (!is_background(grid, region, brightest)) continue;
    for (const std::size_t k : region.members) found[k] = 1;
  }
  // The blocks where page and background meet belong to neither.
  for (std::size_t i = 0; i < grid.rows; ++i) {
    for (std::size_t j = 0; j < grid.cols; ++j) {
      const std::size_t k = i * grid.cols + j;
      mask[k] = found[k] | (i > 0 ? found[k - grid.cols] : 0) |
                (i + 1 < grid.rows ? found[k + grid.cols] : 0) | (j > 0 ? found[k - 1] : 0) |
                (j + 1 < grid.cols ? found[k + 1] : 0);
    }
  }
  return mask;
}

// ---- stage 4 -------------------------------------------------------------------------------

LumaHistogram luma_histogram(const std::uint8_t* pixels, std::size_t width, const BlockGrid& grid,
                             const Mask& mask) {
  LumaHistogram h;
  const std::size_t row_bytes = 3 * width;
  const std::size_t b = grid.size;
  // 32-bit partial counts and sums, folded into the 64-bit totals before a
  // sum could overflow.
  struct Bin {
    std::uint32_t n, r, g, b;
  };
  std::array<Bin, 256> part{};
  auto fold = [&] {
    for (std::size_t v = 0; v < 256; ++v) {
      h.count[v] += part[v].n;
      h.pixels += part[v].n;
      h.sums[0][v] += part[v].r;
      h.sums[1][v] += part[v].g;
      h.sums[2][v] += part[v].b;
      part[v] = Bin{0, 0, 0, 0};
    }
  };
  const std::size_t fold_rows = std::max<std::size_t>(1, (std::size_t{1} << 24) / (255 * width + 1));
  std::size_t since_fold = 0;
  for (std::size_t i = 0; i < grid.rows; ++i) {
    for (std::size_t y = i * b; y < (i + 1) * b; ++y) {
      if ((y & 1) != 0) continue;  // every other pixel of every other row
      const std::uint8_t* row = pixels + y * row_bytes;
      const std::uint8_t* row_mask = &mask[i * grid.cols];
      for (std::size_t j = 0; j < grid.cols;) {
        if (row_mask[j] != 0) {
          ++j;
          continue;
        }
        // a run of page blocks is one stretch of pixels
        const std::size_t first = j;
        while (j < grid.cols && row_mask[j] == 0) ++j;
        const std::size_t end = j * b;
        for (std::size_t x = (first * b + 1) & ~std::size_t{1}; x < end; x += 2) {
          const std::uint8_t* p = row + 3 * x;
          const unsigned v = (77u * p[0] + 150u * p[1] + 29u * p[2] + 128u) >> 8;
          Bin& bin = part[v];
          ++bin.n;
          bin.r += p[0];
          bin.g += p[1];
          bin.b += p[2];
        }
      }
      if (++since_fold >= fold_rows) {
        fold();
        since_fold = 0;
      }
    }
  }
  fold();
  return h;
}

// ---- stage 5 ---------------------------------------------------------------------------------

namespace {

// The mean colour of the pixels whose luma is within `width` of `y`.
std::optional<Rgb> colour_near(const LumaHistogram& h, int y, int width) {
  const int lo = std::max(0, y - width), hi = std::min(255, y + width);
  std::uint64_t n = 0;
  std::array<std::uint64_t, 3> sum{};
  for (int v = lo; v <= hi; ++v) {
    const auto u = static_cast<std::size_t>(v);
    n += h.count[u];
    for (std::size_t c = 0; c < 3; ++c) sum[c] += h.sums[c][u];
  }
  if (n == 0) return std::nullopt;
  const auto d = static_cast<double>(n);
  return Rgb{static_cast<double>(sum[0]) / d, static_cast<double>(sum[1]) / d,
             static_cast<double>(sum[2]) / d};
}

// The mean colour at luma `y`, from the nearest pixels: within 2 levels,
// else within 4, 8 or 16 (a gap in the histogram, as between a page's paper
// and its strokes when the paper's heap is wide).
std::optional<Rgb> colour_around(const LumaHistogram& h, int y) {
  for (int width = 2; width <= 16; width *= 2) {
    if (std::optional<Rgb> c = colour_near(h, y, width)) return c;
  }
  return std::nullopt;
}

}  // namespace

InkAndPaper ink_and_paper(const LumaHistogram& h, const Paper& paper,
                          const DocumentParams& params) {
  InkAndPaper out;
  if (h.pixels == 0) return out;
  const auto n = static_cast<double>(h.pixels);
  const int lo = static_cast<int>(std::max(0.0, paper.y - 30));
  const int hi = static_cast<int>(std::min(255.0, paper.y + 30));
  int mode = lo;
  for (int v = lo; v <= hi; ++v) {
    if (h.count[static_cast<std::size_t>(v)] > h.count[static_cast<std::size_t>(mode)]) mode = v;
  }
  const auto peak = static_cast<double>(h.count[static_cast<std::size_t>(mode)]);
  int up = mode;
  while (up < 255 && static_cast<double>(h.count[static_cast<std::size_t>(up) + 1]) > 0.4 * peak) {
    ++up;
  }
  out.mode = mode;
  out.sigma = std::max(0.7, up > mode ? (up - mode) / 1.35 : 0.7);
  out.light_y = round_half_up(mode - params.light_sigmas * out.sigma);
  const double edge = std::min(mode - 3 * out.sigma, mode - params.paper_gap);
  out.edge = static_cast<int>(std::max(0.0, edge));
  std::uint64_t ink = 0, above = 0, brighter = 0;
  const double top = mode + std::max(3 * out.sigma, params.paper_gap);
  for (int v = 0; v < 256; ++v) {
    const std::uint64_t c = h.count[static_cast<std::size_t>(v)];
    (v < out.edge ? ink : above) += c;
    if (v > top) brighter += c;
  }
  out.paper_share = static_cast<double>(above) / n;
  out.ink_share = static_cast<double>(ink) / n;
  out.bright_share = static_cast<double>(brighter) / n;
  const std::uint64_t black = h.count[0] + h.count[1] + h.count[2];
  out.black_ink_share = ink != 0 ? static_cast<double>(black) / static_cast<double>(ink) : 0;
  if (ink == 0) return out;
  const double target = params.ink_rank * static_cast<double>(ink);
  std::uint64_t cumulative = 0;
  int dark = 0;
  for (; dark < out.edge; ++dark) {
    cumulative += h.count[static_cast<std::size_t>(dark)];
    if (static_cast<double>(cumulative) >= target) break;
  }
  out.dark_y = dark;
  const std::optional<Rgb> core = colour_near(h, 0, dark);  // every pixel at or below dark
  if (core) out.ink = *core;
  const std::optional<Rgb> d = colour_around(h, out.dark_y);
  const std::optional<Rgb> l = colour_around(h, out.light_y);
  if (!d || !l) return out;
  Levels levels;
  const double dc[3] = {d->r, d->g, d->b}, lc[3] = {l->r, l->g, l->b};
  for (std::size_t c = 0; c < 3; ++c) {
    const int dark_c = round_half_up(dc[c]), light_c = round_half_up(lc[c]);
    if (dark_c >= light_c) return out;  // the levels cross: nothing sensible to stretch
    levels[c] = ChannelLevels{static_cast<std::uint8_t>(dark_c), static_cast<std::uint8_t>(light_c)};
  }
  out.levels = levels;
  return out;
}

// ---- stage 6 ------------------------------------------------------------------------------------

namespace {

constexpr double kFringeSlope = 4;          // block luma slope at which an edge shows fringes
constexpr std::size_t kFringeEdges = 50;     // fewer edges than this: no fit
constexpr std::size_t kFewestMarkBlocks = 4;
constexpr double kSmallGrid = 100;           // blocks on the short side below which marks shrink

struct Deviation {
  float r = 0, g = 0, b = 0;
};

// Each block's colour less what paper mixed with the page's ink would be at
// its luma, less the paper's own tint (stains and browning: half as much
// more of it, or up to half of it less; a highlighter's yellow on cream paper
// is more than that), and the darkness that raises its colour floor. Background blocks
// are left at zero.
struct Deviations {
  std::vector<Deviation> dev;
  std::vector<float> darkness;  // tile paper luma less block luma
  std::vector<float> alpha;     // how much of the page's ink the block holds, 0 to 1
  std::vector<float> raise;     // added to the colour floor: near a ruling, where writing crosses it
};

Deviations deviations(const BlockGrid& grid, const Paper& paper, const Mask& mask,
                      const InkAndPaper& ink) {
  const std::size_t count = grid.rows * grid.cols;
  Deviations out;
  out.dev.resize(count);
  out.darkness.resize(count);
  out.alpha.resize(count);
  out.raise.assign(count, 0.0f);
  const double ink_y = luma_of(ink.ink);
  const double mean = (paper.colour.r + paper.colour.g + paper.colour.b) / 3;
  const double tint[3] = {paper.colour.r - mean, paper.colour.g - mean, paper.colour.b - mean};
  const double tint_norm = std::sqrt(tint[0] * tint[0] + tint[1] * tint[1] + tint[2] * tint[2]);
  const bool tinted = tint_norm > 4;
  const double u[3] = {tinted ? tint[0] / tint_norm : 0, tinted ? tint[1] / tint_norm : 0,
                       tinted ? tint[2] / tint_norm : 0};
  std::vector<std::size_t> tile_col(grid.cols);
  for (std::size_t j = 0; j < grid.cols; ++j) tile_col[j] = tile_of(j, paper.tile_cols, grid.cols);
  for (std::size_t i = 0; i < grid.rows; ++i) {
    const std::size_t tile_row = tile_of(i, paper.tile_rows, grid.rows) * paper.tile_cols;
    for (std::size_t j = 0; j < grid.cols; ++j) {
      const std::size_t k = i * grid.cols + j;
      if (mask[k] != 0) continue;
      const Block& b = grid.blocks[k];
      const Rgb& tp = paper.tile_colour[tile_row + tile_col[j]];
      const double tpy = luma_of(tp);
      const double a = std::clamp((tpy - b.y) / std::max(1.0, tpy - ink_y), 0.0, 1.0);
      double r = b.r - (tp.r + a * (ink.ink.r - tp.r));
      double g = b.g - (tp.g + a * (ink.ink.g - tp.g));
      double bl = b.b - (tp.b + a * (ink.ink.b - tp.b));
      if (tinted) {
        const double along =
            std::clamp(r * u[0] + g * u[1] + bl * u[2], -0.5 * tint_norm, 1.5 * tint_norm);
        const double take = along * (1 - a);
        r -= take * u[0];
        g -= take * u[1];
        bl -= take * u[2];
      }
      out.dev[k] = Deviation{static_cast<float>(r), static_cast<float>(g), static_cast<float>(bl)};
      out.darkness[k] = static_cast<float>(tpy - b.y);
      out.alpha[k] = static_cast<float>(a);
    }
  }
  return out;
}

// The slope of block luma at every block, as numpy's gradient: central
// inside, one-sided at the ends.
struct Slopes {
  std::vector<float> x, y;
};

Slopes slopes_of(const BlockGrid& grid) {
  Slopes s;
  const std::size_t count = grid.rows * grid.cols;
  s.x.assign(count, 0);
  s.y.assign(count, 0);
  for (std::size_t i = 0; i < grid.rows; ++i) {
    const Block* row = &grid.blocks[i * grid.cols];
    const Block* up = i > 0 ? row - grid.cols : row;
    const Block* down = i + 1 < grid.rows ? row + grid.cols : row;
    const float vertical = (i > 0 && i + 1 < grid.rows) ? 0.5f : 1.0f;
    for (std::size_t j = 0; j < grid.cols; ++j) {
      const std::size_t left = j > 0 ? j - 1 : j, right = j + 1 < grid.cols ? j + 1 : j;
      const float horizontal = (j > 0 && j + 1 < grid.cols) ? 0.5f : 1.0f;
      if (grid.cols > 1) s.x[i * grid.cols + j] = (row[right].y - row[left].y) * horizontal;
      if (grid.rows > 1) s.y[i * grid.cols + j] = (down[j].y - up[j].y) * vertical;
    }
  }
  return s;
}

// Rulings and margin lines: thin lines of one colour across (and down) the
// sheet, blue, grey or green across. A row's median deviation tells one even where writing crosses it,
// and taking that median off every block of the row takes the line away and
// leaves a stamp on it. Only a ruled sheet's lines go: three or more rows
// across, a few blocks thick each, and with them one or two lines down it
// (the margin). A single coloured band stays, and so does a lone rule.
// Returns the lines taken out.
constexpr double kRulingColour = 3;  // a row's median deviation that makes it a line

// Whether each channel's median (the value of rank size/2) lies within ±1:
// then the opponent distance of the three is at most 2√2 < kRulingColour, and
// no median need be found. Counting is one pass; ranking is several.
bool medians_near_zero(const std::vector<float> (&channel)[3]) {
  const std::size_t mid = channel[0].size() / 2;
  for (const auto& values : channel) {
    std::size_t below = 0, above = 0;
    for (const float v : values) {
      below += static_cast<std::size_t>(v < -1.0f);
      above += static_cast<std::size_t>(v > 1.0f);
    }
    // rank mid is >= -1 when at most mid values are below -1, and <= 1 when
    // at most size-1-mid values are above 1
    if (below > mid || above > values.size() - 1 - mid) return false;
  }
  return true;
}

std::size_t remove_rulings(const BlockGrid& grid, const Mask& mask, Deviations& d) {
  std::size_t found = 0;
  bool ruled = false;
  std::vector<float> channel[3];
  for (int down = 0; down < 2; ++down) {
    const std::size_t lines_n = down != 0 ? grid.cols : grid.rows;
    const std::size_t length = down != 0 ? grid.rows : grid.cols;
    auto index = [&](std::size_t line, std::size_t t) {
      return down != 0 ? t * grid.cols + line : line * grid.cols + t;
    };
    std::vector<Deviation> median(lines_n);
    std::vector<std::uint8_t> strong(lines_n, 0);
    for (std::size_t line = 0; line < lines_n; ++line) {
      for (auto& c : channel) c.clear();
      for (std::size_t t = 0; t < length; ++t) {
        const std::size_t k = index(line, t);
        if (mask[k] != 0 || d.alpha[k] >= 0.5f) continue;  // the paper under a line, not the ink
        channel[0].push_back(d.dev[k].r);
        channel[1].push_back(d.dev[k].g);
        channel[2].push_back(d.dev[k].b);
      }
      if (2 * channel[0].size() < length) continue;
      if (medians_near_zero(channel)) continue;  // no line: most rows are paper
      float m[3];
      for (std::size_t c = 0; c < 3; ++c) {
        auto mid = channel[c].begin() + static_cast<std::ptrdiff_t>(channel[c].size() / 2);
        std::nth_element(channel[c].begin(), mid, channel[c].end());
        m[c] = *mid;
      }
      median[line] = Deviation{m[0], m[1], m[2]};
      const Opponent o = opponent(m[0], m[1], m[2]);
      // Rulings across are printed blue, grey or green; a red or yellow line
      // across is an underline or a highlighter: colour. Margin lines down
      // the sheet are often red.
      const bool ruling_hue = down != 0 || (o.y <= 0 && o.a <= 0.5 * -o.y + 2);
      strong[line] = static_cast<std::uint8_t>(ruling_hue && opponent_distance(m[0], m[1], m[2]) >= kRulingColour);
    }
    std::vector<std::pair<std::size_t, std::size_t>> runs;  // [first, last] of each line
    for (std::size_t line = 0; line < lines_n; ++line) {
      if (strong[line] == 0) continue;
      if (!runs.empty() && runs.back().second + 1 == line) {
        runs.back().second = line;
      } else {
        runs.emplace_back(line, line);
      }
    }
    std::size_t thin = 0;
    for (const auto& r : runs) thin += static_cast<std::size_t>(r.second - r.first < 3);
    const bool take = down == 0 ? thin >= 3 : (ruled && thin >= 1 && thin <= 2);
    if (!take) continue;
    ruled = ruled || down == 0;
    for (const auto& r : runs) {
      if (r.second - r.first >= 3) continue;  // a band, not a line
      float strength = 0;
      for (std::size_t line = r.first; line <= r.second; ++line) {
        const Deviation& m = median[line];
        strength = std::max(strength, static_cast<float>(opponent_distance(m.r, m.g, m.b)));
        for (std::size_t t = 0; t < length; ++t) {
          Deviation& v = d.dev[index(line, t)];
          v.r -= m.r;
          v.g -= m.g;
          v.b -= m.b;
        }
      }
      // Where writing crosses the line, the ink's blocks hold it in another
      // measure than the paper's: their colour counts only well above it.
      const std::size_t first = r.first >= 2 ? r.first - 2 : 0;
      const std::size_t last = std::min(lines_n - 1, r.second + 2);
      for (std::size_t line = first; line <= last; ++line) {
        for (std::size_t t = 0; t < length; ++t) {
          float& raise = d.raise[index(line, t)];
          raise = std::max(raise, 2 * strength);
        }
      }
      ++found;
    }
  }
  return found;
}

// Colour fringes: channels slightly out of register (a scanner's sensor
// lines, a lens) colour every edge in proportion to its slope. The fit is
// made on the edges that agree with it, so that colour marks, which are no
// fringes, do not pull it; it is then taken off every block.
void remove_fringes(const BlockGrid& grid, const Mask& mask, std::vector<Deviation>& dev) {
  const std::size_t count = grid.rows * grid.cols;
  const Slopes slope = slopes_of(grid);
  std::vector<std::uint32_t> edges;
  for (std::size_t k = 0; k < count; ++k) {
    const float gx = slope.x[k], gy = slope.y[k];
    if (mask[k] == 0 && gx * gx + gy * gy > kFringeSlope * kFringeSlope) {
      edges.push_back(static_cast<std::uint32_t>(k));
    }
  }
  if (edges.size() <= kFringeEdges) return;
  std::vector<std::uint8_t> use(edges.size(), 1);
  double coef[2][3] = {{0, 0, 0}, {0, 0, 0}};
  std::vector<float> residual(edges.size()), sorted;
  for (int round = 0; round < 3; ++round) {
    double sxx = 0, sxy = 0, syy = 0, bx[3] = {0, 0, 0}, by[3] = {0, 0, 0};
    for (std::size_t e = 0; e < edges.size(); ++e) {
      if (use[e] == 0) continue;
      const std::uint32_t k = edges[e];
      const double gx = slope.x[k], gy = slope.y[k];
      const double v[3] = {dev[k].r, dev[k].g, dev[k].b};
      sxx += gx * gx;
      sxy += gx * gy;
      syy += gy * gy;
      for (std::size_t c = 0; c < 3; ++c) {
        bx[c] += gx * v[c];
        by[c] += gy * v[c];
      }
    }
    const double det = sxx * syy - sxy * sxy;
    if (std::fabs(det) < 1e-9) return;
    for (std::size_t c = 0; c < 3; ++c) {
      coef[0][c] = (syy * bx[c] - sxy * by[c]) / det;
      coef[1][c] = (sxx * by[c] - sxy * bx[c]) / det;
    }
    for (std::size_t e = 0; e < edges.size(); ++e) {
      const std::uint32_t k = edges[e];
      const double gx = slope.x[k], gy = slope.y[k];
      const double r = dev[k].r - (gx * coef[0][0] + gy * coef[1][0]);
      const double g = dev[k].g - (gx * coef[0][1] + gy * coef[1][1]);
      const double b = dev[k].b - (gx * coef[0][2] + gy * coef[1][2]);
      residual[e] = static_cast<float>(r * r + g * g + b * b);  // squared: the order is the same
    }
    sorted = residual;
    const auto at = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() * 4 / 5);
    std::nth_element(sorted.begin(), at, sorted.end());
    const float cut = *at;  // the residual four fifths of the edges stay within
    for (std::size_t e = 0; e < edges.size(); ++e) use[e] = static_cast<std::uint8_t>(residual[e] <= cut);
  }
  for (std::size_t k = 0; k < count; ++k) {
    if (mask[k] != 0) continue;
    const double gx = slope.x[k], gy = slope.y[k];
    dev[k].r -= static_cast<float>(gx * coef[0][0] + gy * coef[1][0]);
    dev[k].g -= static_cast<float>(gx * coef[0][1] + gy * coef[1][1]);
    dev[k].b -= static_cast<float>(gx * coef[0][2] + gy * coef[1][2]);
  }
}

// Takes out the rulings of ruled paper (three or more thin lines across the
// page) and margin lines (one or two thin lines down it): rows of blocks
// coloured across half the page or more, a few blocks thick. A single band
// across, a highlighter stroke, stays. Returns the lines taken out.
std::size_t remove_lines(std::vector<std::uint8_t>& coloured, std::size_t rows, std::size_t cols) {
  std::size_t found = 0;
  for (int down = 0; down < 2; ++down) {
    const std::size_t lines_n = down != 0 ? cols : rows;  // lines of this direction
    const std::size_t length = down != 0 ? rows : cols;
    auto at = [&](std::size_t line, std::size_t t) -> std::uint8_t& {
      return down != 0 ? coloured[t * cols + line] : coloured[line * cols + t];
    };
    std::vector<std::uint8_t> full(lines_n, 0);
    for (std::size_t line = 0; line < lines_n; ++line) {
      std::size_t n = 0;
      for (std::size_t t = 0; t < length; ++t) n += at(line, t);
      full[line] = static_cast<std::uint8_t>(static_cast<double>(n) >= 0.5 * static_cast<double>(length));
    }
    std::vector<std::vector<std::size_t>> lines;
    for (std::size_t line = 0; line < lines_n; ++line) {
      if (full[line] == 0) continue;
      std::size_t band = 0;
      for (std::size_t other = line >= 3 ? line - 3 : 0; other < std::min(lines_n, line + 4); ++other) {
        band += full[other];
      }
      if (band > 4) continue;  // a band, not a line
      if (!lines.empty() && line - lines.back().back() <= 3) {
        lines.back().push_back(line);
      } else {
        lines.push_back({line});
      }
    }
    const std::size_t at_least = down != 0 ? 1 : 3, at_most = down != 0 ? 2 : lines_n;
    if (lines.size() < at_least || lines.size() > at_most) continue;
    for (const auto& line : lines) {
      const std::size_t first = line.front() > 0 ? line.front() - 1 : 0;
      const std::size_t last = std::min(lines_n - 1, line.back() + 1);
      for (std::size_t l = first; l <= last; ++l) {
        for (std::size_t t = 0; t < length; ++t) at(l, t) = 0;
      }
    }
    found += lines.size();
  }
  return found;
}

struct Mark {
  std::size_t size = 0;
  std::size_t top = 0, bottom = 0, left = 0, right = 0;  // bottom and right exclusive
  double a = 0, y = 0;                                    // summed opponent deviations
  Rgb colour;                                             // summed block colours
};

std::vector<Mark> marks_of(const BlockGrid& grid, const std::vector<std::uint8_t>& coloured,
                           const std::vector<Deviation>& dev) {
  std::vector<Mark> marks;
  std::vector<std::uint8_t> seen(coloured.size(), 0);
  std::vector<std::size_t> stack;
  for (std::size_t start = 0; start < coloured.size(); ++start) {
    if (coloured[start] == 0 || seen[start] != 0) continue;
    Mark m;
    m.top = m.bottom = start / grid.cols;
    m.left = m.right = start % grid.cols;
    stack.assign(1, start);
    seen[start] = 1;
    while (!stack.empty()) {
      const std::size_t k = stack.back();
      stack.pop_back();
      const std::size_t i = k / grid.cols, j = k % grid.cols;
      ++m.size;
      m.top = std::min(m.top, i);
      m.bottom = std::max(m.bottom, i);
      m.left = std::min(m.left, j);
      m.right = std::max(m.right, j);
      const Opponent o = opponent(dev[k].r, dev[k].g, dev[k].b);
      m.a += o.a;
      m.y += o.y;
      const Block& b = grid.blocks[k];
      m.colour.r += b.r;
      m.colour.g += b.g;
      m.colour.b += b.b;
      for (std::ptrdiff_t di = -1; di <= 1; ++di) {
        for (std::ptrdiff_t dj = -1; dj <= 1; ++dj) {
          const std::ptrdiff_t ni = static_cast<std::ptrdiff_t>(i) + di;
          const std::ptrdiff_t nj = static_cast<std::ptrdiff_t>(j) + dj;
          if (ni < 0 || nj < 0 || ni >= static_cast<std::ptrdiff_t>(grid.rows) ||
              nj >= static_cast<std::ptrdiff_t>(grid.cols)) {
            continue;
          }
          const std::size_t nk = static_cast<std::size_t>(ni) * grid.cols + static_cast<std::size_t>(nj);
          if (coloured[nk] != 0 && seen[nk] == 0) {
            seen[nk] = 1;
            stack.push_back(nk);
          }
        }
      }
    }
    ++m.bottom;
    ++m.right;
    marks.push_back(m);
  }
  return marks;
}

// A thin, dull strip along an edge (a gutter, a page's browned edge), a
// thin line across most of the page, or on a ruled sheet a thin piece of a
// ruling: none is a mark.
bool is_line(const Mark& m, std::size_t rows, std::size_t cols, bool ruled) {
  const std::size_t h = m.bottom - m.top, w = m.right - m.left;
  // On a ruled sheet, what is left of a ruling that drifts across block rows.
  if (ruled && h <= 3 && w >= 4 * h) return true;
  const double longer = static_cast<double>(std::max(h, w));
  const double shorter = static_cast<double>(std::min(h, w));
  const auto r = static_cast<double>(rows), c = static_cast<double>(cols);
  const bool thin = shorter <= std::max(3.0, 0.03 * std::max(r, c)) && longer >= 8 * shorter;
  if (!thin) return false;
  const bool across = static_cast<double>(w) >= 0.5 * c || static_cast<double>(h) >= 0.5 * r;
  if (across) return true;
  const bool horizontal = w > h;
  const bool near_edge =
      horizontal ? (static_cast<double>(m.top) <= 0.08 * r || static_cast<double>(m.bottom) >= 0.92 * r)
                 : (static_cast<double>(m.left) <= 0.08 * c || static_cast<double>(m.right) >= 0.92 * c);
  const double n = static_cast<double>(m.size);
  const Rgb mean{m.colour.r / n, m.colour.g / n, m.colour.b / n};
  return near_edge && longer >= 0.05 * (horizontal ? c : r) && own_excess(mean) < 20;
}

}  // namespace

namespace {

// The colour marks among the blocks whose deviation is over their floor:
// fills `out` (score, largest, marks, lines).
void score_marks(const BlockGrid& grid, const Mask& mask, const Deviations& d,
                 const DocumentParams& params, bool ruled, ColourMeasure& out) {
  const std::size_t count = grid.rows * grid.cols;
  std::vector<std::uint8_t> coloured(count, 0);
  for (std::size_t k = 0; k < count; ++k) {
    if (mask[k] != 0) continue;
    // The colour of dark blocks is harder to see, and noisier.
    const double floor =
        std::max(params.colour_floor + d.raise[k], params.dark_floor * d.darkness[k]);
    const Opponent o = opponent(d.dev[k].r, d.dev[k].g, d.dev[k].b);
    coloured[k] = static_cast<std::uint8_t>(o.a * o.a + o.y * o.y > floor * floor);
  }
  out.lines = remove_lines(coloured, grid.rows, grid.cols);
  out.largest = out.marks = 0;
  // On a small image (few blocks, each still 4 pixels) a mark covers fewer
  // blocks: the smallest one counted shrinks with the page, but never to so
  // few that noise makes one.
  const double across = static_cast<double>(std::min(grid.rows, grid.cols)) / kSmallGrid;
  const auto min_mark = std::max<std::size_t>(
      kFewestMarkBlocks, static_cast<std::size_t>(std::lround(
                             static_cast<double>(params.min_mark) * std::min(1.0, across * across))));
  double score = 0;
  for (const Mark& m : marks_of(grid, coloured, d.dev)) {
    if (m.size < min_mark) continue;
    if (is_line(m, grid.rows, grid.cols, ruled)) {
      ++out.lines;
      continue;
    }
    ++out.marks;
    out.largest = std::max(out.largest, m.size);
    // Weighted by the mark's mean colour: a mark of one colour counts in
    // full, blocks whose deviations cancel hardly at all.
    score += std::sqrt(m.a * m.a + m.y * m.y);
  }
  out.score = score / static_cast<double>(count) * 1000;
}

}  // namespace

ColourMeasure measure_colour(const BlockGrid& grid, const Paper& paper, const Mask& mask,
                             const InkAndPaper& ink, const DocumentParams& params) {
  ColourMeasure out;
  out.ink_excess = own_excess(ink.ink);
  if (grid.rows * grid.cols == 0) return out;
  Deviations d = deviations(grid, paper, mask, ink);
  const std::size_t rulings = remove_rulings(grid, mask, d);
  const bool ruled = rulings >= 3;
  score_marks(grid, mask, d, params, ruled, out);
  out.lines += rulings;
  // Fringes only colour edges: a page on which nothing is found has no need
  // of their fit, and one on which colour is found is measured again
  // without them.
  if (out.score > params.colour_limit) {
    remove_fringes(grid, mask, d.dev);
    score_marks(grid, mask, d, params, ruled, out);
    out.lines += rulings;
  }
  return out;
}

// ---- stage 7 ---------------------------------------------------------------------------------

LossMeasure measure_loss(const BlockGrid& grid, const Paper& paper, const Mask& mask,
                         const LumaHistogram& histogram, const InkAndPaper& ink,
                         const DocumentParams& params) {
  LossMeasure out;
  if (histogram.pixels == 0) return out;
  std::uint64_t black = 0;
  for (int v = 0; v <= ink.dark_y && v < 256; ++v) black += histogram.count[static_cast<std::size_t>(v)];
  out.black_share = static_cast<double>(black) / static_cast<double>(histogram.pixels);
  const double span = std::max(1, ink.light_y - ink.dark_y);
  auto stretched = [&](double v) {
    return std::clamp((v - ink.dark_y) / span * 255.0, 0.0, 255.0);
  };
  const double contrast = std::max(24.0, params.loss_contrast * (ink.mode - ink.dark_y));
  std::vector<double> lumas;
  for (std::size_t ti = 0; ti < paper.tile_rows; ++ti) {
    for (std::size_t tj = 0; tj < paper.tile_cols; ++tj) {
      tile_lumas(grid, tile_span(grid, paper, ti, tj), &mask, lumas);
      if (lumas.size() < 8) continue;
      const double low = percentile(lumas, 5), high = percentile(lumas, 95);
      // Brighter than paper (background, highlights) is no content to lose.
      if (high - low < contrast || low >= ink.light_y - 3 * ink.sigma) continue;
      ++out.content_tiles;
      if (stretched(high) - stretched(low) < 10) ++out.lost_tiles;
    }
  }
  return out;
}

namespace {
constexpr double kBlankSpread = 8;  // the paper heap's spread, in levels, of a blank page
constexpr double kVivid = 40;       // a block's own colour beyond the warm cone
constexpr double kVividShare = 0.05;
}  // namespace

// ---- the chain --------------------------------------------------------------------------------

DocumentAnalysis analyse_document(const std::uint8_t* pixels, std::size_t width,
                                  std::size_t height, const DocumentParams& params) {
  DocumentAnalysis a;
  a.width = width;
  a.height = height;
  a.block = block_size(width, height, params);
  const BlockGrid grid = block_means(pixels, width, height, a.block);
  if (grid.rows < 4 || grid.cols < 4) return a;  // too small to tell paper from ink
  const Paper first = estimate_paper(grid, nullptr, params);
  Mask mask = background_mask(grid, first, params);
  std::size_t masked = 0;
  for (const std::uint8_t m : mask) masked += m;
  a.background_share = static_cast<double>(masked) / static_cast<double>(mask.size());
  // More "background" than a scan has around its page is the picture
  // itself (a colour photo of large even areas): nothing is taken off.
  if (a.background_share > params.max_background) {
    std::fill(mask.begin(), mask.end(), std::uint8_t{0});
    a.background_share = 0;
  }
  // With no background the masked estimate is the first one again.
  a.paper = a.background_share > 0 ? estimate_paper(grid, &mask, params) : first;
  const LumaHistogram histogram = luma_histogram(pixels, width, grid, mask);
  a.ink = ink_and_paper(histogram, a.paper, params);
  if (histogram.pixels == 0) return a;
  // Plainly colourful (outside the warm cone of aged paper and brown ink,
  // over a good part of the page): colour, whatever else is found.
  std::size_t vivid = 0, page_blocks = 0;
  for (std::size_t k = 0; k < grid.blocks.size(); ++k) {
    if (mask[k] != 0) continue;
    ++page_blocks;
    vivid += static_cast<std::size_t>(own_excess(colour_of(grid.blocks[k])) > kVivid);
  }
  a.colour.vivid_share = static_cast<double>(vivid) / static_cast<double>(std::max<std::size_t>(1, page_blocks));
  if (a.colour.vivid_share > kVividShare) {
    a.refusal = Refusal::kColour;
    return a;
  }
  if (a.ink.ink_share < params.min_ink_share) {
    // Blank is one even heap of paper and nothing else; a wide heap, or
    // anything far brighter than it, is a picture.
    if (a.ink.sigma <= kBlankSpread && a.ink.bright_share < params.min_ink_share) {
      a.refusal = Refusal::kBlank;
    }
    return a;
  }
  // Colour first: an image that keeps its colour is told so, page or not.
  const double vivid_share = a.colour.vivid_share;
  a.colour = measure_colour(grid, a.paper, mask, a.ink, params);
  a.colour.vivid_share = vivid_share;
  if (a.colour.ink_excess > params.ink_tolerance) {
    a.refusal = Refusal::kInkColour;
    return a;
  }
  if (a.colour.score > params.colour_limit) {
    a.refusal = Refusal::kColour;
    return a;
  }
  if (a.paper.roughness > params.max_roughness || a.ink.paper_share < params.min_paper_share ||
      !a.ink.levels) {
    return a;
  }
  a.loss = measure_loss(grid, a.paper, mask, histogram, a.ink, params);
  const bool lost = a.loss.content_tiles > 0 && a.loss.lost_tiles >= 2 &&
                    static_cast<double>(a.loss.lost_tiles) >
                        params.lost_share * static_cast<double>(a.loss.content_tiles);
  if (lost || a.loss.black_share > params.black_limit) {
    a.refusal = Refusal::kLoss;
    return a;
  }
  a.refusal = Refusal::kNone;
  a.levels = a.ink.levels;
  return a;
}

}  // namespace vorn::document

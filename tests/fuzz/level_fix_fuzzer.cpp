// libFuzzer harness of the level fix: any bytes as an image, any valid
// parameters, checked byte for byte against a slow, straightforward rewrite
// of the same steps (the structure of tests/support/model.py). Run by
// tools/fuzz_level_fix.sh.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "level_fix.hpp"

namespace {

using u64 = std::uint64_t;
using Hist = std::array<u64, 256>;

float bits(std::uint32_t b) {
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}

Hist smooth(Hist h, u64 passes) {
  for (u64 pass = 0; pass < passes; ++pass) {
    const Hist s = h;
    for (int i = 0; i < 256; ++i) {
      h[i] = s[std::max(i - 1, 0)] / 4 + s[i] / 2 + s[std::min(i + 1, 255)] / 4;
    }
  }
  return h;
}

u64 threshold(double min_prominence, u64 pixels) {
  const double x = (min_prominence * static_cast<double>(pixels)) / 100.0;
  u64 t = 0;
  if (!(x > 0.0)) {
    t = 0;
  } else if (x >= 18446744073709551616.0) {
    t = std::numeric_limits<u64>::max();
  } else {
    t = static_cast<u64>(x);
  }
  return std::max<u64>(t, 1);
}

u64 side_minimum(const Hist& h, int p, int step) {
  u64 lowest = h[p];
  for (int k = p + step; k >= 0 && k < 256; k += step) {
    lowest = std::min(lowest, h[k]);
    if (h[k] > h[p]) break;
  }
  return lowest;
}

std::vector<int> accepted_peaks(const Hist& h, u64 radius, u64 thresh, u64 min_distance) {
  std::vector<std::pair<int, u64>> peaks;
  for (int start = 0; start < 256;) {
    int end = start;
    while (end + 1 < 256 && h[end + 1] == h[start]) ++end;
    bool maximum = !(start == 0 && end == 255);
    const long lo = std::max<long>(start - static_cast<long>(radius), 0);
    const long hi = std::min<long>(end + static_cast<long>(radius), 255);
    for (long k = lo; k <= hi && maximum; ++k) {
      if ((k < start || k > end) && h[k] > h[start]) maximum = false;
    }
    if (maximum) {
      const int p = (start + end) / 2;
      const u64 left = side_minimum(h, p, -1), right = side_minimum(h, p, 1);
      const u64 reference = p == 0 ? right : p == 255 ? left : std::max(left, right);
      if (h[p] - reference >= thresh) peaks.emplace_back(p, h[p] - reference);
    }
    start = end + 1;
  }
  std::stable_sort(peaks.begin(), peaks.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  std::vector<int> accepted;
  for (const auto& peak : peaks) {
    const bool clear = std::all_of(accepted.begin(), accepted.end(), [&](int q) {
      return static_cast<u64>(std::abs(peak.first - q)) >= min_distance;
    });
    if (clear) accepted.push_back(peak.first);
  }
  std::sort(accepted.begin(), accepted.end());
  return accepted;
}

bool agree(u64 r, u64 g, u64 b, double percentage) {
  const double mean = static_cast<double>(r + g + b) / 3.0;
  if (mean == 0.0) return true;
  for (const u64 m : {r, g, b}) {
    if (!(percentage > std::fabs(static_cast<double>(m) - mean) / mean)) return false;
  }
  return true;
}

float normalised(std::uint8_t v, int dark, int light) {
  const float black = static_cast<float>(dark) / 255.0f;
  const float white = static_cast<float>(light) / 255.0f;
  float span = white - black;
  if (!(span > bits(0x34000000u))) span = bits(0x34000000u);  // 2^-23
  float n = (static_cast<float>(v) / 255.0f - black) / span;
  if (n < 0.0f) n = 0.0f;
  if (n > 1.0f) n = 1.0f;
  return n;
}

void reference(std::vector<std::uint8_t>& px, const vorn::LevelFixParams& p) {
  const std::size_t count = px.size() / 3;
  if (count == 0) return;
  std::array<Hist, 3> hist{};
  for (std::size_t k = 0; k < count; ++k) {
    for (int c = 0; c < 3; ++c) ++hist[c][px[3 * k + c]];
  }
  const u64 thresh = threshold(p.min_prominence, count);
  std::array<std::vector<std::pair<int, u64>>, 3> regions;  // (position, mass)
  for (int c = 0; c < 3; ++c) {
    const Hist h = smooth(hist[c], p.blur_n);
    const std::vector<int> pos = accepted_peaks(h, p.window_radius, thresh, p.min_distance);
    for (std::size_t m = 0; m < pos.size(); ++m) {
      const int lo = m == 0 ? 0 : (pos[m - 1] + pos[m]) / 2;
      const int hi = m + 1 == pos.size() ? 255 : (pos[m] + pos[m + 1]) / 2;
      u64 mass = 0;
      for (int k = lo; k <= hi; ++k) mass += h[k];
      regions[c].emplace_back(pos[m], mass);
    }
  }
  for (const auto& r : regions) {
    if (r.empty() || r.size() > 2) return;
  }
  if (!agree(regions[0].front().second, regions[1].front().second, regions[2].front().second,
             p.percentage) ||
      !agree(regions[0].back().second, regions[1].back().second, regions[2].back().second,
             p.percentage)) {
    return;
  }
  const float weights[3] = {bits(0x3E991687u), bits(0x3F1645A1u), bits(0x3DE978D5u)};
  for (std::size_t k = 0; k < count; ++k) {
    float t[3];
    for (int c = 0; c < 3; ++c) {
      t[c] = normalised(px[3 * k + c], regions[c].front().first, regions[c].back().first) *
             weights[c];
    }
    const float scaled = ((t[0] + t[1]) + t[2]) * 255.0f;
    const float whole = std::floor(scaled);
    float rounded = whole + (scaled - whole >= 0.5f ? 1.0f : 0.0f);
    rounded = std::min(std::max(rounded, 0.0f), 255.0f);
    const auto grey = static_cast<std::uint8_t>(rounded);
    px[3 * k] = px[3 * k + 1] = px[3 * k + 2] = grey;
  }
}

// A finite, non-negative double from 8 bytes.
double ratio(const std::uint8_t* data) {
  double x;
  std::memcpy(&x, data, sizeof x);
  return std::isfinite(x) ? std::fabs(x) : 0.5;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 22) return 0;
  vorn::LevelFixParams params;
  // Mostly few smoothing passes, so that each run stays fast.
  params.blur_n = data[0] < 240 ? data[0] % 8 : (data[1] | (data[0] << 8)) % 1025;
  params.window_radius = 1 + data[2] % 255;
  params.min_distance = 1 + data[3] % 255;
  params.min_prominence = data[4] & 1 ? ratio(data + 6) : (data[4] >> 1) / 16.0;
  params.percentage = data[5] & 1 ? ratio(data + 14) : (data[5] >> 1) / 64.0;
  std::vector<std::uint8_t> image(data + 22, data + 22 + (size - 22) / 3 * 3);
  // Repeat short inputs into larger images now and then: the fast paths
  // start at some thousands of pixels.
  if (data[1] & 1 && !image.empty()) {
    const std::size_t copies = 1 + (data[1] >> 1) * 256 / std::max<std::size_t>(image.size(), 1);
    std::vector<std::uint8_t> grown;
    for (std::size_t i = 0; i < copies; ++i) grown.insert(grown.end(), image.begin(), image.end());
    image = std::move(grown);
  }
  std::vector<std::uint8_t> expected = image;
  reference(expected, params);
  vorn::run_level_fix(image.data(), image.size(), params);
  if (image != expected) std::abort();
  return 0;
}

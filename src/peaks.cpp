#include "peaks.hpp"

#include <cstddef>
#include <cstdint>

namespace vorn {
namespace {

constexpr std::size_t kLastBin = 255;

// Lowest bin passed on the way from `peak` towards one edge, stopping after
// the first bin higher than the peak (that bin never lowers the minimum).
std::uint64_t minimum_left(const ChannelHistogram& h, std::size_t peak) {
  const std::uint64_t v = h[peak];
  std::uint64_t lowest = v;
  for (std::size_t k = peak; k-- > 0;) {
    if (h[k] < lowest) lowest = h[k];
    if (h[k] > v) break;
  }
  return lowest;
}

std::uint64_t minimum_right(const ChannelHistogram& h, std::size_t peak) {
  const std::uint64_t v = h[peak];
  std::uint64_t lowest = v;
  for (std::size_t k = peak + 1; k <= kLastBin; ++k) {
    if (h[k] < lowest) lowest = h[k];
    if (h[k] > v) break;
  }
  return lowest;
}

// A histogram edge is not a low point, so an edge peak is measured against
// its inner side only.
std::uint64_t prominence(const ChannelHistogram& h, std::size_t peak) {
  std::uint64_t reference;
  if (peak == 0) {
    reference = minimum_right(h, peak);
  } else if (peak == kLastBin) {
    reference = minimum_left(h, peak);
  } else {
    const std::uint64_t left = minimum_left(h, peak);
    const std::uint64_t right = minimum_right(h, peak);
    reference = left > right ? left : right;
  }
  return h[peak] - reference;
}

bool is_local_maximum(const ChannelHistogram& h, std::size_t start, std::size_t end,
                      std::uint64_t window_radius) {
  if (start == 0 && end == kLastBin) return false;  // a flat histogram has no peak
  const std::uint64_t v = h[start];
  const std::size_t lo =
      window_radius > start ? 0 : start - static_cast<std::size_t>(window_radius);
  const std::size_t hi = window_radius >= kLastBin - end
                             ? kLastBin
                             : end + static_cast<std::size_t>(window_radius);
  for (std::size_t k = lo; k < start; ++k) {
    if (h[k] > v) return false;
  }
  for (std::size_t k = end + 1; k <= hi; ++k) {
    if (h[k] > v) return false;
  }
  return true;
}

}  // namespace

PeakList detect(const ChannelHistogram& histogram, std::uint64_t window_radius,
                std::uint64_t threshold) {
  // Candidates are strictly higher than both neighbouring plateaus, so no two
  // are adjacent and a 256-bin histogram has at most 128 of them.
  PeakList peaks;
  std::size_t index = 0;
  while (index <= kLastBin) {
    const std::size_t start = index;
    std::size_t end = start;
    while (end < kLastBin && histogram[end + 1] == histogram[start]) ++end;
    if (is_local_maximum(histogram, start, end, window_radius)) {
      const std::size_t position = (start + end) / 2;
      const std::uint64_t height = prominence(histogram, position);
      if (height >= threshold) peaks.push_back(HistogramPeak{position, height});
    }
    index = end + 1;
  }

  // Stable insertion sort, strongest first: equal prominences keep the
  // ascending order in which they were found.
  for (std::size_t i = 1; i < peaks.size(); ++i) {
    const HistogramPeak moving = peaks[i];
    std::size_t j = i;
    while (j > 0 && peaks[j - 1].prominence < moving.prominence) {
      peaks[j] = peaks[j - 1];
      --j;
    }
    peaks[j] = moving;
  }
  return peaks;
}

PositionList select_peaks(const PeakList& peaks, std::uint64_t min_distance) {
  PositionList accepted;
  for (const HistogramPeak& peak : peaks) {
    const auto q = static_cast<std::uint8_t>(peak.position);
    bool clear = true;
    for (const std::uint8_t taken : accepted) {
      const unsigned distance = q > taken ? unsigned{q} - taken : unsigned{taken} - q;
      if (distance < min_distance) {
        clear = false;
        break;
      }
    }
    if (clear) accepted.push_back(q);
  }

  for (std::size_t i = 1; i < accepted.size(); ++i) {
    const std::uint8_t moving = accepted[i];
    std::size_t j = i;
    while (j > 0 && accepted[j - 1] > moving) {
      accepted[j] = accepted[j - 1];
      --j;
    }
    accepted[j] = moving;
  }
  return accepted;
}

RegionList region_masses(const ChannelHistogram& histogram, const PositionList& positions) {
  // Neighbouring regions share their midpoint bin, which counts in both.
  RegionList regions;
  const std::size_t count = positions.size();
  for (std::size_t m = 0; m < count; ++m) {
    const std::size_t lo =
        m == 0 ? 0 : (std::size_t{positions[m - 1]} + positions[m]) / 2;
    const std::size_t hi =
        m + 1 == count ? kLastBin : (std::size_t{positions[m]} + positions[m + 1]) / 2;
    std::uint64_t mass = 0;
    for (std::size_t k = lo; k <= hi; ++k) mass += histogram[k];
    regions.push_back(PeakRegion{positions[m], mass});
  }
  return regions;
}

}  // namespace vorn

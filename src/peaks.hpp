// Peak detection in one smoothed channel histogram, and the mass of the
// histogram region around each accepted peak.
#ifndef VORN_HYST_PEAKS_HPP_
#define VORN_HYST_PEAKS_HPP_

#include <array>
#include <cstddef>
#include <cstdint>

#include "kernels.hpp"

namespace vorn {

// A list that never allocates. Every list of the level fix has at most one
// entry per plateau of a 256-bin histogram, and no two candidate plateaus are
// adjacent, so 128 entries always suffice.
template <typename T, std::size_t Capacity = 128>
class FixedList {
 public:
  void push_back(const T& value) { items_[size_++] = value; }  // caller keeps size < Capacity
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return items_[i]; }
  const T& operator[](std::size_t i) const { return items_[i]; }
  T* begin() { return items_.data(); }
  T* end() { return items_.data() + size_; }
  const T* begin() const { return items_.data(); }
  const T* end() const { return items_.data() + size_; }
  const T& front() const { return items_[0]; }
  const T& back() const { return items_[size_ - 1]; }

 private:
  std::array<T, Capacity> items_{};
  std::size_t size_ = 0;
};

struct HistogramPeak {
  std::uint64_t position = 0;    // midpoint bin of the peak's plateau
  std::uint64_t prominence = 0;  // height above the higher of its two minima
};

struct PeakRegion {
  std::uint8_t position = 0;
  std::uint64_t mass = 0;  // smoothed counts from midpoint to midpoint, inclusive
};

using PeakList = FixedList<HistogramPeak>;
using PositionList = FixedList<std::uint8_t>;
using RegionList = FixedList<PeakRegion>;

// Plateaus that are local maxima within `window_radius` bins and at least
// `threshold` prominent, strongest first (ties in ascending position).
PeakList detect(const ChannelHistogram& histogram, std::uint64_t window_radius,
                std::uint64_t threshold);

// Greedy choice, strongest first, of peaks at least `min_distance` apart;
// returned in ascending order.
PositionList select_peaks(const PeakList& peaks, std::uint64_t min_distance);

// One region per accepted position, bounded by the midpoints to its neighbours.
RegionList region_masses(const ChannelHistogram& histogram, const PositionList& positions);

}  // namespace vorn

#endif  // VORN_HYST_PEAKS_HPP_

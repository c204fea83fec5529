// Small builders shared by the level-fix unit tests.
#ifndef VORN_HYST_TESTS_FIXTURES_HPP_
#define VORN_HYST_TESTS_FIXTURES_HPP_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "level_fix.hpp"

namespace vorn::testing {

using Bins = std::vector<std::pair<std::size_t, std::uint64_t>>;  // (bin, count)

// A histogram of `fill` everywhere except the listed bins.
inline ChannelHistogram histogram_of(const Bins& bins, std::uint64_t fill = 0) {
  ChannelHistogram h;
  h.fill(fill);
  for (const auto& [bin, count] : bins) h[bin] = count;
  return h;
}

// Consecutive bins from `first` on.
inline Bins run_from(std::size_t first, std::initializer_list<std::uint64_t> counts) {
  Bins bins;
  for (const std::uint64_t count : counts) bins.emplace_back(first++, count);
  return bins;
}

struct Rgb {
  std::uint8_t r, g, b;
};

// `count` copies of each pixel, in the order given.
inline std::vector<std::uint8_t> image_of(
    std::initializer_list<std::pair<std::size_t, Rgb>> groups) {
  std::vector<std::uint8_t> bytes;
  for (const auto& [count, px] : groups) {
    for (std::size_t i = 0; i < count; ++i) bytes.insert(bytes.end(), {px.r, px.g, px.b});
  }
  return bytes;
}

}  // namespace vorn::testing

#endif  // VORN_HYST_TESTS_FIXTURES_HPP_

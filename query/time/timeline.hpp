#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "query/request.hpp"
#include "store/report_store.hpp"

// A timeline of a store: for a window of time and a range of tiles, what
// each tile was doing, either sample by sample where they are few enough
// to draw one by one, or per pixel column (the group covering most of it,
// and how busy it was) where they are not, so that the answer's size is
// bounded by rows x width, never by the samples in the window. Groups and
// filters are those of `query` for the same request, label for label.
namespace zun_profile::detail {

// Each tile's samples in the order of their start offsets, built once per
// store: the order of the samples themselves where they are in it already
// (the usual case, which costs nothing), and the longest duration per tile,
// which bounds how far before a window a sample running into it starts.
class TimeOrder {
 public:
  explicit TimeOrder(const zun_store::ReportStore& store);

  // The store position of the i-th sample of tile `tile` in start order.
  std::size_t position(std::size_t tile, std::size_t i) const noexcept;
  std::uint32_t longest(std::size_t tile) const noexcept { return longest_[tile]; }
  // The largest end offset of any sample: the profile span.
  std::uint64_t span() const noexcept { return span_; }

 private:
  const zun_store::ReportStore* store_;
  std::vector<std::uint32_t> longest_;
  std::uint64_t span_ = 0;
  // Per tile, where its permutation starts in `order_`, or kInOrder.
  std::vector<std::size_t> begin_;
  std::vector<std::uint32_t> order_;  // tile-relative indices
  static constexpr std::size_t kInOrder = SIZE_MAX;
};

struct TimelineWindow {
  std::uint64_t from = 0;       // cycles from each tile's time zero
  std::uint64_t to = 0;         // past from
  std::size_t first_tile = 0;   // tile entries first_tile..last_tile
  std::size_t last_tile = 0;
  std::size_t width = 1;        // pixel columns across the window
};

// One sample in the window.
struct TimelineSample {
  std::size_t position = 0;   // in the store, for its fields
  std::uint64_t offset = 0;   // start, cycles from its tile's time zero
  std::uint32_t duration = 0;
  std::uint32_t group = 0;    // index into TimelineAnswer::groups
};

// One tile entry's row.
struct TimelineRow {
  std::size_t tile = 0;        // the entry
  std::uint32_t physical = 0;  // its physical tile
  bool per_pixel = false;      // which of the two below it holds
  std::vector<TimelineSample> samples;  // in start order
  // Per pixel column: the group covering most of it (-1: none) and the
  // share of it the row's samples cover, in thousandths (at most 1000).
  std::vector<std::int32_t> pixel_groups;
  std::vector<std::uint16_t> pixel_busy;
};

struct TimelineAnswer {
  std::vector<std::string> groups;  // labels, in order of first sight
  std::vector<TimelineRow> rows;
};

// A row lists its samples one by one when it has at most this share of
// the width in samples; beyond, it is drawn per pixel.
inline constexpr std::size_t kSamplesPerPixelColumn = 2;  // width / 2

// The timeline of the samples `request` selects (its filters and grouping;
// order, limit and sample rows aside) in `window`. `order` must be the
// store's. The tile range is clamped to the store's tiles; width must be 1
// or more.
TimelineAnswer timeline(const zun_store::ReportStore& store,
                        const TimeOrder& order, const Query& request,
                        const TimelineWindow& window);

}  // namespace zun_profile::detail

#include "query/time/timeline.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_map>

#include "query/engine/engine.hpp"
#include "query/engine/store_source.hpp"

namespace zun_profile::detail {

TimeOrder::TimeOrder(const zun_store::ReportStore& store)
    : store_(&store),
      longest_(store.tile_count(), 0),
      begin_(store.tile_count(), kInOrder) {
  for (std::size_t t = 0; t < store.tile_count(); ++t) {
    const zun_store::SampleColumns columns = store.tile_samples(t);
    const std::uint32_t* starts = columns.starts;
    const std::uint32_t* ends = columns.ends;
    const std::size_t count = columns.count;
    const auto offset = [&](std::size_t i) {
      return counter_distance(starts[0], starts[i]);
    };
    bool sorted = true;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t length = counter_distance(starts[i], ends[i]);
      longest_[t] = std::max(longest_[t], length);
      span_ = std::max<std::uint64_t>(span_, std::uint64_t{offset(i)} + length);
      if (i > 0 && offset(i) < offset(i - 1)) sorted = false;
    }
    if (sorted) continue;
    begin_[t] = order_.size();
    order_.resize(order_.size() + count);
    const auto own = order_.begin() + static_cast<std::ptrdiff_t>(begin_[t]);
    std::iota(own, own + static_cast<std::ptrdiff_t>(count), 0u);
    std::stable_sort(own, own + static_cast<std::ptrdiff_t>(count),
                     [&](std::uint32_t a, std::uint32_t b) {
                       return offset(a) < offset(b);
                     });
  }
}

std::size_t TimeOrder::position(std::size_t tile, std::size_t i) const noexcept {
  const std::size_t first = store_->tile_begin(tile);
  return begin_[tile] == kInOrder ? first + i : first + order_[begin_[tile] + i];
}

namespace {

// The samples of one row in the window, selected and grouped: pairs of
// (position in start order, group key) handed to `take`.
template <typename Identity, typename Take>
void row_samples(const detail::StoreSource& source, const TimeOrder& order,
                 const detail::StoreFilter& filter, bool filtering,
                 const Identity& identity, std::size_t entry,
                 const TimelineWindow& window, Take&& take) {
  const detail::StoreTile tile = source.tile(entry);
  const std::size_t first = tile.first;
  const std::size_t count = tile.size();
  const auto offset_at = [&](std::size_t k) {
    return tile.offset(order.position(entry, k) - first);
  };
  // The first sample that may reach into the window: none starting before
  // from - longest does.
  const std::uint64_t reach = order.longest(entry);
  const std::uint64_t earliest = window.from > reach ? window.from - reach : 0;
  std::size_t low = 0;
  std::size_t high = count;
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (offset_at(middle) < earliest) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  for (std::size_t k = low; k < count; ++k) {
    const std::size_t i = order.position(entry, k) - first;
    const std::uint64_t offset = tile.offset(i);
    if (offset >= window.to) break;
    const std::uint32_t length = tile.length(i);
    // Running at some point of [from, to); one of no duration at its start.
    if (offset + std::max<std::uint32_t>(length, 1) <= window.from) continue;
    if (filtering && !filter.matches(tile, i, offset, length)) continue;
    take(first + i, offset, length, identity.key(tile, i));
  }
}

}  // namespace

TimelineAnswer timeline(const zun_store::ReportStore& store,
                        const TimeOrder& order, const Query& request,
                        const TimelineWindow& window) {
  TimelineAnswer answer;
  if (store.tile_count() == 0 || window.first_tile >= store.tile_count() ||
      window.to <= window.from) {
    return answer;
  }
  const std::size_t last = std::min(window.last_tile, store.tile_count() - 1);
  const std::size_t width = std::max<std::size_t>(window.width, 1);
  const detail::StoreSource source(store);
  const bool filtering = detail::filters_anything(request);
  const detail::StoreFilter filter = source.filter(request);
  // Offsets stay below 2^33: a window reaching past 2^34 cycles later
  // shows nothing more, and keeps the pixel arithmetic below 2^64.
  const std::uint64_t to =
      std::min(window.to, window.from + (std::uint64_t{1} << 34));
  const std::uint64_t span = to - window.from;

  detail::with_identity(source, request, [&](const auto& identity) {
    // Group ids by key: a table for the small keys (text ids, kinds), a
    // hash for the others (phases, tiles).
    std::vector<std::uint32_t> small(store.text_count() + 8, UINT32_MAX);
    std::unordered_map<std::uint64_t, std::uint32_t> large;
    const auto group_of = [&](std::uint64_t key) {
      std::uint32_t* slot = nullptr;
      if (key < small.size()) {
        slot = &small[static_cast<std::size_t>(key)];
      } else {
        slot = &large.try_emplace(key, UINT32_MAX).first->second;
      }
      if (*slot == UINT32_MAX) {
        *slot = static_cast<std::uint32_t>(answer.groups.size());
        LabelBuffer buffer;
        answer.groups.emplace_back(identity.label(key, buffer));
      }
      return *slot;
    };
    // Per pixel column of the row being drawn: cycles covered per group.
    std::vector<std::vector<std::pair<std::uint32_t, std::uint64_t>>> cover(width);
    std::vector<std::uint64_t> busy(width);
    for (std::size_t entry = window.first_tile; entry <= last; ++entry) {
      TimelineRow& row = answer.rows.emplace_back();
      row.tile = entry;
      row.physical = store.physical_tile(entry);
      row_samples(source, order, filter, filtering, identity, entry, window,
                  [&](std::size_t position, std::uint64_t offset,
                      std::uint32_t duration, std::uint64_t key) {
                    row.samples.push_back(
                        {position, offset, duration, group_of(key)});
                  });
      if (row.samples.size() * kSamplesPerPixelColumn <= width) continue;
      // Too many to draw one by one: what each pixel column shows.
      row.per_pixel = true;
      for (auto& list : cover) list.clear();
      std::fill(busy.begin(), busy.end(), 0);
      // In units of 1/width cycle, so that every pixel column is `span`
      // units wide and every bound is a whole number.
      for (const TimelineSample& sample : row.samples) {
        const std::uint64_t begin =
            (std::max(sample.offset, window.from) - window.from) * width;
        const std::uint64_t end =
            (std::min(sample.offset + sample.duration, to) - window.from) * width;
        if (end <= begin) continue;
        const std::size_t first_pixel = static_cast<std::size_t>(begin / span);
        const std::size_t last_pixel =
            std::min(width - 1, static_cast<std::size_t>((end - 1) / span));
        for (std::size_t p = first_pixel; p <= last_pixel; ++p) {
          const std::uint64_t left = std::uint64_t{p} * span;
          const std::uint64_t covered =
              std::min(end, left + span) - std::max(begin, left);
          busy[p] += covered;
          auto& list = cover[p];
          const auto found =
              std::find_if(list.begin(), list.end(),
                           [&](const auto& e) { return e.first == sample.group; });
          if (found == list.end()) {
            list.emplace_back(sample.group, covered);
          } else {
            found->second += covered;
          }
        }
      }
      row.pixel_groups.assign(width, -1);
      row.pixel_busy.assign(width, 0);
      for (std::size_t p = 0; p < width; ++p) {
        if (cover[p].empty()) continue;
        // The most covered; of equal ones the group seen first.
        const auto best = std::max_element(
            cover[p].begin(), cover[p].end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });
        row.pixel_groups[p] = static_cast<std::int32_t>(best->first);
        row.pixel_busy[p] = static_cast<std::uint16_t>(
            std::min<std::uint64_t>(1000, (busy[p] * 1000 + span / 2) / span));
      }
      row.samples = {};
    }
  });
  return answer;
}

}  // namespace zun_profile::detail

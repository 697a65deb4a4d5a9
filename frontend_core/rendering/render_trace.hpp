#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "store/report_store.hpp"

// A report's samples as Trace Event Format JSON, for the timeline viewers
// people already use: one complete event ("ph": "X") per sample, one
// thread track per tile entry named after its physical tile, times in
// microseconds from the clock (cycles as microseconds without one). Every
// time is a whole number of nanoseconds, rounded from cycles the same way
// for a sample's start and its end, its duration their difference: samples
// that touch in cycles touch exactly in the file.
namespace profile_query {

// Which samples to write: those running at some point of [from, to), in
// cycles from their tile's time zero, on the tiles listed (all when none).
struct TraceWindow {
  std::uint64_t from = 0;
  std::optional<std::uint64_t> to;  // absent: to the end
  std::set<std::uint32_t> tiles;    // physical tiles; empty keeps all
};

// Timeline viewers fail on files past a few hundred MB: more samples than
// this in a window are refused unless forced.
inline constexpr std::size_t kMaxTraceSamples = 5'000'000;

// How many samples `window` holds.
std::size_t trace_sample_count(const zun_store::ReportStore& store,
                               const TraceWindow& window);

// Why `window` cannot be written from `store`, or nothing: a tile it lists
// that the report lacks ("tile 7 is not in the report"), or, when it
// narrows the cycles (`from` past 0, or `to`), none of its `count` samples
// there ("no sample runs between cycles 5 and 9").
std::optional<std::string> trace_window_fault(
    const zun_store::ReportStore& store, const TraceWindow& window,
    std::size_t count);

// Writes the samples `window` holds, handing the text to `emit` in pieces
// of about 1 MiB. A text that is not UTF-8 is written with U+FFFD in
// place of its stray bytes, a kind outside the four as "unknown".
void write_trace_events(const zun_store::ReportStore& store,
                        const TraceWindow& window,
                        const std::function<void(std::string_view)>& emit);

}  // namespace profile_query

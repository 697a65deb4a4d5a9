// Partial answers beyond what the differential test compares: the byte
// form refusing damage, and merging refusing what does not belong together.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "query/partial.hpp"
#include "query/query.hpp"
#include "store/checksum.hpp"
#include "tests/support/builders.hpp"
#include "tests/support/compare.hpp"
#include "tests/support/random_case.hpp"

namespace zun_profile {
namespace {

using support::in_phase;
using support::run;
using support::tile;

zun_store::ReportStore small_store(std::uint64_t clock_hz = 1000) {
  zun_package::ProfileReport report;
  report.clock_hz = clock_hz;
  report.tiles.push_back(tile(3, {in_phase(run(100, 120, "a"), 1),
                                  in_phase(run(120, 150, "b"), 1)}));
  report.tiles.push_back(tile(5, {in_phase(run(7, 30, "a"), 2)}));
  report.tiles.push_back(tile(3, {}));
  return zun_store::ReportStore::from_report(report);
}

// Rewrites the checksum of partial bytes after an edit, so that the checks
// behind it are what must catch the damage.
void resum(std::vector<std::byte>& bytes) {
  zun_store::Checksum sum;
  sum.add(std::span(bytes).subspan(28));
  const std::uint64_t value = sum.value();
  for (std::size_t i = 0; i < 8; ++i) {
    bytes[20 + i] = static_cast<std::byte>(value >> (8 * i));
  }
}

std::string refusal(std::span<const std::byte> bytes) {
  try {
    (void)partial_from_bytes(bytes);
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return {};
}

TEST(PartialTest, BytesRefuseEveryTruncationAndFlip) {
  const auto store = small_store();
  Query request;
  request.sample_limit = 2;
  const std::vector<std::byte> bytes =
      to_bytes(partial_query(store, request, 0, store.tile_count()));
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_NE(refusal(std::span(bytes).first(size)), "") << "size " << size;
  }
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      std::vector<std::byte> flipped = bytes;
      flipped[at] ^= static_cast<std::byte>(1 << bit);
      EXPECT_NE(refusal(flipped), "") << "byte " << at << " bit " << bit;
    }
  }
  EXPECT_EQ(refusal(bytes), "");
  EXPECT_EQ(refusal(std::span(bytes).first(4)),
            "partial answer: not a partial answer");
}

// Edits behind a good checksum: every one is refused or decodes into a
// partial that finishes, never a fault (the sanitizers watch this test).
TEST(PartialTest, BytesCheckWhatTheChecksumCannot) {
  const auto store = small_store();
  Query request;
  request.group_by = GroupBy::Phase;
  request.sample_limit = 3;
  const std::vector<std::byte> bytes =
      to_bytes(partial_query(store, request, 0, store.tile_count()));
  std::size_t refused = 0;
  for (std::size_t at = 28; at < bytes.size(); ++at) {
    for (const unsigned value : {0u, 1u, 0x7fu, 0x80u, 0xffu}) {
      std::vector<std::byte> edited = bytes;
      edited[at] = static_cast<std::byte>(value);
      resum(edited);
      try {
        QueryPartial partial = partial_from_bytes(edited);
        (void)finish(std::move(partial), request);
      } catch (const std::invalid_argument&) {
        ++refused;
      }
    }
  }
  EXPECT_GT(refused, 0u);

  std::vector<std::byte> longer = bytes;
  longer.push_back(std::byte{0});
  EXPECT_NE(refusal(longer), "");  // the length no longer matches
  std::vector<std::byte> version = bytes;
  version[8] = std::byte{9};
  EXPECT_EQ(refusal(version), "partial answer: version 9 is not 1");
}

// Appends `value` as a varint.
void append_number(std::vector<std::byte>& bytes, std::uint64_t value) {
  while (value >= 0x80) {
    bytes.push_back(static_cast<std::byte>(value | 0x80));
    value >>= 7;
  }
  bytes.push_back(static_cast<std::byte>(value));
}

// Steps that would wrap past 2^64 back into order are refused, not summed.
TEST(PartialTest, BytesRefuseStepsThatWrap) {
  std::vector<std::byte> header(28, std::byte{0});
  const char magic[] = "ZUNPART";
  for (std::size_t i = 0; i < 8; ++i) header[i] = static_cast<std::byte>(magic[i]);
  header[8] = std::byte{1};
  for (const std::uint64_t step : {std::uint64_t{1} << 32, UINT64_MAX - 2}) {
    std::vector<std::byte> bytes = header;
    append_number(bytes, 1);                          // not blank
    for (int i = 0; i < 8; ++i) bytes.push_back(std::byte{0});  // request key
    // clock, tiles, samples, matched, span, sample limit
    for (const std::uint64_t field : {1u, 1u, 2u, 2u, 10u, 0u}) {
      append_number(bytes, field);
    }
    append_number(bytes, 0);  // no dimension names
    append_number(bytes, 1);  // one group
    append_number(bytes, 1);
    bytes.push_back(std::byte{'a'});
    append_number(bytes, 0);  // no dimensions
    append_number(bytes, 2);  // two tiles: 5, then 5 + step
    append_number(bytes, 5);
    append_number(bytes, step);
    for (int i = 0; i < 8; ++i) bytes.push_back(std::byte{0});
    const std::uint64_t length = bytes.size() - 28;
    for (std::size_t i = 0; i < 8; ++i) {
      bytes[12 + i] = static_cast<std::byte>(length >> (8 * i));
    }
    resum(bytes);
    EXPECT_EQ(refusal(bytes), "partial answer: a tile number is past 32 bits")
        << step;
  }
}

TEST(PartialTest, MergeRefusesPartialsThatDoNotBelongTogether) {
  const auto store = small_store(1000);
  const auto other_clock = small_store(2000);
  Query by_kernel;
  Query by_tile;
  by_tile.group_by = GroupBy::Tile;

  QueryPartial into = partial_query(store, by_kernel, 0, 1);
  EXPECT_THROW(merge(into, partial_query(store, by_tile, 1, 1)),
               std::invalid_argument);
  try {
    merge(into, partial_query(other_clock, by_kernel, 1, 1));
    ADD_FAILURE() << "merged partials of different clocks";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(),
                 "merge: the partial answers are of reports with different "
                 "clocks, 1000 Hz and 2000 Hz");
  }
  // Refused merges leave `into` as it was.
  EXPECT_EQ(into.tile_count(), 1u);
  EXPECT_EQ(into.matched_sample_count(), 2u);

  EXPECT_THROW(finish(QueryPartial(into), by_tile), std::invalid_argument);
  // A time window selects samples: partials of other windows do not merge.
  Query windowed = by_kernel;
  windowed.window = TimeWindow{0, 5};
  EXPECT_THROW(merge(into, partial_query(store, windowed, 1, 1)),
               std::invalid_argument);
  EXPECT_THROW(finish(QueryPartial(into), windowed), std::invalid_argument);
  Query shifted = windowed;
  shifted.window->to = 6;
  QueryPartial windowed_part = partial_query(store, windowed, 0, 1);
  EXPECT_THROW(merge(windowed_part, partial_query(store, shifted, 1, 1)),
               std::invalid_argument);
  // The order and the group limit are finish's alone.
  Query by_name = by_kernel;
  by_name.sort_by = SortBy::Name;
  by_name.limit = 1;
  const QueryReport answer = finish(QueryPartial(into), by_name);
  ASSERT_EQ(answer.groups.size(), 1u);
  EXPECT_EQ(answer.groups[0].name, "a");

  EXPECT_THROW(partial_query(store, by_kernel, 2, 2), std::invalid_argument);
  EXPECT_THROW(partial_query(store, by_kernel, 4, 0), std::invalid_argument);
}

TEST(PartialTest, BlankPartialsMergeAsNothing) {
  const auto store = small_store();
  Query request;
  request.sample_limit = 5;
  const QueryReport whole = query(store, request);

  QueryPartial blank;
  merge(blank, partial_query(store, request, 0, store.tile_count()));
  merge(blank, QueryPartial());
  EXPECT_EQ(support::first_difference(finish(std::move(blank), request), whole),
            "");

  // A blank partial travels as bytes too, and finishes as a report of
  // nothing.
  const QueryPartial decoded = partial_from_bytes(to_bytes(QueryPartial()));
  EXPECT_EQ(decoded.tile_count(), 0u);
  const QueryReport nothing = finish(QueryPartial(decoded), request);
  EXPECT_EQ(nothing.groups.size(), 0u);
  EXPECT_EQ(nothing.sample_count, 0u);

  // A range of no tiles is not blank: it carries the store's clock.
  QueryPartial empty = partial_query(store, request, 1, 0);
  EXPECT_EQ(empty.clock_hz(), 1000u);
  merge(empty, partial_query(store, request, 1, 2));
  EXPECT_EQ(empty.tile_count(), 2u);
}

// Equal sample rows on every key but report order: the first partial's
// come first, wherever the cut falls.
TEST(PartialTest, TiedRowsFollowReportOrderAcrossPartials) {
  zun_package::ProfileReport report;
  report.clock_hz = 1;
  for (std::uint32_t t = 0; t < 6; ++t) {
    report.tiles.push_back(
        tile(9, {run(0, 10, std::string(1, static_cast<char>('a' + t))),
                 run(10, 15, "x")}));
  }
  const auto store = zun_store::ReportStore::from_report(report);
  Query request;
  request.sample_limit = 4;
  const QueryReport whole = query(store, request);
  for (std::size_t cut = 0; cut <= store.tile_count(); ++cut) {
    QueryPartial first = partial_query(store, request, 0, cut);
    merge(first, partial_query(store, request, cut, store.tile_count() - cut));
    EXPECT_EQ(support::first_difference(finish(std::move(first), request),
                                        whole),
              "")
        << "cut at " << cut;
  }
}

}  // namespace
}  // namespace zun_profile

#include "query/partial.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "query/engine/engine.hpp"
#include "query/engine/store_source.hpp"
#include "query/partial/partial_parts.hpp"
#include "query/runs/group_buckets.hpp"

namespace zun_profile {

// The internals this file's public calls are assembled from.
using namespace detail;
namespace detail {

PartialData& PartialAccess::data(QueryPartial& partial) {
  if (!partial.data_) partial.data_ = std::make_unique<PartialData>();
  return *partial.data_;
}

const PartialData& PartialAccess::data(const QueryPartial& partial) noexcept {
  static const PartialData kBlank;
  return partial.data_ ? *partial.data_ : kBlank;
}

namespace {

// Appends `value` to `bytes` as 8 little-endian bytes.
void append_word(std::string& bytes, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    bytes.push_back(static_cast<char>(value >> (8 * i)));
  }
}

void append_text(std::string& bytes, std::string_view text) {
  append_word(bytes, text.size());
  bytes.append(text);
}

template <typename Optional>
void append_optional_text(std::string& bytes, const Optional& text) {
  bytes.push_back(text ? '\1' : '\0');
  if (text) append_text(bytes, *text);
}

}  // namespace

std::uint64_t request_key(const Query& request) {
  // Every field that changes which samples are selected, how they group or
  // which rows are kept, written out unambiguously, then hashed (FNV-1a).
  std::string bytes;
  append_word(bytes, static_cast<std::uint32_t>(request.group_by));
  bytes.push_back(request.kind ? '\1' : '\0');
  if (request.kind) append_word(bytes, static_cast<std::uint32_t>(*request.kind));
  append_optional_text(bytes, request.kernel);
  append_optional_text(bytes, request.operation_contains);
  append_word(bytes, request.tiles.size());
  for (const std::uint32_t tile : request.tiles) append_word(bytes, tile);
  append_word(bytes, request.phases.size());
  for (const std::uint32_t phase : request.phases) append_word(bytes, phase);
  append_word(bytes, request.metadata.size());
  for (const MetadataFilter& filter : request.metadata) {
    append_text(bytes, filter.name);
    append_optional_text(bytes, filter.value);
  }
  if (request.group_by == GroupBy::Metadata) {
    append_text(bytes, request.metadata_key.value_or(std::string()));
  }
  bytes.push_back(request.at_offset ? '\1' : '\0');
  if (request.at_offset) append_word(bytes, *request.at_offset);
  append_word(bytes, request.sample_limit);
  // Last and only when present, so that keys of requests without a window
  // stay those that earlier partial answers carry.
  if (request.window) {
    bytes.push_back('\1');
    append_word(bytes, request.window->from);
    append_word(bytes, request.window->to);
  }
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : bytes) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
  }
  return hash;
}

namespace {

// The distinct physical tiles of each group, ascending: its one tile for a
// group that never met another, else its visits sorted and deduplicated.
void gather_tiles(std::span<const TileVisit> visits,
                  std::span<const GroupState> groups, PartialData& data) {
  GroupBuckets<std::uint32_t> visited;
  if (!visits.empty()) {
    visited = bucket_by_group<std::uint32_t>(
        visits.size(), groups.size(), [&](std::size_t i) {
          return std::pair{visits[i].group, visits[i].tile};
        });
  }
  data.tiles.reserve(groups.size() + visited.values.size());
  for (std::size_t g = 0; g < groups.size(); ++g) {
    if (!groups[g].many_tiles) {
      data.tiles.push_back(groups[g].first_tile);
    } else {
      const auto first = visited.values.begin() +
                         static_cast<std::ptrdiff_t>(visited.begin[g]);
      const auto last = visited.values.begin() +
                        static_cast<std::ptrdiff_t>(visited.begin[g + 1]);
      if (!std::is_sorted(first, last)) std::sort(first, last);
      data.tiles.insert(data.tiles.end(), first, std::unique(first, last));
    }
    data.groups[g].tiles_end = data.tiles.size();
  }
}

// The union of two lists' intervals, each ascending and apart, appended to
// `out`: intervals that overlap or touch join, as the sweep joins them.
void merge_runs(std::span<const PartialRun> a, std::span<const PartialRun> b,
                std::vector<PartialRun>& out) {
  RunJoiner joiner([&](const PartialRun& run) { out.push_back(run); });
  in_start_order(a, b, [&](const PartialRun& run) { joiner.take(run); });
  joiner.finish();
}

// Builds the merged data of two partials' groups, group by group.
class MergedData {
 public:
  MergedData(const PartialData& a, const PartialData& b) : b_(b) {
    out_.groups.reserve(a.groups.size());
    out_.dimensions.reserve(a.dimensions.size());
    out_.tiles.reserve(a.tiles.size() + b.tiles.size());
    out_.lists.reserve(a.lists.size() + b.lists.size());
    out_.runs.reserve(a.runs.size() + b.runs.size());
    out_.durations.reserve(a.durations.size() + b.durations.size());
  }

  // The group of `source` at `g` alone; its label moved out.
  void take(PartialData& source, std::size_t g) {
    const GroupPieces pieces = pieces_of(source, g);
    open(std::move(source.groups[g].name), pieces.dimensions);
    out_.tiles.insert(out_.tiles.end(), pieces.tiles.begin(),
                      pieces.tiles.end());
    for (const PartialList& list : pieces.lists) {
      const auto runs = runs_of(source, &list);
      out_.runs.insert(out_.runs.end(), runs.begin(), runs.end());
      out_.lists.push_back({list.phase, list.epoch, out_.runs.size()});
    }
    out_.durations.insert(out_.durations.end(), pieces.durations.begin(),
                          pieces.durations.end());
    close();
  }

  // Group `ga` of the first partial joined with group `gb` of the second.
  void join(PartialData& a, std::size_t ga, std::size_t gb) {
    const GroupPieces x = pieces_of(a, ga);
    const GroupPieces y = pieces_of(b_, gb);
    open(std::move(a.groups[ga].name), x.dimensions);
    std::set_union(x.tiles.begin(), x.tiles.end(), y.tiles.begin(),
                   y.tiles.end(), std::back_inserter(out_.tiles));
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < x.lists.size() || j < y.lists.size()) {
      const auto key = [](const PartialList& list) {
        return std::pair{list.phase, list.epoch};
      };
      const PartialList* list = nullptr;
      if (j == y.lists.size() ||
          (i < x.lists.size() && key(x.lists[i]) < key(y.lists[j]))) {
        list = &x.lists[i++];
        const auto runs = runs_of(a, list);
        out_.runs.insert(out_.runs.end(), runs.begin(), runs.end());
      } else if (i == x.lists.size() || key(y.lists[j]) < key(x.lists[i])) {
        list = &y.lists[j++];
        const auto runs = runs_of(b_, list);
        out_.runs.insert(out_.runs.end(), runs.begin(), runs.end());
      } else {
        list = &x.lists[i];
        merge_runs(runs_of(a, &x.lists[i]), runs_of(b_, &y.lists[j]),
                   out_.runs);
        ++i;
        ++j;
      }
      out_.lists.push_back({list->phase, list->epoch, out_.runs.size()});
    }
    i = 0;
    j = 0;
    const auto& p = x.durations;
    const auto& q = y.durations;
    while (i < p.size() || j < q.size()) {
      if (j == q.size() || (i < p.size() && p[i].cycles < q[j].cycles)) {
        out_.durations.push_back(p[i++]);
      } else if (i == p.size() || q[j].cycles < p[i].cycles) {
        out_.durations.push_back(q[j++]);
      } else {
        out_.durations.push_back({p[i].cycles, p[i].count + q[j].count});
        ++i;
        ++j;
      }
    }
    close();
  }

  PartialData& data() noexcept { return out_; }

 private:
  void open(std::string&& name,
            std::span<const std::pair<std::string, std::string>> dimensions) {
    out_.groups.push_back({std::move(name), 0, 0, 0, 0});
    out_.dimensions.insert(out_.dimensions.end(), dimensions.begin(),
                           dimensions.end());
  }
  void close() {
    PartialGroup& group = out_.groups.back();
    group.dimensions_end = out_.dimensions.size();
    group.tiles_end = out_.tiles.size();
    group.lists_end = out_.lists.size();
    group.durations_end = out_.durations.size();
  }

  const PartialData& b_;
  PartialData out_;
};

// The partial of the tiles [first, end) of `source`, grouped by `identity`.
template <typename Identity>
PartialData partial_of(const StoreSource& source, const Query& request,
                       const Identity& identity, std::size_t first,
                       std::size_t end) {
  const zun_store::ReportStore& store = source.store();
  PartialData data;
  data.blank = false;
  data.request_key = request_key(request);
  data.clock_hz = store.clock_hz();
  data.tile_count = end - first;
  data.sample_count = end == first ? 0 : store.tile_end(end - 1) -
                                             store.tile_begin(first);
  data.sample_limit = request.sample_limit;

  Collected<Identity> pass(identity, data.sample_count, request.sample_limit,
                           source.steps());
  NoSink sink;
  collect(source, request, identity, sink, first, end, pass);
  data.matched_sample_count = pass.runs.size();
  data.profile_span_cycles = pass.span;

  const std::size_t groups = pass.groups.size();
  GroupRuns runs;
  pass.runs.runs_by_group(groups, runs);
  // The sweep reserved room for a list and an interval per record; where
  // lists join across tiles nearly all of it is unused, and a partial kept
  // or sent on should not hold it.
  if (runs.lists.size() * 2 < runs.lists.capacity()) runs.lists.shrink_to_fit();
  if (runs.runs.size() * 2 < runs.runs.capacity()) runs.runs.shrink_to_fit();
  data.lists = std::move(runs.lists);
  data.runs = std::move(runs.runs);
  data.durations = std::move(runs.durations);
  data.groups.resize(groups);
  for (std::size_t g = 0; g < groups; ++g) {
    PartialGroup& group = data.groups[g];
    GroupKey key = identity.group_key(pass.index.key(static_cast<std::uint32_t>(g)));
    group.name = std::move(key.label);
    for (auto& dimension : key.dimensions) {
      data.dimensions.emplace_back(dimension.first, std::move(dimension.second));
    }
    group.dimensions_end = data.dimensions.size();
    group.lists_end = runs.ends[g][0];
    group.durations_end = runs.ends[g][1];
  }
  gather_tiles(pass.visits, pass.groups, data);
  data.samples = pass.rows.take_rows();
  return data;
}

}  // namespace
}  // namespace detail

using detail::PartialAccess;
using detail::PartialData;

QueryPartial::QueryPartial() = default;
QueryPartial::QueryPartial(const QueryPartial& other)
    : data_(other.data_ ? std::make_unique<PartialData>(*other.data_)
                        : nullptr) {}
QueryPartial::QueryPartial(QueryPartial&& other) noexcept = default;
QueryPartial& QueryPartial::operator=(const QueryPartial& other) {
  if (this != &other) *this = QueryPartial(other);
  return *this;
}
QueryPartial& QueryPartial::operator=(QueryPartial&& other) noexcept = default;
QueryPartial::~QueryPartial() = default;

std::uint64_t QueryPartial::clock_hz() const noexcept {
  return PartialAccess::data(*this).clock_hz;
}
std::size_t QueryPartial::tile_count() const noexcept {
  return PartialAccess::data(*this).tile_count;
}
std::size_t QueryPartial::sample_count() const noexcept {
  return PartialAccess::data(*this).sample_count;
}
std::size_t QueryPartial::matched_sample_count() const noexcept {
  return PartialAccess::data(*this).matched_sample_count;
}
std::uint64_t QueryPartial::profile_span_cycles() const noexcept {
  return PartialAccess::data(*this).profile_span_cycles;
}
std::size_t QueryPartial::group_count() const noexcept {
  return PartialAccess::data(*this).groups.size();
}

QueryPartial partial_query(const zun_store::ReportStore& store,
                           const Query& request, std::size_t first_tile,
                           std::size_t tile_count) {
  if (first_tile > store.tile_count() ||
      tile_count > store.tile_count() - first_tile) {
    throw std::invalid_argument(
        "partial_query: tiles " + std::to_string(first_tile) + " to " +
        std::to_string(first_tile) + " + " + std::to_string(tile_count) +
        " are past the store's " + std::to_string(store.tile_count()));
  }
  const detail::StoreSource source(store);
  QueryPartial partial;
  PartialAccess::data(partial) =
      detail::with_identity(source, request, [&](auto identity) {
        return detail::partial_of(source, request, identity, first_tile,
                                  first_tile + tile_count);
      });
  return partial;
}

void merge(QueryPartial& into, QueryPartial&& from) {
  PartialData& a = PartialAccess::data(into);
  PartialData& b = PartialAccess::data(from);
  if (b.blank) return;
  if (a.blank) {
    std::swap(a, b);
    return;
  }
  if (a.request_key != b.request_key) {
    throw std::invalid_argument(
        "merge: the partial answers are of different requests");
  }
  if (a.clock_hz != b.clock_hz) {
    throw std::invalid_argument(
        "merge: the partial answers are of reports with different clocks, " +
        std::to_string(a.clock_hz) + " Hz and " + std::to_string(b.clock_hz) +
        " Hz");
  }

  // The second partial's groups by label, then the first's looked up among
  // them: a label added by the lookup is a group of the first alone.
  GroupIndex<std::string_view> index;
  for (const detail::PartialGroup& group : b.groups) index.find_or_add(group.name);
  const std::size_t b_groups = b.groups.size();
  std::vector<bool> joined(b_groups, false);
  std::vector<std::uint32_t> match(a.groups.size());
  for (std::size_t g = 0; g < a.groups.size(); ++g) {
    const auto found = index.find_or_add(a.groups[g].name);
    match[g] = found.id;
    if (found.id < b_groups) joined[found.id] = true;
  }
  detail::MergedData merged(a, b);
  for (std::size_t g = 0; g < a.groups.size(); ++g) {
    if (match[g] < b_groups) {
      merged.join(a, g, match[g]);
    } else {
      merged.take(a, g);
    }
  }
  for (std::size_t g = 0; g < b_groups; ++g) {
    if (!joined[g]) merged.take(b, g);
  }

  PartialData& out = merged.data();
  out.blank = false;
  out.request_key = a.request_key;
  out.clock_hz = a.clock_hz;
  out.tile_count = a.tile_count + b.tile_count;
  out.sample_count = a.sample_count + b.sample_count;
  out.matched_sample_count = a.matched_sample_count + b.matched_sample_count;
  out.profile_span_cycles =
      std::max(a.profile_span_cycles, b.profile_span_cycles);
  out.sample_limit = a.sample_limit;
  // The rows of both, best first; on a full tie the first partial's.
  out.samples.reserve(
      std::min(a.sample_limit, a.samples.size() + b.samples.size()));
  std::size_t i = 0;
  std::size_t j = 0;
  while (out.samples.size() < a.sample_limit &&
         (i < a.samples.size() || j < b.samples.size())) {
    if (j == b.samples.size() ||
        (i < a.samples.size() && !detail::better_row(b.samples[j], a.samples[i]))) {
      out.samples.push_back(std::move(a.samples[i++]));
    } else {
      out.samples.push_back(std::move(b.samples[j++]));
    }
  }
  a = std::move(out);
  b = PartialData();
}

}  // namespace zun_profile

// The byte form of a partial answer:
//   magic "ZUNPART" and a zero byte, then little-endian u32 version (1),
//   u64 body length, u64 checksum of the body (the store's section sum),
//   and the body, every integer an unsigned LEB128 varint:
//     request key (8 bytes, little-endian), clock, tile count, sample
//     count, matched samples, span, sample limit;
//     the dimension names used (count, texts);
//     the groups (count), each: label; dimensions (count, then name id and
//       value text each); tiles (count, the first, then each one's step
//       from the one before); lists (count, each phase, epoch, intervals:
//       count, then each start's gap from the previous end (the first
//       start as it is) and length); durations (count, each value's step
//       from the one before and its count);
//     the sample rows' texts (count, texts), then the rows (count, each
//       tile, offset, duration, phase, epoch, then the ids of its kind,
//       operation and kernel texts, and its metadata pairs: count, then a
//       name id and a value id each).
//   A text is its length, then its bytes.
// Ascending lists are written as steps, so that a partial stays a few
// bytes per run and per group.
#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "query/engine/group_index.hpp"
#include "query/partial.hpp"
#include "query/partial/partial_parts.hpp"
#include "store/checksum.hpp"

namespace zun_profile {

// The internals this file's public calls are assembled from.
using namespace detail;
namespace {

using detail::DurationCount;
using detail::PartialAccess;
using detail::PartialData;
using detail::PartialGroup;
using detail::PartialList;
using detail::PartialRun;

constexpr std::array<char, 8> kMagic = {'Z', 'U', 'N', 'P', 'A', 'R', 'T', '\0'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderBytes = 8 + 4 + 8 + 8;

class Writer {
 public:
  void number(std::uint64_t value) {
    while (value >= 0x80) {
      bytes_.push_back(static_cast<std::byte>(value | 0x80));
      value >>= 7;
    }
    bytes_.push_back(static_cast<std::byte>(value));
  }
  void word(std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
      bytes_.push_back(static_cast<std::byte>(value >> (8 * i)));
    }
  }
  void text(std::string_view text) {
    number(text.size());
    const auto* begin = reinterpret_cast<const std::byte*>(text.data());
    bytes_.insert(bytes_.end(), begin, begin + text.size());
  }
  std::vector<std::byte>& bytes() noexcept { return bytes_; }

 private:
  std::vector<std::byte> bytes_;
};

[[noreturn]] void refuse(const std::string& fault) {
  throw std::invalid_argument("partial answer: " + fault);
}

class Reader {
 public:
  explicit Reader(std::span<const std::byte> bytes) : bytes_(bytes) {}

  std::uint64_t number(const char* what) {
    std::uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (at_ == bytes_.size()) refuse(std::string("truncated in ") + what);
      const auto byte = static_cast<std::uint8_t>(bytes_[at_++]);
      if (shift == 63 && byte > 1) refuse(std::string(what) + " is too large");
      value |= std::uint64_t{byte & 0x7fu} << shift;
      if ((byte & 0x80) == 0) return value;
    }
  }
  std::uint32_t number32(const char* what) {
    const std::uint64_t value = number(what);
    if (value > UINT32_MAX) refuse(std::string(what) + " is past 32 bits");
    return static_cast<std::uint32_t>(value);
  }
  // A count of items that take at least one byte each: never more than the
  // bytes left, so that no forged count makes room for more than is there.
  std::size_t count(const char* what) {
    const std::uint64_t value = number(what);
    if (value > bytes_.size() - at_) {
      refuse(std::string(what) + " count " + std::to_string(value) +
             " is past the " + std::to_string(bytes_.size() - at_) +
             " bytes left");
    }
    return static_cast<std::size_t>(value);
  }
  std::uint64_t word(std::size_t width, const char* what) {
    if (bytes_.size() - at_ < width) refuse(std::string("truncated in ") + what);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      value |= std::uint64_t{static_cast<std::uint8_t>(bytes_[at_++])} << (8 * i);
    }
    return value;
  }
  std::string text(const char* what) {
    const std::size_t size = count(what);
    std::string text(reinterpret_cast<const char*>(bytes_.data() + at_), size);
    at_ += size;
    return text;
  }
  bool done() const noexcept { return at_ == bytes_.size(); }

 private:
  std::span<const std::byte> bytes_;
  std::size_t at_ = 0;
};

// Sample rows: their texts once each (rows of one run repeat a few
// kinds, kernels and metadata), then each row with its texts' ids.
void write_samples(Writer& out, const std::vector<SampleRecord>& samples) {
  GroupIndex<std::string_view> ids;
  std::vector<std::string_view> texts;
  const auto id_of = [&](std::string_view text) {
    const auto found = ids.find_or_add(text);
    if (found.added) texts.push_back(text);
    return found.id;
  };
  std::vector<std::uint32_t> row_ids;
  for (const SampleRecord& row : samples) {
    row_ids.push_back(id_of(row.kind));
    row_ids.push_back(id_of(row.operation));
    row_ids.push_back(id_of(row.kernel));
    for (const MetadataEntry& entry : row.metadata) {
      row_ids.push_back(id_of(entry.name));
      row_ids.push_back(id_of(entry.value));
    }
  }
  out.number(texts.size());
  for (const std::string_view text : texts) out.text(text);
  out.number(samples.size());
  std::size_t at = 0;
  for (const SampleRecord& row : samples) {
    out.number(row.physical_tile);
    out.number(row.offset);
    out.number(row.duration);
    out.number(row.phase);
    out.number(row.epoch);
    out.number(row_ids[at++]);
    out.number(row_ids[at++]);
    out.number(row_ids[at++]);
    out.number(row.metadata.size());
    for (std::size_t m = 0; m < row.metadata.size(); ++m) {
      out.number(row_ids[at++]);
      out.number(row_ids[at++]);
    }
  }
}

void read_samples(Reader& in, PartialData& data) {
  std::vector<std::string> texts(in.count("sample row texts"));
  for (std::string& text : texts) text = in.text("a sample row text");
  const auto text = [&](const char* what) -> const std::string& {
    const std::uint64_t id = in.number(what);
    if (id >= texts.size()) {
      refuse(std::string(what) + " " + std::to_string(id) + " is past the " +
             std::to_string(texts.size()) + " texts");
    }
    return texts[static_cast<std::size_t>(id)];
  };
  const std::size_t count = in.count("sample rows");
  if (count > data.sample_limit) {
    refuse(std::to_string(count) + " sample rows are past its limit of " +
           std::to_string(data.sample_limit));
  }
  data.samples.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    SampleRecord& row = data.samples[i];
    row.physical_tile = in.number32("a sample row's tile");
    row.offset = in.number("a sample row's offset");
    if (row.offset > UINT32_MAX) refuse("a sample row's offset is past 32 bits");
    row.duration = in.number32("a sample row's duration");
    row.phase = in.number32("a sample row's phase");
    row.epoch = in.number32("a sample row's epoch");
    row.kind = text("a sample row's kind");
    row.operation = text("a sample row's operation");
    row.kernel = text("a sample row's kernel");
    row.metadata.resize(in.count("a sample row's metadata"));
    for (MetadataEntry& entry : row.metadata) {
      entry.name = text("a metadata name");
      entry.value = text("a metadata value");
    }
    if (i > 0) {
      const SampleRecord& before = data.samples[i - 1];
      const bool in_order =
          before.duration != row.duration ? before.duration > row.duration
          : before.physical_tile != row.physical_tile
              ? before.physical_tile < row.physical_tile
              : before.offset <= row.offset;
      if (!in_order) refuse("sample rows out of order");
    }
  }
}

// Reads group `g`'s pieces into `data`, checking every order the merge and
// the figures rely on.
void read_group(Reader& in, const std::vector<std::string>& names,
                PartialData& data, std::size_t& samples) {
  PartialGroup& group = data.groups.emplace_back();
  group.name = in.text("a group's label");

  const std::size_t dimensions = in.count("a group's dimensions");
  for (std::size_t d = 0; d < dimensions; ++d) {
    const std::uint64_t id = in.number("a dimension's name");
    if (id >= names.size()) {
      refuse("dimension name " + std::to_string(id) + " is past the " +
             std::to_string(names.size()) + " names");
    }
    if (d > 0 && !(data.dimensions.back().first < names[id])) {
      refuse("a group's dimensions are out of order");
    }
    data.dimensions.emplace_back(names[id], in.text("a dimension's value"));
  }
  group.dimensions_end = data.dimensions.size();

  const std::size_t tiles = in.count("a group's tiles");
  if (tiles == 0) refuse("a group has no tile");
  std::uint64_t tile = 0;
  for (std::size_t t = 0; t < tiles; ++t) {
    const std::uint64_t step = in.number("a tile");
    if (t > 0 && step == 0) refuse("a group's tiles repeat");
    if (step > UINT32_MAX - tile) refuse("a tile number is past 32 bits");
    tile += step;
    data.tiles.push_back(static_cast<std::uint32_t>(tile));
  }
  group.tiles_end = data.tiles.size();

  const std::size_t lists = in.count("a group's lists");
  if (lists == 0) refuse("a group has no (phase, epoch) list");
  for (std::size_t l = 0; l < lists; ++l) {
    PartialList list{in.number32("a phase"), in.number32("an epoch"), 0};
    if (l > 0) {
      const PartialList& before = data.lists.back();
      if (std::pair{before.phase, before.epoch} >=
          std::pair{list.phase, list.epoch}) {
        refuse("a group's lists are out of order");
      }
    }
    const std::size_t runs = in.count("a list's intervals");
    if (runs == 0) refuse("a list has no interval");
    std::uint64_t end = 0;
    for (std::size_t r = 0; r < runs; ++r) {
      const std::uint64_t gap = in.number("an interval's start");
      if (r > 0 && gap == 0) refuse("a list's intervals touch");
      if (gap > UINT32_MAX - std::min<std::uint64_t>(end, UINT32_MAX) ||
          end > UINT32_MAX) {
        refuse("an interval starts past 32 bits");
      }
      const std::uint64_t start = end + gap;
      const std::uint64_t length = in.number("an interval's length");
      // A run ends at most at the largest offset plus the longest duration.
      if (length > 2 * std::uint64_t{UINT32_MAX} - start) {
        refuse("an interval ends past any sample's end");
      }
      end = start + length;
      data.runs.push_back({start, end});
    }
    list.runs_end = data.runs.size();
    data.lists.push_back(list);
  }
  group.lists_end = data.lists.size();

  const std::size_t durations = in.count("a group's durations");
  if (durations == 0) refuse("a group has no duration");
  std::uint64_t cycles = 0;
  for (std::size_t d = 0; d < durations; ++d) {
    const std::uint64_t step = in.number("a duration");
    if (d > 0 && step == 0) refuse("a group's durations repeat");
    if (step > UINT32_MAX - cycles) refuse("a duration is past 32 bits");
    cycles += step;
    const std::uint64_t count = in.number("a duration's count");
    if (count == 0 || count > data.matched_sample_count - samples) {
      refuse("durations count more samples than are selected");
    }
    samples += count;
    data.durations.push_back({static_cast<std::uint32_t>(cycles), count});
  }
  group.durations_end = data.durations.size();
}

}  // namespace

std::vector<std::byte> to_bytes(const QueryPartial& partial) {
  const PartialData& data = PartialAccess::data(partial);
  Writer out;
  for (const char c : kMagic) out.word(static_cast<unsigned char>(c), 1);
  out.word(kVersion, 4);
  out.word(0, 8);  // the body's length and checksum, once known
  out.word(0, 8);

  out.number(data.blank ? 0 : 1);
  out.word(data.request_key, 8);
  out.number(data.clock_hz);
  out.number(data.tile_count);
  out.number(data.sample_count);
  out.number(data.matched_sample_count);
  out.number(data.profile_span_cycles);
  out.number(data.sample_limit);

  // The dimension names, each once.
  std::vector<std::string_view> names;
  GroupIndex<std::string_view> name_ids;
  std::vector<std::uint32_t> ids(data.dimensions.size());
  for (std::size_t d = 0; d < data.dimensions.size(); ++d) {
    const auto found = name_ids.find_or_add(data.dimensions[d].first);
    if (found.added) names.push_back(data.dimensions[d].first);
    ids[d] = found.id;
  }
  out.number(names.size());
  for (const std::string_view name : names) out.text(name);

  out.number(data.groups.size());
  detail::GroupBegins begin;
  std::size_t run = 0;
  for (const PartialGroup& group : data.groups) {
    out.text(group.name);
    out.number(group.dimensions_end - begin.dimensions);
    for (std::size_t d = begin.dimensions; d < group.dimensions_end; ++d) {
      out.number(ids[d]);
      out.text(data.dimensions[d].second);
    }
    out.number(group.tiles_end - begin.tiles);
    std::uint32_t tile = 0;
    for (std::size_t t = begin.tiles; t < group.tiles_end; ++t) {
      out.number(data.tiles[t] - tile);
      tile = data.tiles[t];
    }
    out.number(group.lists_end - begin.lists);
    for (std::size_t l = begin.lists; l < group.lists_end; ++l) {
      const PartialList& list = data.lists[l];
      out.number(list.phase);
      out.number(list.epoch);
      out.number(list.runs_end - run);
      std::uint64_t end = 0;
      for (; run < list.runs_end; ++run) {
        out.number(data.runs[run].start - end);
        out.number(data.runs[run].end - data.runs[run].start);
        end = data.runs[run].end;
      }
    }
    out.number(group.durations_end - begin.durations);
    std::uint32_t cycles = 0;
    for (std::size_t d = begin.durations; d < group.durations_end; ++d) {
      out.number(data.durations[d].cycles - cycles);
      out.number(data.durations[d].count);
      cycles = data.durations[d].cycles;
    }
    begin = {group.dimensions_end, group.tiles_end, group.lists_end,
             group.durations_end};
  }
  write_samples(out, data.samples);

  std::vector<std::byte>& bytes = out.bytes();
  const std::span<const std::byte> body(bytes.data() + kHeaderBytes,
                                        bytes.size() - kHeaderBytes);
  zun_store::Checksum sum;
  sum.add(body);
  const std::uint64_t length = body.size();
  const std::uint64_t checksum = sum.value();
  for (std::size_t i = 0; i < 8; ++i) {
    bytes[12 + i] = static_cast<std::byte>(length >> (8 * i));
    bytes[20 + i] = static_cast<std::byte>(checksum >> (8 * i));
  }
  return std::move(bytes);
}

QueryPartial partial_from_bytes(std::span<const std::byte> bytes) {
  if (bytes.size() < kMagic.size() ||
      std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0) {
    refuse("not a partial answer");
  }
  Reader header(bytes.subspan(kMagic.size()));
  const std::uint64_t version = header.word(4, "the header");
  if (version != kVersion) {
    refuse("version " + std::to_string(version) + " is not " +
           std::to_string(kVersion));
  }
  const std::uint64_t length = header.word(8, "the header");
  const std::uint64_t checksum = header.word(8, "the header");
  if (length != bytes.size() - kHeaderBytes) {
    refuse("the body has " + std::to_string(bytes.size() - kHeaderBytes) +
           " bytes, not " + std::to_string(length));
  }
  const std::span<const std::byte> body = bytes.subspan(kHeaderBytes);
  zun_store::Checksum sum;
  sum.add(body);
  if (sum.value() != checksum) refuse("checksum mismatch");

  Reader in(body);
  QueryPartial partial;
  PartialData& data = PartialAccess::data(partial);
  const std::uint64_t filled = in.number("the header");
  if (filled > 1) refuse("bad header");
  data.blank = filled == 0;
  data.request_key = in.word(8, "the request key");
  data.clock_hz = in.number("the clock");
  data.tile_count = in.number("the tile count");
  data.sample_count = in.number("the sample count");
  data.matched_sample_count = in.number("the matched sample count");
  if (data.matched_sample_count > data.sample_count) {
    refuse("more samples selected than there are");
  }
  data.profile_span_cycles = in.number("the span");
  data.sample_limit = in.number("the sample limit");

  std::vector<std::string> names(in.count("dimension names"));
  for (std::string& name : names) name = in.text("a dimension name");

  const std::size_t groups = in.count("groups");
  data.groups.reserve(groups);
  std::size_t samples = 0;
  for (std::size_t g = 0; g < groups; ++g) read_group(in, names, data, samples);
  if (samples != data.matched_sample_count) {
    refuse("the groups hold " + std::to_string(samples) +
           " samples, not the " + std::to_string(data.matched_sample_count) +
           " selected");
  }
  GroupIndex<std::string_view> labels;
  for (const PartialGroup& group : data.groups) {
    if (!labels.find_or_add(group.name).added) {
      refuse("group label '" + group.name + "' repeats");
    }
  }
  read_samples(in, data);
  if (data.samples.size() > data.matched_sample_count) {
    refuse("more sample rows than selected samples");
  }
  if (!in.done()) refuse("bytes past its end");
  if (data.blank && (data.tile_count != 0 || groups != 0)) {
    refuse("a blank partial holds tiles");
  }
  return partial;
}

}  // namespace zun_profile

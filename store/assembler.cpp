#include "store/assembler.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>

#include "store/checksum.hpp"
#include "store/report_store.hpp"

namespace zun_store {
namespace {

// Samples a column holds in memory before a writer spills it (4 MiB each).
constexpr std::size_t kSpillValues = std::size_t{1} << 20;
// Texts and lists take 32-bit ids, one of which stays free as a mark.
constexpr std::size_t kMostIds = (std::size_t{1} << 32) - 1;

template <typename T>
std::span<const std::byte> as_bytes_of(const std::vector<T>& values) {
  return std::as_bytes(std::span<const T>(values));
}

// Finds `fits(id)` in an open-addressing table of (tag << 32 | id + 1)
// slots, or the empty slot where it belongs.
template <typename Fits>
std::uint64_t* probe(std::vector<std::uint64_t>& slots, std::uint32_t tag,
                     Fits fits) {
  const std::size_t mask = slots.size() - 1;
  for (std::size_t at = tag & mask;; at = (at + 1) & mask) {
    std::uint64_t& slot = slots[at];
    if (slot == 0) return &slot;
    if (static_cast<std::uint32_t>(slot >> 32) == tag &&
        fits(static_cast<std::uint32_t>(slot) - 1)) {
      return &slot;
    }
  }
}

void rehash(std::vector<std::uint64_t>& slots) {
  std::vector<std::uint64_t> old(std::max<std::size_t>(64, 2 * slots.size()));
  old.swap(slots);
  const std::size_t mask = slots.size() - 1;
  for (const std::uint64_t slot : old) {
    if (slot == 0) continue;
    std::size_t at = static_cast<std::uint32_t>(slot >> 32) & mask;
    while (slots[at] != 0) at = (at + 1) & mask;
    slots[at] = slot;
  }
}

std::uint32_t tag_of(std::size_t hash) {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32 ^
                                    static_cast<std::uint64_t>(hash));
}

// Zero bytes, for padding: at most an alignment's worth at a time.
constexpr std::byte kZeros[format::kAlignment] = {};

void store_u32(std::byte* at, std::uint32_t value) {
  std::memcpy(at, &value, sizeof(value));
}
void store_u64(std::byte* at, std::uint64_t value) {
  std::memcpy(at, &value, sizeof(value));
}

}  // namespace

// Writes one section: its bytes go to the sink and into its checksum.
class SectionOut {
 public:
  explicit SectionOut(ByteSink& sink) : sink_(sink) {}
  void put(std::span<const std::byte> bytes) {
    sum_.add(bytes);
    sink_.write(bytes);
    length_ += bytes.size();
  }
  void zeros(std::size_t count) {
    while (count > 0) {
      const std::size_t take = std::min(count, sizeof(kZeros));
      put({kZeros, take});
      count -= take;
    }
  }
  std::uint64_t length() const noexcept { return length_; }
  std::uint64_t sum() const noexcept { return sum_.value(); }

 private:
  ByteSink& sink_;
  Checksum sum_;
  std::uint64_t length_ = 0;
};

template <typename T>
std::uint32_t Interner<T>::intern(std::span<const T> items) {
  if (2 * (ends_.size() + 1) > slots_.size()) rehash(slots_);
  const std::uint32_t tag = tag_of(std::hash<std::string_view>{}(
      {reinterpret_cast<const char*>(items.data()), items.size_bytes()}));
  std::uint64_t* slot = probe(slots_, tag, [&](std::uint32_t id) {
    return std::ranges::equal(at(id), items);
  });
  if (*slot != 0) return static_cast<std::uint32_t>(*slot) - 1;
  if (ends_.size() == kMostIds) {
    throw StoreError(std::string("2^32 - 1 or more distinct ") + what_);
  }
  const auto id = static_cast<std::uint32_t>(ends_.size());
  items_.insert(items_.end(), items.begin(), items.end());
  ends_.push_back(items_.size());
  *slot = std::uint64_t{tag} << 32 | (std::uint64_t{id} + 1);
  return id;
}

template class Interner<char>;
template class Interner<std::uint32_t>;

Assembler::Assembler(std::uint64_t clock_hz, std::filesystem::path spill_dir,
                     std::string name)
    : clock_hz_(clock_hz),
      spill_dir_(std::move(spill_dir)),
      name_(std::move(name)) {
  if constexpr (std::endian::native != std::endian::little) {
    fail("store files are little-endian, and this host is big-endian");
  }
  last_text_.fill(kNone);
}

std::uint32_t Assembler::intern_in(std::size_t slot, std::string_view text) {
  if (slot >= kSlots) return texts_.intern(text);
  std::uint32_t& last = last_text_[slot];
  if (last != kNone && this->text(last) == text) return last;
  last = texts_.intern(text);
  return last;
}

Assembler::~Assembler() {
  for (std::FILE* spool : spools_) {
    if (spool != nullptr) std::fclose(spool);
  }
}

void Assembler::fail(const std::string& what) const {
  throw StoreError(name_ + ": " + what);
}

void Assembler::begin_tile(std::uint32_t physical_tile) {
  physical_.push_back(physical_tile);
  tile_ends_.push_back(samples_);
  tile_spans_.push_back(0);
}

void Assembler::set_tile_physical(std::uint32_t physical_tile) {
  if (physical_.empty()) fail("a tile's number was set before any tile");
  physical_.back() = physical_tile;
}

void Assembler::add_sample(const zun_package::CycleSample& sample) {
  if (tile_ends_.empty()) fail("a sample was added before any tile");
  const zun_package::ProfileStep& step = sample.step;
  const std::uint32_t previous = last_step_;
  const std::uint32_t guess =
      previous < next_step_.size() ? next_step_[previous] : kNone;
  if (guess != kNone && is_step(guess, step)) {
    last_step_ = guess;
  } else {
    intern_step(step);
    if (previous != kNone) {
      if (previous >= next_step_.size()) next_step_.resize(previous + 1, kNone);
      next_step_[previous] = last_step_;
    }
  }
  add_sample_of(last_step_, sample);
}

bool Assembler::is_step(std::uint32_t id,
                        const zun_package::ProfileStep& step) const {
  const std::span<const std::uint32_t> fields = steps_.at(id);
  namespace v2 = format::v2;
  if (fields[v2::kPhase] != step.phase ||
      fields[v2::kEpoch] != step.epoch ||
      fields[v2::kKind] != static_cast<std::uint32_t>(step.kind) ||
      fields[v2::kLocalIndex] != step.local_index ||
      text(fields[v2::kKernel]) != step.kernel ||
      text(fields[v2::kOperation]) != step.operation) {
    return false;
  }
  const std::span<const std::uint32_t> pairs = lists_.at(fields[v2::kMetadataList]);
  if (pairs.size() != 2 * step.metadata.size()) return false;
  for (std::size_t i = 0; i < step.metadata.size(); ++i) {
    if (text(pairs[2 * i]) != step.metadata[i].name ||
        text(pairs[2 * i + 1]) != step.metadata[i].value) {
      return false;
    }
  }
  return true;
}

void Assembler::intern_step(const zun_package::ProfileStep& step) {
  try {
    pairs_.clear();
    for (const zun_package::ProfileMetadata& entry : step.metadata) {
      pairs_.push_back(intern_in(2 + pairs_.size(), entry.name));
      pairs_.push_back(intern_in(2 + pairs_.size(), entry.value));
    }
    if (last_list_ == kNone ||
        !std::ranges::equal(lists_.at(last_list_), pairs_)) {
      last_list_ = lists_.intern(pairs_);
    }
    const std::uint32_t fields[format::v2::kStepColumnCount] = {
        step.phase,
        step.epoch,
        static_cast<std::uint32_t>(step.kind),
        intern_in(0, step.kernel),
        intern_in(1, step.operation),
        last_list_,
        step.local_index,
    };
    if (last_step_ == kNone ||
        !std::ranges::equal(steps_.at(last_step_), fields)) {
      last_step_ = steps_.intern(fields);
    }
  } catch (const StoreError& error) {
    fail(error.what());
  }
}

void Assembler::add_sample_of(std::uint32_t step,
                              const zun_package::CycleSample& sample) {
  // The tile's span, as the engine measures offsets: from the start of the
  // tile's first sample, along the wrapping counter.
  const std::uint64_t tile_first =
      tile_ends_.size() == 1 ? 0 : tile_ends_[tile_ends_.size() - 2];
  if (samples_ == tile_first) tile_base_ = sample.start_cycle;
  const auto offset = static_cast<std::uint32_t>(sample.start_cycle - tile_base_);
  const auto length =
      static_cast<std::uint32_t>(sample.end_cycle - sample.start_cycle);
  tile_spans_.back() =
      std::max(tile_spans_.back(), std::uint64_t{offset} + length);

  add_fact(step, offset, length);
  columns_[format::v2::kStep].push_back(step);
  columns_[format::v2::kStartCycle].push_back(sample.start_cycle);
  columns_[format::v2::kEndCycle].push_back(sample.end_cycle);
  ++samples_;
  ++tile_ends_.back();
  if (samples_ - blocked_ == format::v2::kBlockSamples) close_block();
  if (!spill_dir_.empty() && columns_[0].size() >= kSpillValues) spill();
}

// Merged intervals past this many in all, and the facts are dropped: the
// steps run at times too scattered across tiles for them to save work, and
// a writer's memory stays bounded.
constexpr std::uint64_t kMostHeldRuns = std::uint64_t{1} << 23;  // 128 MiB

void Assembler::add_fact(std::uint32_t step, std::uint64_t offset,
                         std::uint32_t length) {
  if (!keep_facts_) return;
  if (step >= facts_.size()) facts_.resize(std::size_t{step} + 1);
  StepFacts& facts = facts_[step];
  facts.least = std::min(facts.least, length);
  facts.most = std::max(facts.most, length);
  if (length == 0) return;  // covers nothing
  const StepInterval run{offset, offset + length};
  // Tiles run a step at about the same time: most runs meet the open one,
  // held beside the step's other facts, and are folded into it at once (the
  // union is the same) without touching the list of closed runs.
  StepInterval& open = facts.open;
  if (open.end != 0 && run.start <= open.end && open.start <= run.end) {
    open.start = std::min(open.start, run.start);
    open.end = std::max(open.end, run.end);
    return;
  }
  if (open.end != 0) close_open_run(facts);
  open = run;
  // Last: this may drop every step's facts, `facts` included.
  if (held_runs_ > kMostHeldRuns) drop_facts_if_scattered(kMostHeldRuns / 2);
}

void Assembler::close_open_run(StepFacts& facts) {
  facts.runs.push_back(facts.open);
  facts.open = {};
  ++held_runs_;
  if (facts.runs.size() >= 2 * facts.merged + 16) merge_runs(facts);
}

void Assembler::merge_runs(StepFacts& facts) {
  std::vector<StepInterval>& runs = facts.runs;
  std::sort(runs.begin(), runs.end(),
            [](const StepInterval& a, const StepInterval& b) {
              return a.start < b.start;
            });
  std::size_t kept = 0;
  for (const StepInterval& run : runs) {
    if (kept > 0 && run.start <= runs[kept - 1].end) {
      runs[kept - 1].end = std::max(runs[kept - 1].end, run.end);
    } else {
      runs[kept++] = run;
    }
  }
  held_runs_ -= runs.size() - kept;
  runs.resize(kept);
  facts.merged = kept;
}

// Merges every step's runs; when they stay more than `allowed`, keeps no
// facts.
void Assembler::drop_facts_if_scattered(std::uint64_t allowed) {
  for (StepFacts& facts : facts_) {
    if (facts.open.end != 0) close_open_run(facts);
    if (facts.merged < facts.runs.size()) merge_runs(facts);
  }
  if (held_runs_ <= allowed) return;
  keep_facts_ = false;
  facts_ = {};
  held_runs_ = 0;
}

void Assembler::close_block() {
  const auto count = static_cast<std::size_t>(samples_ - blocked_);
  if (count == 0) return;
  Checksum sum;
  for (const std::vector<std::uint32_t>& column : columns_) {
    sum.add(std::as_bytes(
        std::span(column.data() + column.size() - count, count)));
  }
  const std::vector<std::uint32_t>& steps = columns_[format::v2::kStep];
  const auto [least, most] =
      std::minmax_element(steps.end() - static_cast<std::ptrdiff_t>(count),
                          steps.end());
  blocks_.push_back({sum.value(), *least, *most});
  blocked_ = samples_;
}

void Assembler::spill() {
  for (std::size_t c = 0; c < kColumns; ++c) {
    if (spools_[c] == nullptr) {
      // Created, then unlinked at once: the spool lives only as long as its
      // handle, so nothing is left behind, even by a killed process.
      std::random_device random;
      const std::filesystem::path path =
          spill_dir_ / (".zun-spool-" + std::to_string(random()) + "-" +
                        std::to_string(c));
      spools_[c] = std::fopen(path.c_str(), "w+bx");
      if (spools_[c] == nullptr) {
        fail("cannot create a spool file in " + spill_dir_.string() + ": " +
             std::strerror(errno));
      }
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
    }
    const std::vector<std::uint32_t>& column = columns_[c];
    if (std::fwrite(column.data(), sizeof(std::uint32_t), column.size(),
                    spools_[c]) != column.size()) {
      fail(std::string("cannot write a spool file: ") + std::strerror(errno));
    }
  }
  spilled_ += columns_[0].size();
  for (auto& column : columns_) column.clear();
}

template <typename Take>
void Assembler::read_column(std::size_t c, bool keep, Take&& take) {
  if (spools_[c] != nullptr) {
    std::rewind(spools_[c]);
    std::vector<std::uint32_t> chunk;
    std::uint64_t left = spilled_;
    while (left > 0) {
      chunk.resize(static_cast<std::size_t>(
          std::min<std::uint64_t>(left, kSpillValues)));
      if (std::fread(chunk.data(), sizeof(std::uint32_t), chunk.size(),
                     spools_[c]) != chunk.size()) {
        fail("cannot read back a spool file");
      }
      take(std::span<const std::uint32_t>(chunk));
      left -= chunk.size();
    }
    if (!keep) {
      std::fclose(spools_[c]);
      spools_[c] = nullptr;
    }
  }
  take(std::span<const std::uint32_t>(columns_[c]));
  if (!keep) columns_[c] = {};
}

format::v2::Counts Assembler::counts() const {
  format::v2::Counts counts;
  counts.tiles = physical_.size();
  counts.samples = samples_;
  counts.texts = texts_.size();
  counts.text_bytes = texts_.item_count();
  counts.lists = lists_.size();
  counts.entries = lists_.item_count() / 2;
  counts.steps = steps_.size();
  counts.block_samples = format::v2::kBlockSamples;
  counts.facts = keep_facts_;
  counts.intervals = held_runs_;
  return counts;
}

std::size_t Assembler::image_size(std::uint32_t version) const {
  const format::v2::Counts counts = this->counts();
  std::uint64_t size = 0;
  if (version == format::kVersion) {
    size = format::kHeaderSize;
    for (const std::uint64_t length : format::section_lengths(counts)) {
      size += format::align_up(length);
    }
  } else {
    size = format::v2::kHeaderSize;
    for (const std::uint64_t length : format::v2::section_lengths(counts)) {
      size += format::align_up(length);
    }
  }
  return static_cast<std::size_t>(size);
}

std::uint32_t Assembler::version_for(StoreVersion wanted) {
  // The facts in their final form, before any size is asked. Left to
  // choose, a writer keeps them when they take at most a byte a sample (16
  // bytes an interval); asked for version 2, whenever memory allowed.
  if (keep_facts_) {
    drop_facts_if_scattered(wanted == StoreVersion::v2 ? kMostHeldRuns / 2
                                                        : samples_ / 16);
  }
  switch (wanted) {
    case StoreVersion::v1:
      return format::kVersion;
    case StoreVersion::v2:
      return format::kVersion2;
    case StoreVersion::smallest:
      break;
  }
  return image_size(format::kVersion2) <= image_size(format::kVersion)
             ? format::kVersion2
             : format::kVersion;
}

std::vector<std::uint32_t> Assembler::text_order() const {
  std::vector<std::uint32_t> order(texts_.size());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return text(a) < text(b);
  });
  return order;
}

// Version 1's nine columns: the start and end as held, every step field
// through each sample's step.
void Assembler::write_samples_version1(SectionOut& out,
                                       const std::vector<std::uint32_t>& rank) {
  namespace v2 = format::v2;
  const std::uint64_t stride = format::column_stride(counts());
  std::vector<std::uint32_t> values;
  const auto pad = [&] {
    out.zeros(static_cast<std::size_t>(stride - 4 * samples_));
  };
  for (const std::size_t c : {v2::kStartCycle, v2::kEndCycle}) {
    read_column(c, false, [&](std::span<const std::uint32_t> piece) {
      out.put(std::as_bytes(piece));
    });
    pad();
  }
  for (std::size_t field = 0; field < v2::kStepColumnCount; ++field) {
    const bool text_id = field == v2::kKernel || field == v2::kOperation;
    read_column(v2::kStep, field + 1 < v2::kStepColumnCount,
                [&](std::span<const std::uint32_t> piece) {
                  values.resize(piece.size());
                  for (std::size_t i = 0; i < piece.size(); ++i) {
                    const std::uint32_t value = steps_.at(piece[i])[field];
                    values[i] = text_id ? rank[value] : value;
                  }
                  out.put(as_bytes_of(values));
                });
    pad();
  }
}

void Assembler::write(ByteSink& sink, std::uint32_t version) {
  namespace v2 = format::v2;
  close_block();
  // Texts in byte order: `rank[id]` is the id a text gets in the store.
  const std::vector<std::uint32_t> order = text_order();
  std::vector<std::uint32_t> rank(order.size());
  for (std::size_t r = 0; r < order.size(); ++r) {
    rank[order[r]] = static_cast<std::uint32_t>(r);
  }
  const v2::Counts counts = this->counts();
  const bool second = version == format::kVersion2;
  const std::size_t header_size = second ? v2::kHeaderSize : format::kHeaderSize;

  std::byte header[v2::kHeaderSize] = {};
  sink.write({header, header_size});
  std::uint64_t offset = header_size;
  // Each section's table entry: offset, length, checksum.
  std::vector<std::array<std::uint64_t, 3>> entries;
  const auto section = [&](auto&& body) {
    SectionOut out(sink);
    body(out);
    entries.push_back({offset, out.length(), out.sum()});
    const std::uint64_t padded = format::align_up(out.length());
    sink.write({kZeros, static_cast<std::size_t>(padded - out.length())});
    offset += padded;
  };

  section([&](SectionOut& out) {  // texts
    std::vector<std::uint64_t> ends;
    ends.reserve(order.size());
    std::uint64_t end = 0;
    for (const std::uint32_t id : order) {
      end += text(id).size();
      ends.push_back(end);
    }
    out.put(as_bytes_of(ends));
    for (const std::uint32_t id : order) {
      out.put(std::as_bytes(texts_.at(id)));
    }
  });
  section([&](SectionOut& out) {  // metadata
    std::vector<std::uint64_t> ends(lists_.size());
    for (std::size_t l = 0; l < lists_.size(); ++l) {
      ends[l] = (l == 0 ? 0 : ends[l - 1]) +
                lists_.at(static_cast<std::uint32_t>(l)).size() / 2;
    }
    out.put(as_bytes_of(ends));
    std::vector<std::uint32_t> words;
    for (std::size_t l = 0; l < lists_.size(); ++l) {
      words.clear();
      for (const std::uint32_t id : lists_.at(static_cast<std::uint32_t>(l)))
        words.push_back(rank[id]);
      out.put(as_bytes_of(words));
    }
  });
  section([&](SectionOut& out) {  // tiles
    out.put(as_bytes_of(physical_));
    out.zeros(static_cast<std::size_t>(format::tile_ends_at(counts) -
                                       4 * physical_.size()));
    out.put(as_bytes_of(tile_ends_));
    if (second) out.put(as_bytes_of(tile_spans_));
  });
  if (second) {
    section([&](SectionOut& out) {  // steps
      std::vector<std::uint32_t> values(steps_.size());
      for (std::size_t field = 0; field < v2::kStepColumnCount; ++field) {
        const bool text_id = field == v2::kKernel || field == v2::kOperation;
        for (std::size_t d = 0; d < steps_.size(); ++d) {
          const std::uint32_t value =
              steps_.at(static_cast<std::uint32_t>(d))[field];
          values[d] = text_id ? rank[value] : value;
        }
        out.put(as_bytes_of(values));
        out.zeros(static_cast<std::size_t>(v2::step_stride(counts) -
                                           4 * steps_.size()));
      }
    });
    section([&](SectionOut& out) {  // facts
      if (!counts.facts) return;
      facts_.resize(steps_.size());
      std::vector<std::uint32_t> durations;
      std::vector<std::uint64_t> ends;
      std::uint64_t end = 0;
      for (const StepFacts& facts : facts_) {
        durations.push_back(facts.least);
        durations.push_back(facts.most);
        end += facts.runs.size();
        ends.push_back(end);
      }
      out.put(as_bytes_of(durations));
      out.put(as_bytes_of(ends));
      for (StepFacts& facts : facts_) {
        out.put(as_bytes_of(facts.runs));
        facts.runs = {};
      }
    });
    section([&](SectionOut& out) {  // blocks
      for (const BlockFacts& block : blocks_) {
        std::byte entry[v2::kBlockEntrySize];
        store_u64(entry, block.checksum);
        store_u32(entry + 8, block.least);
        store_u32(entry + 12, block.most);
        out.put(entry);
      }
    });
  }
  section([&](SectionOut& out) {  // samples
    if (!second) {
      write_samples_version1(out, rank);
      return;
    }
    const std::uint64_t stride = format::column_stride(counts);
    for (std::size_t c = 0; c < kColumns; ++c) {
      read_column(c, false, [&](std::span<const std::uint32_t> piece) {
        out.put(std::as_bytes(piece));
      });
      out.zeros(static_cast<std::size_t>(stride - 4 * samples_));
    }
  });
  // The samples section of version 2 is checked by its blocks.
  if (second) entries.back()[2] = 0;

  std::memcpy(header, format::kMagic.data(), format::kMagic.size());
  store_u32(header + format::HeaderField::kVersion, version);
  store_u32(header + format::HeaderField::kSections,
            static_cast<std::uint32_t>(entries.size()));
  store_u64(header + format::HeaderField::kClockHz, clock_hz_);
  store_u64(header + format::HeaderField::kTileCount, counts.tiles);
  store_u64(header + format::HeaderField::kSampleCount, counts.samples);
  store_u64(header + format::HeaderField::kTextCount, counts.texts);
  store_u64(header + format::HeaderField::kTextBytes, counts.text_bytes);
  store_u64(header + format::HeaderField::kListCount, counts.lists);
  store_u64(header + format::HeaderField::kEntryCount, counts.entries);
  std::size_t table = format::HeaderField::kTable;
  std::size_t summed = format::HeaderField::kHeaderChecksum;
  if (second) {
    store_u64(header + v2::HeaderField::kStepCount, counts.steps);
    store_u64(header + v2::HeaderField::kBlockSamples, counts.block_samples);
    store_u64(header + v2::HeaderField::kFacts, counts.facts ? 1 : 0);
    store_u64(header + v2::HeaderField::kIntervalCount, counts.intervals);
    table = v2::HeaderField::kTable;
    summed = v2::HeaderField::kHeaderChecksum;
  }
  for (std::size_t s = 0; s < entries.size(); ++s) {
    std::byte* entry = header + table + s * format::HeaderField::kEntrySize;
    store_u64(entry, entries[s][0]);
    store_u64(entry + 8, entries[s][1]);
    store_u64(entry + 16, entries[s][2]);
  }
  store_u64(header + summed, checksum({header, summed}));
  sink.rewrite_header({header, header_size});
}

}  // namespace zun_store

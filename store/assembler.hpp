#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "report/profile_report.hpp"
#include "store/checksum.hpp"
#include "store/report_store.hpp"
#include "store/store_format.hpp"

// What both store builders share: the distinct texts, metadata lists and
// steps met so far, the tile table, and the sample columns (step, start,
// end), then the store's bytes written in order to a sink, in either
// version. Text, list and step ids are given in order of first sight while
// samples arrive; texts are renumbered into byte order when the store is
// written. Internal: not installed.
namespace zun_store {

class SectionOut;  // one section's bytes on their way to a sink

// Where a store's bytes go, in order from the first; the header, written
// first as zeros, is rewritten last.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void write(std::span<const std::byte> bytes) = 0;
  virtual void rewrite_header(std::span<const std::byte> header) = 0;
};

// Distinct sequences of `T` (the bytes of texts; the (name, value) text ids
// of metadata lists), each given a dense id in order of first sight.
template <typename T>
class Interner {
 public:
  // `what` names the sequences in the error past the 32-bit ids.
  explicit Interner(const char* what) : what_(what) {}

  std::uint32_t intern(std::span<const T> items);
  std::size_t size() const noexcept { return ends_.size(); }
  std::span<const T> at(std::uint32_t id) const noexcept {
    const std::size_t begin = id == 0 ? 0 : ends_[id - 1];
    return {items_.data() + begin, ends_[id] - begin};
  }
  std::size_t item_count() const noexcept { return items_.size(); }

 private:
  std::vector<T> items_;           // every sequence, one after another
  std::vector<std::size_t> ends_;  // where each one ends in items_
  std::vector<std::uint64_t> slots_;  // (hash tag << 32 | id + 1), 0 empty
  const char* what_;
};

class Assembler {
 public:
  // `spill_dir`: where columns grown past a bound spill to unnamed files;
  // empty keeps them all in memory. `name` is what errors call the store.
  Assembler(std::uint64_t clock_hz, std::filesystem::path spill_dir,
            std::string name);
  ~Assembler();
  Assembler(const Assembler&) = delete;
  Assembler& operator=(const Assembler&) = delete;

  void set_clock_hz(std::uint64_t clock_hz) noexcept { clock_hz_ = clock_hz; }
  void begin_tile(std::uint32_t physical_tile);
  void set_tile_physical(std::uint32_t physical_tile);
  void add_sample(const zun_package::CycleSample& sample);

  // The version `wanted` stands for: itself, or the smaller of the two.
  // Settles the step facts: call it once, before image_size() and write().
  std::uint32_t version_for(StoreVersion wanted);

  // The size the store's bytes will have in `version` (1 or 2).
  std::size_t image_size(std::uint32_t version) const;

  // Writes the whole store in `version` (1 or 2) to `sink`. The columns
  // are consumed.
  void write(ByteSink& sink, std::uint32_t version);

  const std::string& name() const noexcept { return name_; }

 private:
  void spill();
  format::v2::Counts counts() const;  // what the header will say
  // Calls `take(values)` with column `c`'s values in order, in pieces:
  // first what was spilled, then what is held. With `keep` the column can
  // be read again.
  template <typename Take>
  void read_column(std::size_t c, bool keep, Take&& take);
  // The text ids in the texts' byte order.
  std::vector<std::uint32_t> text_order() const;
  void write_samples_version1(SectionOut& out,
                              const std::vector<std::uint32_t>& rank);
  // The id of `text`, met in field `slot` of a sample: a field often holds
  // the text it held in the sample before, which a comparison tells at
  // less than the cost of a lookup.
  std::uint32_t intern_in(std::size_t slot, std::string_view text);
  // Sets last_step_ to the id of `step`, interning it and its texts.
  void intern_step(const zun_package::ProfileStep& step);
  // Whether step `id` is `step`, field for field.
  bool is_step(std::uint32_t id, const zun_package::ProfileStep& step) const;
  void add_sample_of(std::uint32_t step, const zun_package::CycleSample& sample);
  [[noreturn]] void fail(const std::string& what) const;

  std::uint64_t clock_hz_;
  std::filesystem::path spill_dir_;
  std::string name_;
  // The text of id `id`, as interned so far.
  std::string_view text(std::uint32_t id) const noexcept {
    const auto bytes = texts_.at(id);
    return {bytes.data(), bytes.size()};
  }

  Interner<char> texts_{"texts"};
  Interner<std::uint32_t> lists_{"metadata lists"};
  // Each step's fields, in the step table's column order.
  Interner<std::uint32_t> steps_{"steps"};
  std::vector<std::uint32_t> physical_;
  std::vector<std::uint64_t> tile_ends_;
  std::vector<std::uint64_t> tile_spans_;
  std::uint32_t tile_base_ = 0;  // the start of the tile's first sample
  std::uint64_t samples_ = 0;
  static constexpr std::size_t kColumns = format::v2::kSampleColumnCount;
  std::array<std::vector<std::uint32_t>, kColumns> columns_;
  std::array<std::FILE*, kColumns> spools_{};
  // Each finished block's entry: its checksum, and the least and most
  // step id in it. A block's samples are still held when it finishes (a
  // spill takes whole blocks).
  struct BlockFacts {
    std::uint64_t checksum;
    std::uint32_t least;
    std::uint32_t most;
  };
  std::vector<BlockFacts> blocks_;
  std::uint64_t blocked_ = 0;  // samples in finished blocks
  void close_block();

  // What is known of each step: its least and most duration, and the
  // intervals its samples run in: the open one, which the runs that meet it
  // grow, and those closed before it, merged now and then (the first
  // `merged` of `runs` are merged; the rest arrived since).
  struct StepFacts {
    std::uint32_t least = UINT32_MAX;
    std::uint32_t most = 0;
    StepInterval open{};  // none while its end is 0
    std::size_t merged = 0;
    std::vector<StepInterval> runs;
  };
  void add_fact(std::uint32_t step, std::uint64_t offset,
                std::uint32_t length);
  // Moves the open run to the closed ones.
  void close_open_run(StepFacts& facts);
  void merge_runs(StepFacts& facts);
  void drop_facts_if_scattered(std::uint64_t allowed);
  std::vector<StepFacts> facts_;
  bool keep_facts_ = true;     // false once the runs proved too scattered
  std::uint64_t held_runs_ = 0;  // intervals in every step's runs
  std::uint64_t spilled_ = 0;  // samples in the spools
  std::vector<std::uint32_t> pairs_;  // one sample's metadata, as ids
  // Per field (kernel, operation, then the names and values of the first
  // metadata entries), the id it held last; kNone before any.
  static constexpr std::size_t kSlots = 18;
  static constexpr std::uint32_t kNone = UINT32_MAX;
  std::array<std::uint32_t, kSlots> last_text_;
  std::uint32_t last_list_ = kNone;
  std::uint32_t last_step_ = kNone;
  // Per step id, the step that followed it last: tiles run the same
  // program, so it is most often the next sample's step too, which a
  // comparison confirms without a lookup. kNone where not yet known.
  std::vector<std::uint32_t> next_step_;
};

}  // namespace zun_store
